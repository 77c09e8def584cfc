// The headless renderer: option parsing and checks, and the built program.
#include <gtest/gtest.h>

#include <glib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "default_preset_document.h"
#include "program_run.h"
#include "render.h"
#include "render_options.h"
#include "wav_export.h"

namespace {

namespace fs = std::filesystem;

struct Parsed {
    bool ok;
    RenderOptions options;
    Instrument instrument;
    std::string error;
};

// Parses and applies over the defaults, as the program does.
Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "clangwright-render");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p{false, {}, instrument_defaults(), {}};
    p.ok = parse_render_options(static_cast<int>(args.size()), argv.data(), p.options, p.error) &&
           apply_render_options(p.options, p.instrument, p.error);
    return p;
}

TEST(RenderOptions, DefaultsAreTheInstrumentDefaults)
{
    const Parsed p = parse({"-o", "x.wav"});
    ASSERT_TRUE(p.ok) << p.error;
    const Instrument d = instrument_defaults();
    EXPECT_EQ(p.instrument.type, d.type);
    EXPECT_EQ(p.instrument.actuation_node, 7);
    EXPECT_EQ(p.instrument.sampling_node, 40);
    EXPECT_EQ(p.instrument.tension, d.tension);
    EXPECT_EQ(p.instrument.decay_stop, 0);
    EXPECT_EQ(p.options.length_s, 1.0);
    EXPECT_EQ(p.options.rate_hz, 48000);
    EXPECT_EQ(p.options.output_file, "x.wav");
    EXPECT_FALSE(p.options.quiet);
}

TEST(RenderOptions, ShapeOrSizeResetsTheNodesNotGiven)
{
    const struct {
        std::vector<std::string> args;
        int32_t actuation, sampling;
    } cases[] = {
        {{"--shape", "rod"}, 1, 3},
        {{"--shape", "rod", "--rod-length", "200"}, 1, 198},
        {{"--shape", "plane"}, 1, 53},
        {{"--shape", "plane", "--plane-length", "3", "--plane-width", "3"}, 1, 5},
        {{"--tube-height", "3"}, 7, 5},
        {{"--tube-circumference", "6"}, 9, 48},
        {{"--shape", "tube", "--sampling-node", "12"}, 7, 12},
        {{"--shape", "rod", "--rod-length", "10", "--actuation-node", "4"}, 4, 8},
        // A size of another shape is kept for it and leaves the nodes alone.
        {{"--rod-length", "10", "--actuation-node", "9"}, 9, 40},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "x.wav"});
        const Parsed p = parse(args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.instrument.actuation_node, c.actuation) << args[0] << " " << args[1];
        EXPECT_EQ(p.instrument.sampling_node, c.sampling) << args[0] << " " << args[1];
    }
}

