// clangwright-render --sfz as a person runs it: a folder with a mapping any
// SFZ sampler reads and the samples it names, every one in tune with its
// key; the same folder from one job, from several, and from a plan spread
// over processes; bad input refused with nothing left behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "partial_probe.h"
#include "program_run.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir()
    {
        char name[] = "/tmp/cw-sfz-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path); }
};

ProgramRun run(const std::vector<std::string> &args, const fs::path &cwd)
{
    return run_program(CW_RENDER_PROGRAM, args, cwd.string());
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---- an SFZ reader following the format's rules ----

using Opcodes = std::map<std::string, std::string>;

struct SfzRegion {
    Opcodes op; // the region's own opcodes over its group's, master's and global's
    fs::path sample;
    int value(const std::string &name, int otherwise) const
    {
        const auto it = op.find(name);
        return it == op.end() ? otherwise : std::stoi(it->second);
    }
};

struct Sfz {
    std::vector<SfzRegion> regions;
    std::vector<std::string> comments;
    std::string error; // empty: it read
};

// Reads `file`: comments (// to the end of the line, /* */), headers in angle
// brackets, opcodes name=value where a value runs up to the next opcode,
// header or line end (a sample's path may hold spaces). Opcodes of <global>,
// <master> and <group> are inherited by the regions under them; a region's
// sample is found relative to the file's folder after <control>'s
// default_path.
Sfz read_sfz(const fs::path &file)
{
    Sfz sfz;
    std::string text = read_file(file);
    // Block comments first, then line comments (kept for the header's test).
    for (size_t at; (at = text.find("/*")) != std::string::npos;) {
        const size_t end = text.find("*/", at);
        if (end == std::string::npos) {
            sfz.error = "an unclosed block comment";
            return sfz;
        }
        text.erase(at, end + 2 - at);
    }
    std::string body;
    size_t line_start = 0;
    while (line_start < text.size()) {
        size_t line_end = text.find('\n', line_start);
        if (line_end == std::string::npos)
            line_end = text.size();
        std::string line = text.substr(line_start, line_end - line_start);
        const size_t comment = line.find("//");
        if (comment != std::string::npos) {
            sfz.comments.push_back(line.substr(comment + 2));
            line.erase(comment);
        }
        body += line + "\n";
        line_start = line_end + 1;
    }
    const std::regex token(R"(<([a-z]+)>|([A-Za-z0-9_$]+)=([^\n]*?)(?=\s+[A-Za-z0-9_$]+=|\s*<|\s*\n|\s*$))");
    Opcodes control, global, master, group;
    Opcodes *current = nullptr;
    std::string header;
    const auto close_region = [&] {
        if (header != "region")
            return;
        SfzRegion r;
        for (const Opcodes *level : {&global, &master, &group, current})
            for (const auto &[k, v] : *level)
                r.op[k] = v;
        if (r.op.count("sample") == 0) {
            sfz.error = "a region without a sample";
            return;
        }
        std::string path = control["default_path"] + r.op["sample"];
        std::replace(path.begin(), path.end(), '\\', '/');
        r.sample = file.parent_path() / path;
        sfz.regions.push_back(r);
    };
    Opcodes region;
    size_t consumed = 0;
    for (std::sregex_iterator it(body.begin(), body.end(), token), end; it != end; ++it) {
        const std::smatch &m = *it;
        // Anything between tokens must be blank.
        for (size_t i = consumed; i < static_cast<size_t>(m.position(0)); ++i)
            if (!std::isspace(static_cast<unsigned char>(body[i]))) {
                sfz.error = "stray text: " + body.substr(i, 20);
                return sfz;
            }
        consumed = static_cast<size_t>(m.position(0) + m.length(0));
        if (m[1].matched) {
            close_region();
            header = m[1];
            if (header == "control")
                current = &control;
            else if (header == "global")
                current = &global, master.clear(), group.clear();
            else if (header == "master")
                current = &master, group.clear();
            else if (header == "group")
                current = &group;
            else if (header == "region")
                region.clear(), current = &region;
            else if (header == "curve" || header == "effect" || header == "midi")
                current = nullptr;
            else {
                sfz.error = "an unknown header <" + header + ">";
                return sfz;
            }
            if (current && current != &region && header != "control")
                current->clear();
        } else {
            if (current == nullptr) {
                sfz.error = "an opcode before any header";
                return sfz;
            }
            (*current)[m[2]] = m[3];
        }
    }
    for (size_t i = consumed; i < body.size(); ++i)
        if (!std::isspace(static_cast<unsigned char>(body[i]))) {
            sfz.error = "stray text: " + body.substr(i, 20);
            return sfz;
        }
    close_region();
    return sfz;
}

// ---- the samples ----

uint32_t le(const std::string &b, size_t at, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(b[at + i])) << (8 * i);
    return v;
}

struct Wav {
    int channels = 0, rate = 0, bits = 0;
    std::vector<double> left;
    double peak = 0.0;
};

