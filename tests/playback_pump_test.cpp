// The playback pump against recording test drivers: blocks, partial writes,
// stop requests, nested calls, driver errors, driver switches and renders
// that run inside the pump's event processing.
#include <gtest/gtest.h>

#include <glib.h>

#include <functional>
#include <string>
#include <vector>

#include "playback.h"
#include "render.h"
#include "sound_driver.h"
#include "test_driver.h"

namespace {

constexpr int32_t rate_hz = 48000;
// Two full blocks and a tail.
constexpr int32_t tail_frames = 904;
constexpr int32_t sound_frames = 2 * play_block_frames + tail_frames;

std::vector<std::string> reported;
std::function<void(int run)> on_events; // run counts from 0
int event_runs = 0;

void record_report(const char *text)
{
    reported.push_back(text);
}

void run_events()
{
    const int run = event_runs++;
    if (on_events)
        on_events(run);
}

class PlaybackPump : public ::testing::Test {
protected:
    Instrument instrument = instrument_defaults();

    void SetUp() override
    {
        cwr_reset_drivers();
        test_log[0] = {};
        test_log[1] = {};
        reported.clear();
        on_events = nullptr;
        event_runs = 0;
        cwr_set_error_reporter(record_report);
        set_play_events_hook(run_events);
        cwr_register_driver(&test_driver_full[0]);
        cwr_register_driver(&test_driver_full[1]);
    }

    void TearDown() override
    {
        g_free(samples);
        g_free(render_buffer);
        samples = nullptr;
        render_buffer = nullptr;
        buffer_capacity = 0;
        sample_count = 0;
        sample_length = 1.0;
        cwr_reset_drivers();
        cwr_set_error_reporter(nullptr);
        set_play_events_hook(nullptr);
        on_events = nullptr;
    }

    // A rendered sound whose every frame tells its own position, in buffers
    // that do_render may grow.
    static void fake_render(int32_t frames)
    {
        render_buffer = g_new0(double, frames);
        samples = g_new(int16_t, frames);
        buffer_capacity = static_cast<uint32_t>(frames);
        sample_count = static_cast<uint64_t>(frames);
        for (int32_t i = 0; i < frames; ++i)
            samples[i] = static_cast<int16_t>(i % 30000);
        ++render_generation;
    }

    static std::vector<int16_t> sound()
    {
        return std::vector<int16_t>(samples, samples + sample_count);
    }

    static std::vector<int32_t> write_sizes(const TestDriverLog &log)
    {
        std::vector<int32_t> sizes;
        for (const WriteCall &w : log.writes)
            sizes.push_back(w.count);
        return sizes;
    }
};

TEST_F(PlaybackPump, NothingRenderedOrNoDriverReturnsOneAndCallsNothing)
{
    cwr_set_driver(0, rate_hz);
    test_log[0] = {};
    instrument.stop = 1;
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_TRUE(test_log[0].calls.empty());

    fake_render(sound_frames);
    cwr_set_driver(7, rate_hz); // no driver current
    test_log[0] = {};
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_TRUE(test_log[0].calls.empty());
    EXPECT_TRUE(test_log[1].calls.empty());
    EXPECT_EQ(instrument.stop, 1); // left as it was
    EXPECT_EQ(event_runs, 0);
}

TEST_F(PlaybackPump, TwoBlocksAndATailGoOutAsThreeWritesBetweenStartAndFinish)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    test_log[0] = {};
    instrument.stop = 1; // an old request does not stop a new playback
    on_events = [](int) { EXPECT_EQ(playing, 1); };

