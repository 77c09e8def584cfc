// clangwright-render --midi as a person runs it: a score in, a stereo WAV
// file out, the same bytes every time; damaged scores and misplaced options
// refused without writing anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "program_run.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

struct TempDir {
    fs::path path;
    TempDir()
    {
        char name[] = "/tmp/cw-score-XXXXXX";
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

void write_file(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string be(uint32_t v, int bytes)
{
    std::string s;
    for (int i = bytes - 1; i >= 0; --i)
        s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}

std::string vlq(uint32_t v)
{
    std::string s(1, static_cast<char>(v & 0x7f));
    while (v >>= 7)
        s.insert(s.begin(), static_cast<char>(0x80 | (v & 0x7f)));
    return s;
}

std::string track(const std::string &events)
{
    const std::string body = events + vlq(0) + "\xff\x2f\x00"s;
    return "MTrk" + be(static_cast<uint32_t>(body.size()), 4) + body;
}

// Format 1 at 480 ticks a beat: a tempo track (120, then 60 beats a minute
// after two beats), and a chord under the pedal with a melody note after it.
std::string small_score()
{
    const std::string tempo = vlq(0) + "\xff\x51\x03"s + be(500000, 3) + vlq(960) +
                              "\xff\x51\x03"s + be(1000000, 3);
    const std::string notes = vlq(0) + "\xb0\x40\x7f"s + vlq(0) + "\x90\x48\x64"s + vlq(0) +
                              "\x90\x4c\x50"s + vlq(480) + "\x80\x48\x00"s + vlq(0) +
                              "\x80\x4c\x00"s + vlq(480) + "\x90\x4f\x7f"s + vlq(240) +
                              "\xb0\x40\x00"s + vlq(240) + "\x80\x4f\x00"s;
    return "MThd"s + be(6, 4) + be(1, 2) + be(2, 2) + be(480, 2) + track(tempo) + track(notes);
}

uint32_t le(const std::string &b, size_t at, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(b[at + i])) << (8 * i);
    return v;
}

// The data chunk of a RIFF WAVE file: offset and size.
std::pair<size_t, size_t> data_chunk(const std::string &wav)
{
    for (size_t at = 12; at + 8 <= wav.size();) {
        const uint32_t size = le(wav, at + 4, 4);
        if (wav.compare(at, 4, "data") == 0)
            return {at + 8, size};
        at += 8 + size + (size & 1);
    }
    return {0, 0};
}

TEST(RenderCliScore, AScoreBecomesTheSameStereoFileEveryTime)
{
    TempDir dir;
    write_file(dir.path / "s.mid", small_score());
    const ProgramRun first = run({"--midi", "s.mid", "--root", "C5", "-o", "a.wav"}, dir.path);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("root key 72"), std::string::npos) << first.out;
    const ProgramRun again = run({"--midi", "s.mid", "--root", "C5", "-o", "b.wav"}, dir.path);
    ASSERT_EQ(again.status, 0) << again.err;
    const std::string a = read_file(dir.path / "a.wav");
    EXPECT_EQ(a, read_file(dir.path / "b.wav"));
    EXPECT_EQ(le(a, 22, 2), 2u);  // channels
    EXPECT_EQ(le(a, 34, 2), 24u); // bits: a score's default
    // Two beats at 120 and one at 60 make 2 s (1.5 s if the tempo change
    // were lost); the last note rings out after it.
    const auto [at, size] = data_chunk(a);
    ASSERT_GT(at, 0u);
    EXPECT_GT(size / 6, 2u * 48000);

    // --normalise to -1 dBFS in 32-bit float.
    const ProgramRun loud =
        run({"--midi", "s.mid", "--normalise", "--bits", "32f", "-o", "f.wav"}, dir.path);
    ASSERT_EQ(loud.status, 0) << loud.err;
    const std::string f = read_file(dir.path / "f.wav");
    const auto [fat, fsize] = data_chunk(f);
    float peak = 0.0f;
    for (size_t i = 0; i + 4 <= fsize; i += 4) {
        float x;
        std::memcpy(&x, f.data() + fat + i, 4);
        peak = std::max(peak, std::fabs(x));
    }
    // The peak is scaled to 10^(-1/20) in double and then rounded to float.
    EXPECT_NEAR(20.0 * std::log10(peak), -1.0, 1e-5);
}

TEST(RenderCliScore, DamagedScoresAndMisplacedOptionsWriteNothing)
{
    TempDir dir;
    const std::string good = small_score();
    write_file(dir.path / "cut.mid", good.substr(0, good.size() - 9));
    write_file(dir.path / "text.mid", "not a score at all\n");
    for (const char *score : {"cut.mid", "text.mid", "missing.mid"}) {
        const ProgramRun r = run({"--midi", score, "-o", "out.wav"}, dir.path);
        EXPECT_EQ(r.status, 1) << score << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(score), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.path / "out.wav")) << score;
    }
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--normalise", "-o", "out.wav"},
                                               {"--midi", "cut.mid", "--tune", "A4", "-o", "out.wav"},
                                               {"--midi", "cut.mid", "--polyphony", "65", "-o", "out.wav"},
                                               {"--bits", "20", "-o", "out.wav"}}) {
        const ProgramRun r = run(args, dir.path);
        EXPECT_EQ(r.status, 2) << args[0] << ": " << r.err;
        EXPECT_FALSE(fs::exists(dir.path / "out.wav"));
    }
}

// A plain render in stereo: the left channel is the mono sound.
TEST(RenderCliScore, StereoPlainRenderKeepsTheMonoSoundOnTheLeft)
{
    TempDir dir;
    ASSERT_EQ(run({"-q", "-o", "mono.wav"}, dir.path).status, 0);
    ASSERT_EQ(run({"-q", "--stereo", "-o", "stereo.wav"}, dir.path).status, 0);
    const std::string mono = read_file(dir.path / "mono.wav"), st = read_file(dir.path / "stereo.wav");
    EXPECT_EQ(le(st, 22, 2), 2u);
    const auto [mat, msize] = data_chunk(mono);
    const auto [sat, ssize] = data_chunk(st);
    ASSERT_EQ(ssize, 2 * msize);
    bool right_differs = false;
    for (size_t i = 0; i < msize / 2; ++i) {
        ASSERT_EQ(st.compare(sat + 4 * i, 2, mono, mat + 2 * i, 2), 0) << "frame " << i;
        right_differs = right_differs || st.compare(sat + 4 * i + 2, 2, mono, mat + 2 * i, 2) != 0;
    }
    EXPECT_TRUE(right_differs);
}

} // namespace
