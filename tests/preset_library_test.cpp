// The preset library as installed: every preset loads without a message and
// renders a stable, audible sound; every preset named after a note rings
// on that note where it settles, by this test's own spectral peak search; the
// installed renderer lists the library and loads its presets by name. Also
// the name rules (the note in a name, a file winning over a library name)
// on a scratch folder.
#include <glib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "preset_library.h"
#include "presets.h"
#include "program_run.h"
#include "render.h"
#include "sound_analysis.h"
#include "body_probe.h"
#include "partial_probe.h"
#include "tune.h"

namespace fs = std::filesystem;

namespace {

const fs::path prefix = CW_LIBRARY_PREFIX;
const fs::path library = prefix / "share/clangwright/presets";
constexpr int32_t rate_hz = 48000;

ProgramRun run_installed(const std::vector<std::string> &args, const fs::path &cwd)
{
    return run_program((prefix / "bin/clangwright-render").string(), args, cwd.string());
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The preset as the renderer's --preset leaves it.
Instrument loaded(const LibraryPreset &p, PresLoadResult &result, std::string &message)
{
    Instrument ins = instrument_defaults();
    result = load_pres_result(&ins, p.file.c_str(), message);
    apply_loaded_pres(&ins);
    return ins;
}

std::vector<double> render(const Instrument &ins, double seconds)
{
    return rendered_sound(ins, rate_hz, seconds);
}

struct ScratchFolder {
    fs::path path;
    ScratchFolder()
    {
        gchar *made = g_dir_make_tmp("cw-library-XXXXXX", nullptr);
        path = made;
        g_free(made);
    }
    ~ScratchFolder() { fs::remove_all(path); }
};

void write_preset(const fs::path &file, int32_t type)
{
    Instrument ins = instrument_defaults();
    ins.type = type;
    std::string message;
    ASSERT_EQ(save_pres(&ins, file.c_str(), message), 0) << message;
}

} // namespace

TEST(PresetLibrary, NoteIsTheLastPartOfANameWhenItIsANote)
{
    EXPECT_EQ(note_of_name("tubular-bell-C5"), "C5");
    EXPECT_EQ(note_of_name("chime-C#6"), "C#6");
    EXPECT_EQ(note_of_name("gong-Bb2"), "Bb2");
    for (const char *none : {"tick", "long-rod", "plate-H4", "bar-C10", "bar-c5", "bar-C", "-"})
        EXPECT_EQ(note_of_name(none), "") << none;
}

TEST(PresetLibrary, ListsGroupsInOrderAndAFileWinsOverALibraryName)
{
    const ScratchFolder scratch;
    const fs::path lib = scratch.path / "presets";
    fs::create_directories(lib / "rods");
    fs::create_directories(lib / "bells");
    write_preset(lib / "rods" / "bar-A4.cwrp", TYPE_ROD);
    write_preset(lib / "bells" / "bell.cwrp", TYPE_TUBE);
    std::ofstream(lib / "bells" / "notes.txt") << "not a preset\n";
    std::ofstream(lib / "loose.cwrp") << "outside every group\n";

    const std::vector<LibraryPreset> listed = list_library(lib.string());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].group, "bells");
    EXPECT_EQ(listed[0].name, "bell");
    EXPECT_EQ(listed[0].shape, "tube");
    EXPECT_EQ(listed[0].note, "");
    EXPECT_EQ(listed[1].name, "bar-A4");
    EXPECT_EQ(listed[1].shape, "rod");
    EXPECT_EQ(listed[1].note, "A4");
    EXPECT_EQ(listed[1].file, (lib / "rods" / "bar-A4.cwrp").string());
    EXPECT_TRUE(list_library((scratch.path / "gone").string()).empty());

    // A library name, then a file of that name in the working folder, then
    // names that are paths: never looked up in the library.
    EXPECT_EQ(resolve_preset("bar-A4", lib.string()), (lib / "rods" / "bar-A4.cwrp").string());
    EXPECT_EQ(resolve_preset("nothing", lib.string()), "nothing");
    EXPECT_EQ(resolve_preset("./bar-A4", lib.string()), "./bar-A4");
    EXPECT_EQ(resolve_preset("bar-A4.cwrp", lib.string()), "bar-A4.cwrp");
    const fs::path own = scratch.path / "bar-A4";
    write_preset(own, TYPE_PLANE);
    EXPECT_EQ(resolve_preset(own.string(), lib.string()), own.string());
}