    EXPECT_EQ(trigger_play(&instrument, 44100), 1);
    EXPECT_EQ(test_log[0].calls,
              (std::vector<std::string>{"start", "write", "write", "write", "finish"}));
    EXPECT_EQ(test_log[0].start_rates, std::vector<int32_t>{44100});
    EXPECT_EQ(write_sizes(test_log[0]),
              (std::vector<int32_t>{play_block_frames, play_block_frames, tail_frames}));
    EXPECT_EQ(test_log[0].consumed_frames(), sound());
    EXPECT_EQ(event_runs, 3);
    EXPECT_EQ(playing, 0);
    EXPECT_EQ(play_remaining, 0);
    EXPECT_EQ(instrument.stop, 0);
}

TEST_F(PlaybackPump, PartialWritesHandOverEveryFrameExactlyOnce)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    // Takes 1000 frames, then nothing, then 1000... The refused frames are
    // offered again.
    int n = 0;
    test_log[0].write_result = [&n](int32_t count) { return n++ % 2 ? 0 : std::min(count, 1000); };

    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(test_log[0].consumed_frames(), sound());
    // Each write starts where the previous one's consumption ended.
    const int16_t *next = samples;
    for (const WriteCall &w : test_log[0].writes) {
        EXPECT_EQ(w.frames, next);
        next += w.consumed;
    }
    EXPECT_EQ(test_log[0].count("finish"), 1);
}

TEST_F(PlaybackPump, StopDuringFirstEventRunEndsAfterThatBlock)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    on_events = [this](int) { instrument.stop = 1; };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(test_log[0].count("write"), 1);
    EXPECT_EQ(test_log[0].count("finish"), 1);
    EXPECT_EQ(playing, 0);
}

TEST_F(PlaybackPump, NestedCallReturnsZeroAndTheOuterCallReplaysFromFrameZero)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    int32_t nested_result = -1;
    on_events = [&](int run) {
        if (run == 1)
            nested_result = trigger_play(&instrument, rate_hz);
    };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(nested_result, 0);
    // Two blocks, then the whole sound again.
    std::vector<int16_t> expected(samples, samples + 2 * play_block_frames);
    const std::vector<int16_t> whole = sound();
    expected.insert(expected.end(), whole.begin(), whole.end());
    EXPECT_EQ(test_log[0].consumed_frames(), expected);
    // The nested call neither starts nor finishes a playback of its own.
    EXPECT_EQ(test_log[0].count("start"), 1);
    EXPECT_EQ(test_log[0].count("finish"), 1);
}

TEST_F(PlaybackPump, StopFollowedByNestedCallWithoutRenderEndsThePlayback)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    on_events = [this](int) {
        instrument.stop = 1;
        EXPECT_EQ(trigger_play(&instrument, rate_hz), 0);
    };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(test_log[0].count("write"), 1);
    EXPECT_EQ(test_log[0].count("finish"), 1);
}

TEST_F(PlaybackPump, NegativeWriteReportsOnceFinishesAndLeavesThePumpIdle)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    test_log[0] = {};
    test_log[0].write_result = [](int32_t) { return -3; };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(reported, std::vector<std::string>{std::string("Sound driver error:\n") +
                                                 test_driver_error_text});
    EXPECT_EQ(test_log[0].calls,
              (std::vector<std::string>{"start", "write", "error_message", "finish"}));
    EXPECT_EQ(event_runs, 0); // left at once, without running events
    EXPECT_EQ(playing, 0);

    test_log[0] = {};
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(test_log[0].consumed_frames(), sound());
}

TEST_F(PlaybackPump, NegativeStartReportsOnceWithoutWriteOrFinish)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    test_log[0] = {};
    test_log[0].start_result = -1;
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_EQ(test_log[0].calls, (std::vector<std::string>{"start", "error_message"}));
    EXPECT_EQ(playing, 0);

    test_log[0].start_result = 0;
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(test_log[0].count("start"), 2);
    EXPECT_EQ(test_log[0].count("finish"), 1);
}

TEST_F(PlaybackPump, DriverWithOnlyWriteAndErrorMessagePlaysEverything)
{
    cwr_reset_drivers();
    cwr_register_driver(&test_driver_minimal);
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(test_log[0].calls, (std::vector<std::string>{"write", "write", "write"}));
    EXPECT_EQ(test_log[0].consumed_frames(), sound());
}

