// Scores read from MIDI files written byte by byte here: timing through
// tempo changes, the messages kept, their order, and the files refused.
#include <gtest/gtest.h>

#include <smf.h>
#include <unistd.h>

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

// A MIDI file of these tracks, each closed by an end of track unless `ended`
// is false.
Bytes midi_file(uint16_t format, uint16_t division, const std::vector<Bytes> &tracks,
                bool ended = true)
{
    Bytes file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, static_cast<uint8_t>(format), 0,
                  static_cast<uint8_t>(tracks.size()), static_cast<uint8_t>(division >> 8),
                  static_cast<uint8_t>(division)};
    for (Bytes track : tracks) {
        if (ended)
            track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
        const auto n = static_cast<uint32_t>(track.size());
        file.insert(file.end(), {'M', 'T', 'r', 'k', static_cast<uint8_t>(n >> 24),
                                 static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                                 static_cast<uint8_t>(n)});
        file.insert(file.end(), track.begin(), track.end());
    }
    return file;
}

Bytes repeat(const Bytes &event, size_t times)
{
    Bytes out;
    for (size_t i = 0; i < times; ++i)
        out.insert(out.end(), event.begin(), event.end());
    return out;
}

Bytes patched(Bytes bytes, size_t at, uint8_t value)
{
    bytes[at] = value;
    return bytes;
}

void expect_events(const MidiScore &score, const std::vector<ScoreEvent> &expected)
{
    ASSERT_EQ(score.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const ScoreEvent &e = score.events[i];
        EXPECT_NEAR(e.time_s, expected[i].time_s, time_tolerance_s) << i;
        EXPECT_EQ(Bytes({e.status, e.data1, e.data2}),
                  Bytes({expected[i].status, expected[i].data1, expected[i].data2}))
            << i;
    }
}

// 96 ticks a quarter note; 0.5 s a quarter from tick 0, 0.25 s from 96, 1 s
// from 288. The notes: 48 -> 0.25 s, 96 -> 0.5, 144 -> 0.625, 288 -> 1.0,
// 384 -> 2.0; a text event at 480 -> 3.0 ends the score.
const Bytes tempo_120 = {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20};
const Bytes tempo_240 = {0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90};
const Bytes tempo_60 = {0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40};
const std::vector<ScoreEvent> tempo_notes = {{0.25, 0x90, 72, 100}, {0.5, 0x80, 72, 0},
                                             {0.625, 0x90, 74, 100}, {1.0, 0x80, 74, 0},
                                             {2.0, 0xB0, 64, 127}};

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes format0_tempo_file = midi_file(
    0, 96,
    {cat({{0x00}, tempo_120, {0x30, 0x90, 72, 100, 0x30, 0x80, 72, 0, 0x00}, tempo_240,
          {0x30, 0x90, 74, 100, 0x81, 0x10, 0x80, 74, 0, 0x00}, tempo_60,
          {0x60, 0xB0, 64, 127, 0x60, 0xFF, 0x01, 0x00}})});
const Bytes format1_tempo_file = midi_file(
    1, 96,
    {cat({{0x00}, tempo_120, {0x60}, tempo_240, {0x81, 0x40}, tempo_60,
          {0x81, 0x40, 0xFF, 0x01, 0x00}}),
     {0x30, 0x90, 72, 100, 0x30, 0x80, 72, 0, 0x30, 0x90, 74, 100, 0x81, 0x10, 0x80, 74, 0,
      0x60, 0xB0, 64, 127}});

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
    // Program change, a system-exclusive event, a text of 128 bytes and an
    // escaped event (two kinds libsmf misreads), running status with a note
    // on of velocity 0, aftertouch, channel pressure, a controller on
    // channel 3 and a bend on channel 2.
    const Bytes file = midi_file(
        0, 96,
        {cat({{0x00, 0xC1, 5, 0x00, 0xF0, 0x02, 0x7E, 0xF7, 0x00, 0xFF, 0x01, 0x81, 0x00},
              Bytes(128, 'x'),
              {0x00, 0xF7, 0x01, 0xF8, 0x00, 0x91, 60, 80, 0x60, 62, 80, 0x00, 60, 0, 0x00, 0xA1,
               62, 16, 0x00, 0xD1, 32, 0x00, 0xB2, 64, 127, 0x30, 0xE1, 0, 64}})});
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
    for (const int channel : {-1, 17})
        EXPECT_FALSE(parse_midi_score(file, channel, error));
}