TEST(InstalledLibrary, CoversTheShapesActuationsLengthsAndSizes)
{
    const std::vector<LibraryPreset> presets = list_library(library.string());
    EXPECT_GE(presets.size(), 32u);
    std::set<std::string> groups, shapes;
    std::set<int32_t> actuations;
    int notes = 0, short_sounds = 0, long_sounds = 0, small_meshes = 0, large_meshes = 0;
    // Damping is the decay's time constant: T60 is about 14 times it, so
    // these bounds part sounds under 0.5 s from those over 4 s.
    constexpr double short_damping = 0.035, long_damping = 0.3;
    constexpr int32_t small_mesh = 30, large_mesh = 300; // nodes
    for (const LibraryPreset &p : presets) {
        PresLoadResult result{};
        std::string message;
        const Instrument ins = loaded(p, result, message);
        groups.insert(p.group);
        shapes.insert(p.shape);
        actuations.insert(ins.actuation);
        notes += p.note.empty() ? 0 : 1;
        short_sounds += ins.damping <= short_damping ? 1 : 0;
        long_sounds += ins.damping >= long_damping ? 1 : 0;
        small_meshes += instrument_node_count(ins) <= small_mesh ? 1 : 0;
        large_meshes += instrument_node_count(ins) >= large_mesh ? 1 : 0;
    }
    EXPECT_GE(groups.size(), 5u);
    EXPECT_EQ(shapes, (std::set<std::string>{"plane", "rod", "tube"}));
    EXPECT_EQ(actuations.size(), 2u);
    EXPECT_GE(notes, 14);
    EXPECT_GE(short_sounds, 3);
    EXPECT_GE(long_sounds, 3);
    EXPECT_GE(small_meshes, 3);
    EXPECT_GE(large_meshes, 3);
}

TEST(InstalledLibrary, EveryPresetLoadsWithoutAMessageAndRendersStableAndAudible)
{
    const std::vector<LibraryPreset> presets = list_library(library.string());
    ASSERT_FALSE(presets.empty());
    for (const LibraryPreset &p : presets) {
        PresLoadResult result{};
        std::string message;
        const Instrument ins = loaded(p, result, message);
        EXPECT_EQ(result, PRES_LOADED) << p.file << ": " << message;
        EXPECT_TRUE(message.empty()) << p.file << ": " << message;
        // As the renderer renders a preset by default: 1 s at 48000 Hz.
        const std::vector<double> sound = render(ins, 1.0);
        ASSERT_EQ(sound.size(), static_cast<size_t>(rate_hz)) << p.file;
        double peak = 0.0;
        bool finite = true;
        for (const double v : sound) {
            finite = finite && std::isfinite(v);
            peak = std::max(peak, std::abs(v));
        }
        EXPECT_TRUE(finite) << p.file << " blows up";
        EXPECT_GT(peak, 0.0) << p.file << " is silent";
        // Audible as the renderer writes it (normalised to full scale):
        // more than a single click of non-zero 16-bit frames.
        constexpr int min_audible_frames = 480; // 10 ms
        int audible = 0;
        for (const double v : sound)
            audible += pcm_from_double(v / peak) != 0 ? 1 : 0;
        EXPECT_GT(audible, min_audible_frames) << p.file;
    }
}

// The body of a sound, by this test's own reckoning: from where its
// envelope (the peak of each 10 ms) has fallen 10 dB below its loudest, or
// from 0.3 s if that comes first, to where it has fallen 60 dB.
std::vector<double> body_of_sound(const std::vector<double> &sound)
{
    constexpr size_t block = rate_hz / 100;
    std::vector<double> envelope;
    for (size_t i = 0; i + block <= sound.size(); i += block) {
        double peak = 0.0;
        for (size_t j = i; j < i + block; ++j)
            peak = std::max(peak, std::abs(sound[j]));
        envelope.push_back(peak);
    }
    const size_t loudest =
        static_cast<size_t>(std::max_element(envelope.begin(), envelope.end()) - envelope.begin());
    size_t from = loudest, to = loudest;
    while (from < envelope.size() && envelope[from] > envelope[loudest] * std::pow(10.0, -0.5) &&
           from * block < static_cast<size_t>(0.3 * rate_hz))
        ++from;
    to = from;
    while (to < envelope.size() && envelope[to] > envelope[loudest] * 1e-3)
        ++to;
    return std::vector<double>(sound.begin() + static_cast<std::ptrdiff_t>(from * block),
                               sound.begin() + static_cast<std::ptrdiff_t>(to * block));
}