// A 16-bit PCM WAVE file's left channel.
std::optional<Wav> read_wav(const fs::path &path)
{
    const std::string b = read_file(path);
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0)
        return std::nullopt;
    Wav w;
    for (size_t at = 12; at + 8 <= b.size();) {
        const uint32_t size = le(b, at + 4, 4);
        if (b.compare(at, 4, "fmt ") == 0) {
            w.channels = static_cast<int>(le(b, at + 10, 2));
            w.rate = static_cast<int>(le(b, at + 12, 4));
            w.bits = static_cast<int>(le(b, at + 22, 2));
        } else if (b.compare(at, 4, "data") == 0 && w.bits == 16 && w.channels > 0) {
            const size_t frames = size / (2u * static_cast<size_t>(w.channels));
            for (size_t i = 0; i < frames; ++i) {
                const auto v = static_cast<int16_t>(le(b, at + 8 + 2 * w.channels * i, 2));
                w.left.push_back(v / 32768.0);
                w.peak = std::max(w.peak, std::fabs(v / 32768.0));
            }
            return w;
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

double key_hz(int key)
{
    return 440.0 * std::exp2((key - 69) / 12.0);
}

// Every file under `dir`, by its path relative to it, with its bytes.
std::map<std::string, std::string> folder(const fs::path &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            files[fs::relative(e.path(), dir).string()] = read_file(e.path());
    return files;
}

// A small library: four keys of a rod, three layers, two takes.
const std::vector<std::string> library_args = {
    "--shape", "rod",  "--keys", "88-100", "--every",  "4", "--velocities", "3",
    "--takes", "2",    "--seed", "7",      "--length", "1.5", "--bits",     "16",
    "-q",      "--sfz", "lib"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string> &more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(SfzLibrary, EveryKeyVelocityAndTakeIsMappedToASampleInTuneWithItsKey)
{
    TempDir t;
    const ProgramRun r = run(with(library_args, {"--jobs", "2"}), t.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const fs::path file = t.path / "lib" / "clangwright.sfz";
    const Sfz sfz = read_sfz(file);
    ASSERT_EQ(sfz.error, "");
    ASSERT_EQ(sfz.regions.size(), 4u * 3u * 2u);

    // The header names the instrument and the command that made it.
    ASSERT_GE(sfz.comments.size(), 4u);
    EXPECT_NE(sfz.comments[0].find("clangwright"), std::string::npos);
    bool command = false;
    for (const std::string &c : sfz.comments)
        command = command || (c.find("clangwright-render ") != std::string::npos &&
                              c.find("--shape rod") != std::string::npos &&
                              c.find("--seed 7") != std::string::npos);
    EXPECT_TRUE(command);

    // Keys 88 to 100, velocities 1 to 127 and both takes: exactly one region
    // each, none outside the keys.
    for (int key = 80; key <= 108; ++key)
        for (int vel = 1; vel <= 127; ++vel)
            for (int take = 1; take <= 2; ++take) {
                int found = 0;
                for (const SfzRegion &reg : sfz.regions)
                    found += key >= reg.value("lokey", 0) && key <= reg.value("hikey", 127) &&
                             vel >= reg.value("lovel", 1) && vel <= reg.value("hivel", 127) &&
                             take == reg.value("seq_position", 1) &&
                             reg.value("seq_length", 1) == 2;
                ASSERT_EQ(found, key >= 88 && key <= 100 ? 1 : 0)
                    << "key " << key << " velocity " << vel << " take " << take;
            }

    std::map<std::pair<int, int>, std::string> takes; // (key, velocity) -> first take's bytes
    std::map<int, std::map<int, double>> peaks;        // key -> velocity -> peak of take 1
    for (const SfzRegion &reg : sfz.regions) {
        SCOPED_TRACE(reg.sample.string());
        EXPECT_EQ(reg.op.at("loop_mode"), "one_shot");
        EXPECT_EQ(reg.sample.filename().string().find(' '), std::string::npos);
        const std::optional<Wav> w = read_wav(reg.sample);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->channels, 2);
        EXPECT_EQ(w->rate, 48000);
        // It rings, and is cut before the length.
        ASSERT_GT(w->left.size(), 24000u);
        EXPECT_LE(w->left.size(), 72000u);
        // The partial it is tuned by, where the sound has settled, lies
        // within 3 cents of the pitch of its key.
        const int centre = reg.value("pitch_keycenter", -1);
        const std::vector<double> settled(w->left.begin() + 9600,
                                          w->left.begin() + std::min<size_t>(w->left.size(), 48000));
        const double hz = peak_near(48000, settled, key_hz(centre));
        ASSERT_GT(hz, 0.0) << "no partial near key " << centre;
        EXPECT_LE(std::fabs(cents(hz, key_hz(centre))), 3.0) << hz << " Hz for key " << centre;

        const int vel = reg.value("hivel", 0);
        const std::string bytes = read_file(reg.sample);
        if (reg.value("seq_position", 0) == 1) {
            takes[{centre, vel}] = bytes;
            peaks[centre][vel] = w->peak;
        }
    }
    // The second take is another strike, not a copy.
    for (const SfzRegion &reg : sfz.regions)
        if (reg.value("seq_position", 0) == 2) {
            const std::pair<int, int> at{reg.value("pitch_keycenter", -1), reg.value("hivel", 0)};
            EXPECT_NE(read_file(reg.sample), takes[at]);
        }
    // Harder layers are louder: the engine's gain keeps their relation.
    for (const auto &[key, layers] : peaks) {
        ASSERT_EQ(layers.size(), 3u);
        double last = 0.0;
        for (const auto &[vel, peak] : layers) {
            EXPECT_GT(peak, last) << "key " << key << " velocity " << vel;
            last = peak;
        }
    }
}

TEST(SfzLibrary, OneJobTwoJobsAndAPlanSpreadOverProcessesMakeTheSameFolder)
{
    TempDir one, two, planned;
    ASSERT_EQ(run(with(library_args, {"--jobs", "1"}), one.path).status, 0);
    ASSERT_EQ(run(with(library_args, {"--jobs", "2"}), two.path).status, 0);
    const auto expected = folder(one.path / "lib");
    ASSERT_EQ(expected.size(), 1u + 24u);
    EXPECT_EQ(folder(two.path / "lib"), expected);

    // The plan: one command per sample, run two at a time by xargs, then the
    // mapping for what they wrote.
    const ProgramRun plan = run(with(library_args, {"--plan"}), planned.path);
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_EQ(std::count(plan.out.begin(), plan.out.end(), '\n'), 24);
    EXPECT_FALSE(fs::exists(planned.path / "lib"));
    std::ofstream(planned.path / "plan.txt") << plan.out;
    const std::string bin = fs::path(CW_RENDER_PROGRAM).parent_path().string();
    const ProgramRun spread = run_program(
        "/bin/sh",
        {"-c", "PATH='" + bin + "':$PATH xargs -d '\\n' -P 2 -I CMD sh -c CMD < plan.txt"},
        planned.path.string());
    ASSERT_EQ(spread.status, 0) << spread.err;
    const ProgramRun mapping = run(with(library_args, {"--only-mapping"}), planned.path);
    ASSERT_EQ(mapping.status, 0) << mapping.err;
    EXPECT_EQ(folder(planned.path / "lib"), expected);
}

TEST(SfzLibrary, BadInputIsOneLineAndLeavesNothingBehind)
{
    TempDir t;
    const auto refused = [&](const std::vector<std::string> &args, int status,
                             const std::string &says) {
        SCOPED_TRACE(args.back());
        const ProgramRun r = run(args, t.path);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    };
    const std::vector<std::string> rod = {"--shape", "rod", "--length", "0.5", "--sfz"};
    // An inverted range, keys a plate cannot reach (named), a malformed range.
    refused(with(rod, {"lib", "--keys", "100-88"}), 2, "100-88");
    refused({"--shape", "plane", "--length", "0.5", "--sfz", "lib", "--keys", "110-127"}, 2,
            "127 (G9)");
    refused(with(rod, {"lib", "--keys", "C9-"}), 2, "C9-");
    EXPECT_FALSE(fs::exists(t.path / "lib"));
    // A folder that cannot be made: under a file.
    std::ofstream(t.path / "plain") << "x";
    refused(with(rod, {"plain/lib", "--keys", "88-92"}), 1, "plain/lib");
    // The mapping of takes without the seed that drew them.
    refused(with(rod, {"lib", "--keys", "88-92", "--takes", "2", "--only-mapping"}), 2,
            "--seed");
    // The mapping of samples never rendered.
    refused(with(rod, {"lib", "--keys", "88-92", "--only-mapping"}), 1, "lib");
    EXPECT_FALSE(fs::exists(t.path / "lib"));
    // A folder that exists keeps what it held when the run fails, here on a
    // folder in the place of the second sample after the first replaced a
    // file.
    fs::create_directories(t.path / "kept" / "samples");
    std::ofstream(t.path / "kept" / "samples" / "old.wav") << "old";
    std::ofstream(t.path / "kept" / "samples" / "clangwright_088_v127_r1.wav") << "in the way";
    const auto before = folder(t.path / "kept");
    fs::create_directory(t.path / "kept" / "samples" / "clangwright_092_v127_r1.wav");
    const ProgramRun r = run(with(rod, {"kept", "--keys", "88-92", "--every", "4",
                                        "--velocities", "1", "-q"}),
                             t.path);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(folder(t.path / "kept"), before);
    EXPECT_FALSE(fs::exists(t.path / "kept" / "clangwright.sfz"));
    for (const auto &e : fs::directory_iterator(t.path / "kept"))
        EXPECT_EQ(e.path().filename().string().rfind(".", 0), std::string::npos) << e.path();
}

} // namespace
