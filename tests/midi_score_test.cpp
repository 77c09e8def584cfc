// Scores read from MIDI files written byte by byte here: timing through
// tempo changes, the messages kept, their order, and the files refused.
#include <gtest/gtest.h>

#include <smf.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "midi_score.h"
#include "program_run.h"
#include "settings_test_support.h"
#include "smf_log_trap.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Times are sums of a few products of ticks and tempos: 1e-9 s is far above
// their rounding (about 1e-15 s) and far below a sample (2e-5 s).
constexpr double time_tolerance_s = 1e-9;

// Bytes from hexadecimal numbers between spaces.
Bytes hex(const std::string &text)
{
    Bytes out;
    for (const char *at = text.c_str(); *at != '\0';) {
        char *end = nullptr;
        const unsigned long byte = std::strtoul(at, &end, 16);
        if (end == at)
            break;
        out.push_back(static_cast<uint8_t>(byte));
        at = end;
    }
    return out;
}

std::string repeat(const std::string &events, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += events + " ";
    return out;
}

// A MIDI file of these tracks, each closed by an end of track unless `ended`
// is false; `patch` then sets one byte (by default the first, to what it is).
Bytes midi_file(int format, int division, const std::vector<Bytes> &tracks, bool ended = true,
                std::pair<size_t, uint8_t> patch = {0, 'M'})
{
    Bytes file = hex("4D 54 68 64 00 00 00 06 00");
    for (const int value : {format, 0, static_cast<int>(tracks.size()), division >> 8, division})
        file.push_back(static_cast<uint8_t>(value));
    for (Bytes track : tracks) {
        if (ended)
            track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
        const auto n = static_cast<uint32_t>(track.size());
        for (const uint32_t value : {0x4Du, 0x54u, 0x72u, 0x6Bu, n >> 24, n >> 16, n >> 8, n})
            file.push_back(static_cast<uint8_t>(value));
        file.insert(file.end(), track.begin(), track.end());
    }
    file[patch.first] = patch.second;
    return file;
}

void expect_events(const MidiScore &score, const std::vector<ScoreEvent> &expected)
{
    ASSERT_EQ(score.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const ScoreEvent &e = score.events[i], &x = expected[i];
        EXPECT_NEAR(e.time_s, x.time_s, time_tolerance_s) << i;
        EXPECT_EQ(Bytes({e.status, e.data1, e.data2}), Bytes({x.status, x.data1, x.data2})) << i;
    }
}

// 96 ticks a quarter note; 0.5 s a quarter from tick 0, 0.25 s from 96, 1 s
// from 288. Notes at 48, 96, 144 and 288 ticks, a controller at 384; a text
// at 480 ends the score.
const std::string tempo_120 = " FF 51 03 07 A1 20 ", tempo_240 = " FF 51 03 03 D0 90 ",
                  tempo_60 = " FF 51 03 0F 42 40 ";
const std::vector<ScoreEvent> tempo_notes = {{0.25, 0x90, 72, 100},
                                             {0.5, 0x80, 72, 0},
                                             {0.625, 0x90, 74, 100},
                                             {1.0, 0x80, 74, 0},
                                             {2.0, 0xB0, 64, 127}};
const Bytes format0_tempo_file =
    midi_file(0, 96,
              {hex("00" + tempo_120 + "30 90 48 64 30 80 48 00 00" + tempo_240 +
                   "30 90 4A 64 81 10 80 4A 00 00" + tempo_60 + "60 B0 40 7F 60 FF 01 00")});
const Bytes format1_tempo_file =
    midi_file(1, 96,
              {hex("00" + tempo_120 + "60" + tempo_240 + "81 40" + tempo_60 + "81 40 FF 01 00"),
               hex("30 90 48 64 30 80 48 00 30 90 4A 64 81 10 80 4A 00 60 B0 40 7F")});

TEST(MidiScoreTiming, TempoChangesApplyFromTheirTickInBothFormats)
{
    for (const Bytes *file : {&format0_tempo_file, &format1_tempo_file}) {
        std::string error;
        const std::optional<MidiScore> score = parse_midi_score(*file, 0, error);
        ASSERT_TRUE(score) << error;
        expect_events(*score, tempo_notes);
        EXPECT_NEAR(score->length_s, 3.0, time_tolerance_s);
    }
}