// The partial on the note must be what the ear hears: in the spectrum of the
// sound's body (after the strike, where a gliding partial has settled) a
// peak within 3 cents of the note, within 20 dB of the body's strongest,
// and steady: the first and the second half of the body put it within
// 5 cents of each other. The spectra are this test's Hann-windowed peak
// search on a 4 s render, four times the length the tuning measured.
TEST(InstalledLibrary, EveryNotePresetRingsOnItsNoteWhereItSettles)
{
    constexpr double check_s = 4.0, within_cents = 3.0, strong_db = 20.0, steady_cents = 5.0;
    const std::vector<LibraryPreset> presets = list_library(library.string());
    int checked = 0;
    for (const LibraryPreset &p : presets) {
        if (p.note.empty())
            continue;
        ++checked;
        PresLoadResult result{};
        std::string message;
        const Instrument ins = loaded(p, result, message);
        const double note_hz = *parse_note_hz(p.note, default_a4_hz);
        const std::vector<double> body = body_of_sound(render(ins, check_s));
        ASSERT_GT(body.size(), static_cast<size_t>(rate_hz / 20)) << p.name;
        const double on_note = peak_near(rate_hz, body, note_hz);
        ASSERT_GT(on_note, 0.0) << p.name << ": no peak near " << note_hz << " Hz";
        EXPECT_LE(std::abs(cents(on_note, note_hz)), within_cents)
            << p.name << ": the body's peak is at " << on_note << " Hz";
        EXPECT_GE(level_in_body_db(rate_hz, body, on_note), -strong_db)
            << p.name << ": the partial on the note is weak in the body";
        const std::vector<double> first(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(body.size() / 2));
        const std::vector<double> second(body.begin() + static_cast<std::ptrdiff_t>(body.size() / 2), body.end());
        const double early = peak_near(rate_hz, first, on_note), late = peak_near(rate_hz, second, on_note);
        EXPECT_TRUE(early > 0.0 && late > 0.0 && std::abs(cents(early, late)) <= steady_cents)
            << p.name << ": the partial moves from " << early << " to " << late << " Hz";
    }
    EXPECT_GE(checked, 14);
}

TEST(InstalledRenderer, ListsTheLibraryAndRendersAPresetByItsName)
{
    const std::vector<LibraryPreset> presets = list_library(library.string());
    ASSERT_FALSE(presets.empty());
    const ScratchFolder scratch;

    const ProgramRun table = run_installed({"--list-presets"}, scratch.path);
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(static_cast<size_t>(std::count(table.out.begin(), table.out.end(), '\n')),
              presets.size() + 1); // and the heading
    const ProgramRun json = run_installed({"--list-presets", "--json"}, scratch.path);
    EXPECT_EQ(json.status, 0) << json.err;
    gchar **lines = g_strsplit(json.out.c_str(), "\n", -1);
    size_t objects = 0;
    for (gchar **line = lines; *line && **line; ++line, ++objects) {
        const LibraryPreset &p = presets[std::min(objects, presets.size() - 1)];
        const std::string expected = "{\"name\":\"" + p.name + "\",\"group\":\"" + p.group +
                                     "\",\"shape\":\"" + p.shape + "\",\"note\":" +
                                     (p.note.empty() ? "null" : "\"" + p.note + "\"") +
                                     ",\"file\":\"" + p.file + "\"}";
        EXPECT_EQ(*line, expected);
    }
    g_strfreev(lines);
    EXPECT_EQ(objects, presets.size());

    // By name, the same bytes as by its file.
    const LibraryPreset &p = presets.front();
    const fs::path by_name = scratch.path / "by-name.wav", by_file = scratch.path / "by-file.wav";
    const ProgramRun named = run_installed({"--preset", p.name, "-q", "-o", by_name}, scratch.path);
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.err, "");
    EXPECT_EQ(run_installed({"--preset", p.file, "-q", "-o", by_file}, scratch.path).status, 0);
    EXPECT_EQ(read_file(by_name), read_file(by_file));
    EXPECT_FALSE(read_file(by_name).empty());

    // A file of that name in the working folder wins.
    write_preset(scratch.path / p.name, p.shape == "rod" ? TYPE_PLANE : TYPE_ROD);
    const fs::path own = scratch.path / "own.wav";
    EXPECT_EQ(run_installed({"--preset", p.name, "-q", "-o", own}, scratch.path).status, 0);
    EXPECT_NE(read_file(own), read_file(by_file));

    const ProgramRun missing = run_installed({"--preset", "no-such-sound", "-o", own}, scratch.path);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no-such-sound"), std::string::npos) << missing.err;
}