TEST(RenderOptions, ValuesReachTheInstrument)
{
    const Parsed p = parse({"--tension", "0.5", "--speed", "0.1", "--damping", "0.2",
                            "--actuation", "perpendicular", "--velocity", "0.25", "--decay",
                            "-50", "--length", "2.5", "--rate", "192000", "--threads", "3", "-q",
                            "-o", "x.wav"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.instrument.tension, 0.5);
    EXPECT_EQ(p.instrument.speed, 0.1);
    EXPECT_EQ(p.instrument.damping, 0.2);
    EXPECT_EQ(p.instrument.actuation, ACTUATION_PERPENDICULAR);
    EXPECT_EQ(p.instrument.velocity, 0.25);
    EXPECT_EQ(p.instrument.decay_stop, 1);
    EXPECT_EQ(p.instrument.decay_level, -50.0);
    EXPECT_EQ(p.options.length_s, 2.5);
    EXPECT_EQ(p.options.rate_hz, 192000);
    EXPECT_EQ(p.options.threads, 3);
    EXPECT_TRUE(p.options.quiet);
}

TEST(RenderOptions, BadValuesNameTheOptionAndTheValidRange)
{
    const struct {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{"--rod-length", "201"}, "--rod-length: 201 is out of range (valid: 3 to 200)"},
        {{"--plane-width", "2"}, "--plane-width: 2 is out of range (valid: 3 to 39)"},
        {{"--tube-height", "ten"}, "--tube-height: 'ten' is not a number (valid: 3 to 30)"},
        {{"--tube-height", "99999999999999999999"},
         "--tube-height: 99999999999999999999 is out of range (valid: 3 to 30)"},
        {{"--tension", "4x"}, "--tension: '4x' is not a number (valid: 0.1 to 16)"},
        {{"--speed", "nan"}, "--speed: 'nan' is not a number (valid: 0 to 0.5)"},
        {{"--damping", "0.001"}, "--damping: 0.001 is out of range (valid: 0.005 to 0.5)"},
        {{"--decay", "-10"}, "--decay: -10 is out of range (valid: -80 to -20)"},
        {{"--rate", "192001"}, "--rate: 192001 is out of range (valid: 8000 to 192000)"},
        {{"--threads", "9"}, "--threads: 9 is out of range (valid: 1 to 8)"},
        {{"--threads", "0"}, "--threads: 0 is out of range (valid: 1 to 8)"},
        {{"--length", "10.5"}, "--length: 10.5 is out of range (valid: 0 to 10)"},
        {{"--shape", "cone"}, "--shape: 'cone' is not a shape (valid: tube, rod, plane)"},
        {{"--actuation", "hit"},
         "--actuation: 'hit' is not a type of actuation (valid: compression, perpendicular)"},
        {{"--sampling-node", "4"}, "--sampling-node: 4 is an anchored node of the tube (valid: 5 to 44)"},
        {{"--actuation-node", "50"}, "--actuation-node: 50 is not a node of the tube (valid: 5 to 44)"},
        {{"--shape", "rod", "--sampling-node", "4"},
         "--sampling-node: 4 is an anchored node of the rod (valid: 1 to 3)"},
        {{"--shape", "plane", "--sampling-node", "54"},
         "--sampling-node: 54 is a corner of the plane (valid: 1 to 61 except 8 and 54)"},
        {{"--shape", "plane", "--actuation-node", "0"},
         "--actuation-node: 0 is an anchored node of the plane (valid: 1 to 61 except 8 and 54)"},
        {{"--actuation-node", "seven"},
         "--actuation-node: 'seven' is not a node number (valid: a movable node of the shape)"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "x.wav"});
        const Parsed p = parse(args);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.error, c.error);
    }
    EXPECT_EQ(parse({}).error, "--output: no output file given (use -o FILE, --play or --save-preset FILE)");
    EXPECT_EQ(parse({"--length", "0", "-o", "x.wav"}).error,
              "--length: 0 s gives no frames at 48000 Hz (valid: 2.08333e-05 to 10)");
}

// The built program, run in a scratch folder with the C locale.
struct TempDir {
    fs::path path;
    TempDir()
    {
        gchar *p = g_dir_make_tmp("cw-cli-XXXXXX", nullptr);
        path = p;
        g_free(p);
    }
    ~TempDir() { fs::remove_all(path); }
    size_t entries() const
    {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(path), fs::directory_iterator()));
    }
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

// What the window's Save WAV writes for the same parameters.
std::string window_bytes(Instrument ins, double length_s, int32_t rate, const fs::path &path)
{
    sample_length = length_s;
    do_render(&ins, rate);
    std::string message;
    EXPECT_EQ(save_wav(&ins, path.c_str(), message, rate), 0) << message;
    return read_file(path);
}

