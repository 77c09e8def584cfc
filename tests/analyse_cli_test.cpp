// The two programs that print an analysis: clangwright-analyse on WAV files
// good and bad, and clangwright-render --analyse on the sound it renders.
#include <gtest/gtest.h>

#include <glib.h>
#include <json-glib/json-glib.h>
#include <sys/wait.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "analyse_options.h"
#include "analysis_report.h"
#include "analysis_test_support.h"
#include "program_run.h"
#include "settings_test_support.h"
#include "sound_analysis.h"
#include "sound_file.h"

namespace {

ProgramRun analyse(const std::vector<std::string> &args, const TempDir &dir)
{
    return run_program(CW_ANALYSE_PROGRAM, args, dir.path());
}

ProgramRun render(const std::vector<std::string> &args, const TempDir &dir)
{
    return run_program(CW_RENDER_PROGRAM, args, dir.path());
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// What the library says of a WAV file: the reference for the programs.
std::string library_json(const TempDir &dir, const std::string &file, double a4_hz = default_a4_hz)
{
    std::string error;
    const std::optional<SoundFile> sound = read_sound_file(dir.file(file), error);
    EXPECT_TRUE(sound) << error;
    if (!sound)
        return {};
    return analysis_json(SoundAnalyser().analyse(sound->frames, sound->rate_hz, a4_hz), file);
}

// Two sounds, and every kind of file the analyser refuses.
void write_inputs(const TempDir &dir)
{
    ASSERT_TRUE(write_wav(dir.file("bell.wav"), 48000,
                          decaying_sines(48000, 1.0, {{440.0, 0, 0.8}, {1180.0, -8, 0.4}})));
    ASSERT_TRUE(write_wav(dir.file("gong.wav"), 44100,
                          decaying_sines(44100, 2.0, {{98.0, -6, 2.0}, {261.0, 0, 1.5}})));
    write_file(dir.file("text.wav"), "RIFF but not really\n");
    const std::vector<uint8_t> bytes(100, 200);
    ASSERT_TRUE(
        write_audio_file(dir.file("8bit.wav"), 8000, bytes.data(), 100, 1, AF_SAMPFMT_UNSIGNED, 8));
    const std::vector<float> floats(100, 0.5f);
    ASSERT_TRUE(
        write_audio_file(dir.file("float.wav"), 8000, floats.data(), 100, 1, AF_SAMPFMT_FLOAT, 32));
    ASSERT_TRUE(write_wav(dir.file("empty.wav"), 8000, {}));
    ASSERT_TRUE(write_wav(dir.file("silent.wav"), 8000, std::vector<int16_t>(800, 0)));
}

const std::vector<std::string> mixed_inputs = {"bell.wav",   "missing.wav", "text.wav",
                                               "8bit.wav",   "float.wav",   "empty.wav",
                                               "silent.wav", "gong.wav"};
const std::vector<std::string> expected_refusals = {
    "clangwright-analyse: missing.wav: No such file or directory",
    "clangwright-analyse: text.wav: not a WAV file",
    "clangwright-analyse: 8bit.wav: 8-bit samples; only 16-bit WAV files can be analysed",
    "clangwright-analyse: float.wav: floating-point samples; only 16-bit WAV files can be analysed",
    "clangwright-analyse: empty.wav: the file holds no sound",
    "clangwright-analyse: silent.wav: the sound is silent",
};

TEST(AnalyseCli, BadFilesGetOneLineEachAndTheOthersAreStillAnalysed)
{
    TempDir dir;
    write_inputs(dir);

    ProgramRun r = analyse(mixed_inputs, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.err), expected_refusals);
    // Both tables, one after the other, separated by an empty line.
    EXPECT_EQ(r.out.rfind("bell.wav: 48000 Hz, 1.000 s, peak ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n\ngong.wav: 44100 Hz, 2.000 s, peak "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Strongest partial: 261.00 Hz (C4 -4.1 cents)"), std::string::npos)
        << r.out;

    r = analyse({"--json", "bell.wav", "gong.wav"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{library_json(dir, "bell.wav"),
                                                         library_json(dir, "gong.wav")}));

    std::vector<std::string> args = mixed_inputs;
    args.insert(args.begin(), "--json");
    r = analyse(args, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.err), expected_refusals);
    EXPECT_EQ(lines_of(r.out).size(), 2u);
}

TEST(AnalyseCli, A4NamesTheNotes)
{
    TempDir dir;
    write_inputs(dir);
    const ProgramRun r = analyse({"--json", "--a4", "432", "bell.wav"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, library_json(dir, "bell.wav", 432.0) + "\n");
    EXPECT_NE(r.out.find("\"note\":\"A4\",\"cents\":31.77"), std::string::npos) << r.out;
}

TEST(AnalyseCli, PlotDrawsOnePicturePerFile)
{
    TempDir dir;
    write_inputs(dir);
    ProgramRun r = analyse({"--plot", "one.png", "bell.wav"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("one.png")).substr(1, 3), "PNG");

    r = analyse({"--json", "--plot", "pic.png", "bell.wav", "missing.wav", "gong.wav"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(dir.file("pic-1.png")).substr(1, 3), "PNG");
    EXPECT_FALSE(g_file_test(dir.file("pic-2.png").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_EQ(read_file(dir.file("pic-3.png")).substr(1, 3), "PNG");

    // The spectrogram beside the plot, numbered alike.
    r = analyse({"--spectrogram", "sg.png", "--plot", "pl.png", "bell.wav", "gong.wav"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *name : {"sg-1.png", "sg-2.png", "pl-1.png", "pl-2.png"})
        EXPECT_EQ(read_file(dir.file(name)).substr(1, 3), "PNG") << name;
    r = analyse({"--spectrogram", "missing/s.png", "bell.wav"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "clangwright-analyse: Could not write file missing/s.png: No such file or "
                     "directory\n");

    r = analyse({"--plot", "missing/p.png", "bell.wav"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "clangwright-analyse: Could not write file missing/p.png: No such file or "
                     "directory\n");

    EXPECT_EQ(plot_file_for("out.png", 0, 1), "out.png");
    EXPECT_EQ(plot_file_for("out.png", 1, 3), "out-2.png");
    EXPECT_EQ(plot_file_for("a.b/out", 0, 2), "a.b/out-1");
    EXPECT_EQ(plot_file_for(".hidden", 0, 2), ".hidden-1");
}

TEST(AnalyseCli, RefusedCommandLinesExitTwo)
{
    TempDir dir;
    write_inputs(dir);
    const struct {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{}, "no WAV file given (usage: clangwright-analyse [OPTION...] FILE.wav...)"},
        {{"--a4", "500", "bell.wav"}, "--a4: 500 is out of range (valid: 400 to 480)"},
        {{"--a4", "la", "bell.wav"}, "--a4: 'la' is not a number (valid: 400 to 480)"},
        {{"--plot", "", "bell.wav"}, "--plot: the file name is empty"},
        {{"--bogus", "bell.wav"}, "Unknown option --bogus"},
    };
    for (const auto &c : cases) {
        const ProgramRun r = analyse(c.args, dir);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string("clangwright-analyse: ") + c.error + "\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST(RenderAnalyse, PrintsWhatTheAnalyserSaysOfTheFileItWrites)
{
    TempDir dir;
    ProgramRun r = render({"--shape", "rod", "-o", "plain.wav"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    r = render({"--shape", "rod", "--analyse", "--json", "-o", "rod.wav"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    // The analysis changes nothing of the sound it reads.
    EXPECT_EQ(read_file(dir.file("rod.wav")), read_file(dir.file("plain.wav")));
    // With --json, the object is all that goes to standard output.
    EXPECT_EQ(r.out, analyse({"--json", "rod.wav"}, dir).out);
    EXPECT_EQ(r.out, library_json(dir, "rod.wav") + "\n");

    r = render({"--shape", "plane", "--rate", "44100", "--a4", "415", "--analyse", "-o", "p.wav"},
               dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const ProgramRun table = analyse({"--a4", "415", "p.wav"}, dir);
    ASSERT_EQ(table.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find("Render time: ")), "Real length: 1.0 s\n");
    EXPECT_NE(r.out.find("\n" + table.out.substr(0, table.out.find('\n'))), std::string::npos)
        << r.out << table.out;
    EXPECT_EQ(r.out.substr(r.out.find('\n', r.out.find("Render time: ")) + 1), table.out);
}

TEST(RenderAnalyse, NeedsNoOutputFileAndDrawsThePicture)
{
    TempDir dir;
    ProgramRun r = render({"--analyse", "--plot", "tube.png"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nRendered sound: 48000 Hz, 1.000 s, peak "), std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir.file("tube.png")).substr(1, 3), "PNG");
    EXPECT_EQ(dir.entries(), 1u);
    r = render({"--spectrogram", "tube-sg.png", "-q"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("tube-sg.png")).substr(1, 3), "PNG");
    EXPECT_EQ(dir.entries(), 2u);

    r = render({"--json"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("{\"file\":null,\"rate\":48000,", 0), 0u) << r.out;

    // An object that does not move makes no sound: nothing to analyse.
    r = render({"--speed", "0", "--analyse"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "clangwright-render: the sound is silent; there is nothing to analyse\n");
}

} // namespace