TEST(MidiScoreEvents, KeepsNotesControllersAndBendsOfTheChosenChannel)
{
    // Program change, system exclusive, a text of 128 bytes and an escaped
    // event (two kinds libsmf misreads), notes in running status ending with
    // a note on of velocity 0, aftertouch, channel pressure, a controller on
    // channel 3 and a bend on channel 2.
    const Bytes file =
        midi_file(0, 96,
                  {hex("00 C1 05 00 F0 02 7E F7 00 FF 01 81 00 " + repeat("78", 128) +
                       "00 F7 01 F8 00 91 3C 50 60 3E 50 00 3C 00 00 A1 3E 10 00 D1 20 00 B2 40 7F "
                       "30 E1 00 40")});
    const std::vector<ScoreEvent> all = {{0.0, 0x91, 60, 80},
                                         {0.5, 0x91, 62, 80},
                                         {0.5, 0x81, 60, 64},
                                         {0.5, 0xB2, 64, 127},
                                         {0.75, 0xE1, 0, 64}};
    std::string error;
    for (const int channel : {0, 2, 3, 4}) {
        std::vector<ScoreEvent> expected;
        for (const ScoreEvent &e : all)
            if (channel == 0 || (e.status & 0x0F) == channel - 1)
                expected.push_back(e);
        const std::optional<MidiScore> score = parse_midi_score(file, channel, error);
        ASSERT_TRUE(score) << error;
        expect_events(*score, expected);
    }
    EXPECT_FALSE(parse_midi_score(file, -1, error) || parse_midi_score(file, 17, error));
}

TEST(MidiScoreEvents, SameTimeEventsComeTrackByTrackInFileOrder)
{
    const Bytes file = midi_file(1, 96,
                                 {hex("00 90 01 01 00 90 02 01"), hex("00 90 03 01 60 90 05 01"),
                                  hex("00 90 04 01 60 90 06 01")});
    std::string error;
    const std::optional<MidiScore> score = parse_midi_score(file, 0, error);
    ASSERT_TRUE(score) << error;
    Bytes keys;
    for (const ScoreEvent &e : score->events)
        keys.push_back(e.data1);
    EXPECT_EQ(keys, Bytes({1, 2, 3, 4, 5, 6}));
}

TEST(MidiScoreLogTrap, CatchesWhatLibsmfLogsAndPrintsNothing)
{
    // A tempo of zero: libsmf says it ignores it, and loads the rest. (Not a
    // damaged file: on most of those libsmf reads or writes out of bounds.)
    const Bytes file = midi_file(0, 96, {hex("00 FF 51 03 00 00 00")});
    const auto fatal_before = g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK));
    g_log_set_always_fatal(fatal_before);
    testing::internal::CaptureStderr();
    {
        const SmfLogTrap trap;
        smf_delete(smf_load_from_memory(file.data(), static_cast<int>(file.size())));
        EXPECT_NE(trap.first_message().find("tempo"), std::string::npos) << trap.first_message();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(g_log_set_always_fatal(fatal_before), fatal_before);
}

TEST(MidiScoreLogTrap, NothingAbortsUnderFatalWarnings)
{
    // GLib reads G_DEBUG as it starts: the trap (first) and the refusals run
    // again in a child started with it, where an uncaught warning aborts.
    gchar *self = g_file_read_link("/proc/self/exe", nullptr);
    g_setenv("G_DEBUG", "fatal-warnings", TRUE);
    const ProgramRun run =
        run_program(self, {"--gtest_filter=MidiScoreLogTrap.Catches*:MidiScoreRefuses.*"}, "/");
    g_unsetenv("G_DEBUG");
    g_free(self);
    EXPECT_NE(run.out.find("[  PASSED  ] 2 tests"), std::string::npos) << run.out << run.err;
}