TEST(RenderCli, DefaultOutputIsOneSecondOfTheDefaultTube)
{
    TempDir dir;
    const ProgramRun r = run({"-o", "default.wav"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Real length: 1.0 s\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Render time: "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, ""); // no progress bar: stderr is not a terminal here

    // 44 bytes of RIFF, fmt and data headers, then 48000 frames of 2 bytes.
    // An independent reader's view of such a file is checked in the synthesis
    // tests, which write through the same save_wav.
    const std::string bytes = read_file(dir.path / "default.wav");
    ASSERT_EQ(bytes.size(), 44u + 2 * 48000);
    const auto le = [&](size_t at, size_t n) {
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
        return v;
    };
    EXPECT_EQ(le(22, 2), 1u);         // channels
    EXPECT_EQ(le(24, 4), 48000u);     // frames per second
    EXPECT_EQ(le(34, 2), 16u);        // bits per sample
    EXPECT_EQ(le(40, 4), 2u * 48000); // bytes of sound data
    EXPECT_EQ(bytes, window_bytes(instrument_defaults(), 1.0, 48000, dir.path / "window.wav"));
}

TEST(RenderCli, SameBytesAsTheWindowForAnyParameters)
{
    TempDir dir;
    const ProgramRun r = run({"--shape", "plane", "--plane-length", "5", "--sampling-node", "30",
                       "--actuation", "perpendicular", "--tension", "1.5", "--decay", "-40",
                       "--rate", "22050", "--length", "0.5", "-q", "-o", "plane.wav"},
                      dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    Instrument ins = instrument_defaults();
    ins.type = TYPE_PLANE;
    ins.plane_length = 5;
    ins.actuation_node = 1;
    ins.sampling_node = 30;
    ins.actuation = ACTUATION_PERPENDICULAR;
    ins.tension = 1.5;
    ins.decay_stop = 1;
    ins.decay_level = -40.0;
    EXPECT_EQ(read_file(dir.path / "plane.wav"),
              window_bytes(ins, 0.5, 22050, dir.path / "window.wav"));
}

// The largest plane, whose steps are split across threads: the same bytes
// for one thread and for several.
TEST(RenderCli, SameBytesForEveryThreadCount)
{
    TempDir dir;
    const std::vector<std::string> sound = {"--shape", "plane", "--plane-length", "30",
                                            "--plane-width", "39", "--rate", "96000",
                                            "--length", "0.1", "-q", "-o"};
    std::string bytes;
    for (const char *threads : {"1", "2", "3"}) {
        std::vector<std::string> args = {"--threads", threads};
        args.insert(args.end(), sound.begin(), sound.end());
        args.push_back(std::string("plane") + threads + ".wav");
        const ProgramRun r = run(args, dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string got = read_file(dir.path / (std::string("plane") + threads + ".wav"));
        if (bytes.empty())
            bytes = got;
        EXPECT_EQ(got, bytes) << threads << " threads";
    }
}

TEST(RenderCli, BadOptionsExitTwoAndWriteNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--shape", "rod", "--rod-length", "201"},
        {"--sampling-node", "45"},                     // the tube's last ring is anchored
        {"--shape", "plane", "--actuation-node", "8"},  // a corner of the 7 x 9 plane
        {"--velocity", "loud"},
        {"--bogus"},
    };
    for (std::vector<std::string> args : cases) {
        TempDir dir;
        args.insert(args.end(), {"-o", "x.wav"});
        const ProgramRun r = run(args, dir.path);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.err.rfind("clangwright-render: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_EQ(dir.entries(), 0u) << args[0];
    }
}

TEST(RenderCli, UnstableSimulationIsWrittenWithAWarning)
{
    TempDir dir;
    // Speed 0.2 at 22050 Hz is a step of 0.4, too large for the default tube.
    ProgramRun r = run({"--rate", "22050", "-q", "-o", "fast.wav"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: the simulation became unstable"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir.path / "fast.wav"));

    r = run({"--rate", "22050", "--speed", "0.1", "-q", "-o", "slow.wav"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(RenderCli, ExportFailureExitsOneWithTheSystemText)
{
    TempDir dir;
    const ProgramRun r = run({"-o", "missing/x.wav"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "clangwright-render: Could not write file missing/x.wav: No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

void write_file(const fs::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

TEST(RenderCliPreset, SavedPresetRendersTheSameSoundAsItsOptions)
{
    TempDir dir;
    const std::vector<std::string> sound = {"--shape", "rod", "--rod-length", "12", "--tension",
                                            "2.5", "--speed", "0.3", "--velocity", "0.5"};
    std::vector<std::string> save = sound;
    save.insert(save.end(), {"--save-preset", "rod.cwrp"});
    ProgramRun r = run(save, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.entries(), 1u) << "--save-preset alone renders nothing";

    std::vector<std::string> direct = sound;
    direct.insert(direct.end(), {"-q", "-o", "direct.wav"});
    ASSERT_EQ(run(direct, dir.path).status, 0);
    r = run({"--preset", "rod.cwrp", "-q", "-o", "preset.wav"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir.path / "preset.wav"), read_file(dir.path / "direct.wav"));

    // Options given after a preset override it; a size resets the nodes.
    ASSERT_EQ(run({"--shape", "rod", "--rod-length", "9", "--tension", "2.5", "--speed", "0.3",
                   "--velocity", "0.5", "--sampling-node", "3", "-q", "-o", "direct9.wav"},
                  dir.path).status, 0);
    ASSERT_EQ(run({"--preset", "rod.cwrp", "--rod-length", "9", "--sampling-node", "3", "-q", "-o",
                   "preset9.wav"},
                  dir.path).status, 0);
    EXPECT_EQ(read_file(dir.path / "preset9.wav"), read_file(dir.path / "direct9.wav"));
}

TEST(RenderCliPreset, DefaultPresetIsTheDocumentedDocument)
{
    TempDir dir;
    ASSERT_EQ(run({"--save-preset", "default.cwrp"}, dir.path).status, 0);
    EXPECT_EQ(read_file(dir.path / "default.cwrp"),
              default_preset_document);
}

TEST(RenderCliPreset, IncompletePresetWarnsClampsAndStillRenders)
{
    TempDir dir;
    // A plane of 99 rows: the window's spin button holds 30 at most.
    write_file(dir.path / "big.cwrp", "<cwrp version=\"0.1.0\"><string name=\"type\" value=\"plane\"/>"
                                      "<int name=\"length\" value=\"99\"/></cwrp>");
    const ProgramRun r = run({"--preset", "big.cwrp", "-q", "-o", "big.wav"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "clangwright-render: warning: Incorrect or incomplete presets file. Some "
                     "values may be missing.\n");
    ASSERT_EQ(run({"--shape", "plane", "--plane-length", "30", "-q", "-o", "direct.wav"}, dir.path)
                  .status, 0);
    EXPECT_EQ(read_file(dir.path / "big.wav"), read_file(dir.path / "direct.wav"));
}

TEST(RenderCliPreset, LegacyPresetLoadsFromElementText)
{
    TempDir dir;
    write_file(dir.path / "old.cwri",
               "<cwrinstr><string name=\"type\">rod</string><int name=\"length\">12</int>"
               "<double name=\"tension\">2.5</double><double name=\"speed\">0.3</double>"
               "<double name=\"damping\">0.05</double><int name=\"actuation\">0</int>"
               "<double name=\"velocity\">0.5</double></cwrinstr>");
    const ProgramRun r = run({"--preset", "old.cwri", "-q", "-o", "old.wav"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(run({"--shape", "rod", "--rod-length", "12", "--tension", "2.5", "--speed", "0.3",
                   "--velocity", "0.5", "-q", "-o", "direct.wav"},
                  dir.path).status, 0);
    EXPECT_EQ(read_file(dir.path / "old.wav"), read_file(dir.path / "direct.wav"));
}

TEST(RenderCliPreset, UnreadablePresetOrFailedSaveExitsOne)
{
    TempDir dir;
    write_file(dir.path / "noise.cwrp", "RIFF....WAVEfmt not a preset");
    ProgramRun r = run({"--preset", "noise.cwrp", "-o", "x.wav"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "clangwright-render: Could not open file noise.cwrp, not a CWR presets or "
                     "parsing error\n");
    EXPECT_FALSE(fs::exists(dir.path / "x.wav"));

    r = run({"--save-preset", "missing/p.cwrp"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("clangwright-render: Could not write file missing/p.cwrp: ") +
                         g_strerror(ENOENT) + "\n");
}

} // namespace

TEST(RenderOptions, ExploringOptionsAreCheckedTogether)
{
    Parsed p = parse({"--randomise", "--seed", "42", "--lock", "shape,speed", "-o", "x.wav"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.options.randomise);
    EXPECT_EQ(p.options.seed, 42u);
    EXPECT_TRUE(p.options.locks[LockGroup::shape_size]);
    EXPECT_TRUE(p.options.locks[LockGroup::speed]);
    EXPECT_FALSE(p.options.locks[LockGroup::nodes]);

    p = parse({"--variations", "6", "-o", "x.wav"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(explores(p.options));
    EXPECT_FALSE(p.options.mutate_amount); // mutations by the default amount

    const struct {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{"--randomise", "--mutate", "0.2", "-o", "x.wav"},
         "--randomise and --mutate exclude each other"},
        {{"--seed", "1", "-o", "x.wav"},
         "--seed and --lock need --randomise, --mutate or --variations"},
        {{"--lock", "speed", "-o", "x.wav"},
         "--seed and --lock need --randomise, --mutate or --variations"},
        {{"--mutate", "1.5", "-o", "x.wav"}, "--mutate: 1.5 is out of range (valid: 0 to 1)"},
        {{"--variations", "1000", "-o", "x.wav"},
         "--variations: 1000 is out of range (valid: 1 to 999)"},
        {{"--randomise", "--seed", "-1", "-o", "x.wav"},
         "--seed: '-1' is not a seed (valid: 0 to 4294967295)"},
        {{"--randomise", "--lock", "speed,pitch", "-o", "x.wav"},
         "--lock: 'pitch' is not a group (valid: shape, nodes, tension, speed, damping, "
         "actuation, velocity)"},
    };
    for (const auto &c : cases) {
        const Parsed bad = parse(c.args);
        EXPECT_FALSE(bad.ok);
        EXPECT_EQ(bad.error, c.error);
    }
}

TEST(RenderCliExplore, SameSeedSameTakesAndEveryTakeRerendersFromItsPreset)
{
    TempDir dir;
    const std::vector<std::string> takes = {"--variations", "6", "--seed", "42", "-q",
                                            "--length", "0.5", "-o", "a/take.wav",
                                            "--save-preset", "a/take.cwrp"};
    fs::create_directories(dir.path / "a");
    fs::create_directories(dir.path / "b");
    fs::create_directories(dir.path / "c");
    ProgramRun r = run(takes, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::vector<std::string> again = takes;
    again[8] = "b/take.wav";
    again[10] = "b/take.cwrp";
    ASSERT_EQ(run(again, dir.path).status, 0);
    std::vector<std::string> other = takes;
    other[3] = "43";
    other[8] = "c/take.wav";
    other[10] = "c/take.cwrp";
    ASSERT_EQ(run(other, dir.path).status, 0);

    std::vector<std::string> seen;
    for (int take = 1; take <= 6; ++take) {
        const std::string n = std::to_string(take);
        const std::string a = read_file(dir.path / "a" / ("take-" + n + ".wav"));
        ASSERT_GT(a.size(), 44u) << "take " << n;
        EXPECT_EQ(a, read_file(dir.path / "b" / ("take-" + n + ".wav"))) << "take " << n;
        EXPECT_EQ(read_file(dir.path / "a" / ("take-" + n + ".cwrp")),
                  read_file(dir.path / "b" / ("take-" + n + ".cwrp")));
        EXPECT_NE(a, read_file(dir.path / "c" / ("take-" + n + ".wav"))) << "take " << n;
        seen.push_back(a);
        // The take's preset with the same options gives the take again.
        r = run({"--preset", "a/take-" + n + ".cwrp", "--length", "0.5", "-q", "-o",
                 "re" + n + ".wav"},
                dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(dir.path / ("re" + n + ".wav")), a) << "take " << n;
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end()) << "two takes are the same";

    // Ten takes are numbered with two digits; an unseeded run prints its seed,
    // which makes the same sound again.
    r = run({"--randomise", "--variations", "10", "--seed", "5", "-q", "--length", "0.2", "-o",
             "ten.wav"},
            dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir.path / "ten-01.wav"));
    EXPECT_TRUE(fs::exists(dir.path / "ten-10.wav"));
    r = run({"--randomise", "--length", "0.2", "-o", "free.wav"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out.rfind("Seed: ", 0), 0u) << r.out;
    const std::string seed = r.out.substr(6, r.out.find('\n') - 6);
    ASSERT_EQ(run({"--randomise", "--seed", seed, "--length", "0.2", "-q", "-o", "same.wav"},
                  dir.path).status,
              0);
    EXPECT_EQ(read_file(dir.path / "same.wav"), read_file(dir.path / "free.wav"));
}

TEST(RenderCliExplore, NothingPlayableExitsOneAndWritesNothing)
{
    TempDir dir;
    const ProgramRun r = run({"--mutate", "0", "--velocity", "0", "--lock",
                              "shape,nodes,tension,speed,damping,actuation,velocity", "-o",
                              "none.wav"},
                             dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no sound that plays was found"), std::string::npos) << r.err;
    EXPECT_EQ(dir.entries(), 0u);
}

TEST(RenderCliTune, TheTunedPresetRendersTheSameBytesAndOutOfReachWritesNothing)
{
    TempDir dir;
    ProgramRun r = run({"--shape", "rod", "--rod-length", "12", "--tune", "C5", "-o", "tuned.wav",
                        "--save-preset", "tuned.cwrp"},
                       dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Tuned: ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(" C5 "), std::string::npos) << r.out;
    r = run({"--preset", "tuned.cwrp", "-q", "-o", "again.wav"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.path / "again.wav"), read_file(dir.path / "tuned.wav"));

    // Quiet: nothing on stdout; the strongest partial; a frequency.
    r = run({"--tune", "880Hz", "--tune-partial", "strongest", "-q", "-o", "s.wav"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    r = run({"--tune", "C9", "-o", "high.wav", "--save-preset", "high.cwrp"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("C9 is out of reach: the highest note this partial reaches is "),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(dir.path / "high.wav"));
    EXPECT_FALSE(fs::exists(dir.path / "high.cwrp"));

    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"--tune", "H4", "-o", "x.wav"},
          std::vector<std::string>{"--tune", "A4", "--tune-partial", "first", "-o", "x.wav"},
          std::vector<std::string>{"--tune", "A4", "--randomise", "-o", "x.wav"}}) {
        r = run(bad, dir.path);
        EXPECT_EQ(r.status, 2) << bad[1];
        EXPECT_FALSE(fs::exists(dir.path / "x.wav"));
    }
}