TEST(MidiScoreEvents, SameTimeEventsComeTrackByTrackInFileOrder)
{
    const Bytes file = midi_file(1, 96,
                                 {{0x00, 0x90, 1, 1, 0x00, 0x90, 2, 1},
                                  {0x00, 0x90, 3, 1, 0x60, 0x90, 5, 1},
                                  {0x00, 0x90, 4, 1, 0x60, 0x90, 6, 1}});
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
    const Bytes file = midi_file(0, 96, {{0x00, 0xFF, 0x51, 0x03, 0, 0, 0}});
    const GLogLevelFlags fatal_before =
        g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK));
    g_log_set_always_fatal(fatal_before);
    testing::internal::CaptureStderr();
    {
        const SmfLogTrap trap;
        smf_t *smf = smf_load_from_memory(file.data(), static_cast<int>(file.size()));
        EXPECT_NE(smf, nullptr);
        if (smf != nullptr)
            smf_delete(smf);
        EXPECT_TRUE(trap.caught());
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
    ASSERT_NE(self, nullptr);
    g_setenv("G_DEBUG", "fatal-warnings", TRUE);
    const ProgramRun run =
        run_program(self, {"--gtest_filter=MidiScoreLogTrap.Catches*:MidiScoreRefuses.*"}, "/");
    g_unsetenv("G_DEBUG");
    g_free(self);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 3 tests"), std::string::npos) << run.out;
}

TEST(MidiScoreRefuses, DamagedAndUnsupportedFilesWithAReason)
{
    const Bytes note = {0x00, 0x90, 60, 100};
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{}, "the file is empty"},
        {{'R', 'I', 'F', 'F', 0, 0, 0, 4, 'R', 'M', 'I', 'D'}, "not a MIDI file"},
        {Bytes(format0_tempo_file.begin(), format0_tempo_file.begin() + 10), "header is damaged"},
        {midi_file(2, 96, {note}), "format 2"},
        {midi_file(0, 0xE728, {note}), "SMPTE"},
        {midi_file(0, 96, {}), "no track"},
        {midi_file(0, 96, {note, note}), "holds one track"},
        {patched(midi_file(1, 96, {note, note}), 11, 3), "ends before track 3"},
        {patched(midi_file(0, 96, {note}), 17, 'X'), "another kind of chunk"},
        {midi_file(0, 96, {note}, false), "without an end-of-track"},
        {midi_file(0, 96, {{0x00, 0xFF, 0x01, 0x00, 0x00, 60, 0}}), "data byte where an event"},
        {midi_file(0, 96, {{0x00, 0x90, 0x90, 60}}), "status byte where a data byte"},
        {midi_file(0, 96, {{0x00, 0xF4}}), "unknown status byte 0xF4"},
        {midi_file(0, 96, {{0x80, 0x80, 0x80, 0x80, 0x00, 0x90, 60, 1}}), "longer than four"},
        {midi_file(0, 96, {{0x00, 0xFF, 0x51, 0x02, 0x07, 0xA1}}), "damaged tempo change"},
        {midi_file(1, 96, {note, cat({{0x00}, tempo_60})}), "keeps them in its first track"},
        {midi_file(0, 96, {repeat({0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x01, 0x00}, 9)}), "ticks"},
        // 2^28 - 1 ticks at 96 a half second: about 16 days.
        {midi_file(0, 96, {{0xFF, 0xFF, 0xFF, 0x7F, 0x80, 60, 0}}), "longer than one hour"},
        {Bytes(midi_score_max_file_bytes + 1), "larger than 16 MiB"},
        {midi_file(0, 96, {repeat({0x00, 0xFF, 0x01, 0x00}, midi_score_max_events)}),
         "more than 2000000 events"},
        // 1000 changes at tick 1000000 and a million controllers at tick 0
        // in the next track: each would visit all 1000 in libsmf's search.
        {midi_file(1, 96,
                   {cat({{0xBD, 0x84, 0x40}, tempo_60, repeat(cat({{0x00}, tempo_60}), 999)}),
                    repeat({0x00, 0xB0, 7, 100}, 1'000'000)}),
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
        const Bytes cut(format1_tempo_file.begin(), format1_tempo_file.begin() + size);
        EXPECT_FALSE(parse_midi_score(cut, 0, error)) << size;
        EXPECT_FALSE(error.empty()) << size;
    }
}