TEST_F(PlaybackPump, DriverSwitchDuringPlaybackWritesOnThroughTheNewDriver)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    test_log[0] = {};
    on_events = [](int run) {
        if (run == 0)
            cwr_set_driver(1, 96000);
    };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(test_log[0].calls, (std::vector<std::string>{"start", "write", "close"}));
    EXPECT_EQ(test_log[1].calls,
              (std::vector<std::string>{"open", "write", "write", "finish"}));
    std::vector<int16_t> frames = test_log[0].consumed_frames();
    const std::vector<int16_t> rest = test_log[1].consumed_frames();
    frames.insert(frames.end(), rest.begin(), rest.end());
    EXPECT_EQ(frames, sound());
}

// Left open by the design of the pump, decided: with no driver left after an
// event run the playback ends without calling any driver operation, and
// nothing more is reported than the failed open itself.
TEST_F(PlaybackPump, NoDriverAfterEventRunEndsWithoutAnyDriverCall)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    test_log[0] = {};
    test_log[1].open_result = -1;
    on_events = [](int run) {
        if (run == 0)
            cwr_set_driver(1, rate_hz);
    };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    EXPECT_EQ(test_log[0].calls, (std::vector<std::string>{"start", "write", "close"}));
    EXPECT_EQ(test_log[1].calls, (std::vector<std::string>{"open", "error_message"}));
    EXPECT_EQ(reported.size(), 1u); // the failed open's report only
    EXPECT_EQ(playing, 0);
    EXPECT_EQ(event_runs, 1);
}

// Left open, decided: a render that replaces the sound during an event run
// ends the playback (finish is called, the result is 1); the pump does not
// read on in the replaced frames, nor play the new ones, which may be at
// another rate. A nested call after the render rewinds to the new sound.
TEST_F(PlaybackPump, RenderDuringEventRunStopsThePlayback)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    const int16_t *old_samples = samples;
    on_events = [this](int run) {
        if (run == 0) {
            sample_length = 0.5; // 24000 frames at 48000 Hz: the buffers grow
            ASSERT_GT(do_render(&instrument, rate_hz), static_cast<uint64_t>(sound_frames));
        }
    };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    ASSERT_NE(samples, old_samples);
    EXPECT_EQ(test_log[0].calls, (std::vector<std::string>{"open", "start", "write", "finish"}));
    EXPECT_EQ(playing, 0);
}

TEST_F(PlaybackPump, RenderKeepingTheBufferAlsoStopsThePlayback)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    const int16_t *old_samples = samples;
    on_events = [this](int run) {
        if (run == 0) {
            sample_length = 0.05; // 2400 frames: overwritten in place
            do_render(&instrument, rate_hz);
        }
    };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    ASSERT_EQ(samples, old_samples);
    EXPECT_EQ(test_log[0].count("write"), 1);
    EXPECT_EQ(test_log[0].count("finish"), 1);
}

TEST_F(PlaybackPump, RenderThenNestedCallPlaysTheNewSoundFromItsStart)
{
    fake_render(sound_frames);
    cwr_set_driver(0, rate_hz);
    on_events = [this](int run) {
        if (run == 0) {
            sample_length = 0.5;
            do_render(&instrument, rate_hz);
            EXPECT_EQ(trigger_play(&instrument, rate_hz), 0);
        }
    };
    EXPECT_EQ(trigger_play(&instrument, rate_hz), 1);
    const std::vector<WriteCall> &writes = test_log[0].writes;
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[1].frames, samples);
    const std::vector<int16_t> all = test_log[0].consumed_frames();
    EXPECT_EQ(std::vector<int16_t>(all.begin() + play_block_frames, all.end()), sound());
    EXPECT_EQ(test_log[0].count("finish"), 1);
}

} // namespace