TEST(MidiScoreRefuses, DamagedAndUnsupportedFilesWithAReason)
{
    const Bytes note = hex("00 90 3C 64");
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{}, "the file is empty"},
        {hex("52 49 46 46 00 00 00 04 52 4D 49 44"), "not a MIDI file"},
        {hex("4D 54 68 64 00 00 00 06 00 00"), "header is damaged"},
        {midi_file(2, 96, {note}), "format 2"},
        {midi_file(0, 0xE728, {note}), "SMPTE"},
        {midi_file(0, 96, {}), "no track"},
        {midi_file(0, 96, {note, note}), "holds one track"},
        {midi_file(1, 96, {note, note}, true, {11, 3}), "ends before track 3"},
        {midi_file(0, 96, {note}, true, {17, 'X'}), "another kind of chunk"},
        {midi_file(0, 96, {note}, false), "without an end-of-track"},
        {midi_file(0, 96, {hex("00 FF 01 00 00 3C 00")}), "data byte where an event"},
        {midi_file(0, 96, {hex("00 90 90 3C")}), "status byte where a data byte"},
        {midi_file(0, 96, {hex("00 F4")}), "unknown status byte 0xF4"},
        {midi_file(0, 96, {hex("80 80 80 80 00 90 3C 01")}), "longer than four"},
        {midi_file(0, 96, {hex("00 FF 51 02 07 A1")}), "damaged tempo change"},
        {midi_file(1, 96, {note, hex("00" + tempo_60)}), "keeps them in its first track"},
        {midi_file(0, 96, {hex(repeat("FF FF FF 7F FF 01 00", 9))}), "2147483647 ticks"},
        // 2^28 - 1 ticks of 1/192 s, about 16 days; then 3601 ticks of 1 s.
        {midi_file(0, 96, {hex("FF FF FF 7F 80 3C 00")}), "longer than one hour"},
        {midi_file(0, 1, {hex("00" + tempo_60 + "9C 11 80 3C 00")}), "longer than one hour"},
        {Bytes(midi_score_max_file_bytes + 1), "larger than 16 MiB"},
        {midi_file(0, 96, {hex(repeat("00 FF 01 00", midi_score_max_events))}),
         "more than 2000000"},
        // 1000 changes at tick 1000000, a controller at each tick before in
        // the next track: each would visit all 1000 in libsmf's search.
        {midi_file(1, 96,
                   {hex("BD 84 40" + tempo_60 + repeat("00" + tempo_60, 999)),
                    hex(repeat("01 B0 07 64", 1'000'000))}),
         "too many tempo changes"},
    };
    for (const auto &[bytes, reason] : cases) {
        std::string error;
        EXPECT_FALSE(parse_midi_score(bytes, 0, error)) << reason;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    // Cut anywhere, a file is refused with a reason.
    for (size_t size = 0; size < format1_tempo_file.size(); ++size) {
        std::string error;
        EXPECT_FALSE(parse_midi_score(std::span(format1_tempo_file).first(size), 0, error));
        EXPECT_FALSE(error.empty()) << size;
    }
}

TEST(MidiScoreFile, ReadsAFileOrSaysWhyItCannot)
{
    TempDir dir;
    write_file(dir.file("tempo.mid"),
               std::string(format1_tempo_file.begin(), format1_tempo_file.end()));
    write_file(dir.file("large.mid"), "");
    ASSERT_EQ(::truncate(dir.file("large.mid").c_str(), midi_score_max_file_bytes + 1), 0);
    std::string error;
    const std::optional<MidiScore> score = read_midi_score(dir.file("tempo.mid"), 0, error);
    ASSERT_TRUE(score) << error;
    expect_events(*score, tempo_notes);
    for (const auto &[path, reason] : std::vector<std::pair<std::string, std::string>>{
             {dir.file("missing.mid"), "the file cannot be read: No such file or directory"},
             {dir.path(), "the file cannot be read: Is a directory"},
             {dir.file("large.mid"), "the file is larger than 16 MiB"}}) {
        EXPECT_FALSE(read_midi_score(path, 0, error));
        EXPECT_EQ(error, reason);
    }
    // The demo score, as mido writes it, all on channel 1.
    const std::string demo = CW_SOURCE_DIR "/data/scores/chime-melody.mid";
    const std::optional<MidiScore> chimes = read_midi_score(demo, 1, error);
    ASSERT_TRUE(chimes) << error;
    EXPECT_EQ(chimes->events.size(), read_midi_score(demo, 0, error)->events.size());
    // 8 beats at 100 a minute, 4 at 88, 4 at 72; mido's rounding of the tempi
    // to whole microseconds moves that by less than 0.01 s.
    EXPECT_NEAR(chimes->length_s, 10.86, 0.01);
}

} // namespace