TEST(MidiScoreRefuses, ScoresLongerThanAnHour)
{
    // One tick a second; the last event, at 3600 or 3601 ticks, ends the score.
    for (const uint8_t past_the_hour : {0, 1}) {
        const Bytes file = midi_file(
            0, 1, {cat({{0x00}, tempo_60, {0x9C, static_cast<uint8_t>(0x10 + past_the_hour), 0xFF, 0x01, 0x00}})});
        std::string error;
        const std::optional<MidiScore> score = parse_midi_score(file, 0, error);
        EXPECT_EQ(score.has_value(), past_the_hour == 0) << error;
        EXPECT_EQ(error.empty(), past_the_hour == 0) << error;
    }
}

TEST(MidiScoreFile, ReadsAFileAndSaysWhyOneCannotBeRead)
{
    TempDir dir;
    write_file(dir.file("tempo.mid"), std::string(format1_tempo_file.begin(), format1_tempo_file.end()));
    write_file(dir.file("large.mid"), "");
    ASSERT_EQ(::truncate(dir.file("large.mid").c_str(), midi_score_max_file_bytes + 1), 0);
    std::string error;
    const std::optional<MidiScore> score = read_midi_score(dir.file("tempo.mid"), 0, error);
    ASSERT_TRUE(score) << error;
    expect_events(*score, tempo_notes);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {dir.file("missing.mid"), "the file cannot be read: No such file or directory"},
        {dir.path(), "the file cannot be read: Is a directory"},
        {dir.file("large.mid"), "the file is larger than 16 MiB"}};
    for (const auto &[path, reason] : refused) {
        EXPECT_FALSE(read_midi_score(path, 0, error));
        EXPECT_EQ(error, reason);
    }
}

TEST(MidiScoreFile, TheDemoScoreIsChimeChordsWithThePedalOnChannelOne)
{
    std::string error;
    const std::string demo = CW_SOURCE_DIR "/data/scores/chime-melody.mid";
    const std::optional<MidiScore> score = read_midi_score(demo, 1, error);
    ASSERT_TRUE(score) << error;
    EXPECT_EQ(score->events.size(), read_midi_score(demo, 0, error)->events.size());
    EXPECT_GE(score->length_s, 10.0);
    EXPECT_LE(score->length_s, 12.0);
    int pedal_down = 0, pedal_up = 0, chord_starts = 0;
    for (size_t i = 0; i < score->events.size(); ++i) {
        const ScoreEvent &e = score->events[i];
        if (e.status == 0x90) {
            EXPECT_GE(e.data1, 72);
            EXPECT_LE(e.data1, 96);
            chord_starts += i + 2 < score->events.size() && score->events[i + 2].status == 0x90 &&
                            score->events[i + 2].time_s == e.time_s;
        }
        if (e.status == 0xB0 && e.data1 == 64)
            ++(e.data2 >= 64 ? pedal_down : pedal_up);
    }
    EXPECT_GT(chord_starts, 0);
    EXPECT_GT(pedal_down, 0);
    EXPECT_EQ(pedal_down, pedal_up);
}

} // namespace
