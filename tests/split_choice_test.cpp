// When a split object's steps run split and when on the calling thread alone,
// from window timings shaped like those measured on a two-core machine: the
// large plane steps alone in about 13,700 ticks and split in about 7,000;
// while other programs keep both cores busy, the caller alone takes about
// 23,000, and split steps wait for turns of the system's scheduler.
#include <gtest/gtest.h>

#include <cstdint>

#include "split_choice.h"

namespace {

using cwphymod::SplitChoice;

constexpr uint64_t window = 256;
constexpr uint64_t alone_guess = 13700;
constexpr uint64_t split_step = 7000;
constexpr uint64_t busy_alone_step = 23000;

// A window of steps that took `step` ticks each, plus `pause` ticks in one
// of them (which clipping leaves out).
bool feed(SplitChoice &choice, uint64_t step, uint64_t pause = 0, uint64_t guess = alone_guess)
{
    const uint64_t ticks = window * step;
    return choice.end_window(window, ticks + pause, ticks, guess, false);
}

// Windows alone until the next trial of splitting again starts.
int windows_until_trial(SplitChoice &choice)
{
    int n = 0;
    while (choice.alone() && n < 10000) {
        feed(choice, busy_alone_step, 0, 0);
        ++n;
    }
    return n;
}

// Sends a split choice alone with a window that ran at half speed.
void lose(SplitChoice &choice)
{
    choice.end_window(16, 16 * 3 * alone_guess, 16 * 3 * alone_guess, alone_guess, true);
}

TEST(SplitChoice, AnIdleMachineStaysSplitThroughItsRarePauses)
{
    SplitChoice choice;
    for (int i = 0; i < 400; ++i) {
        // A pause of about 3 ms every 40 windows (some 27 ms).
        const uint64_t pause = i % 40 == 7 ? 7'800'000 : 0;
        EXPECT_FALSE(feed(choice, split_step, pause)) << "window " << i;
    }
    // The caller's part slowed by a pause of its own raises that window's
    // guess; the slowest guess is not the one judged against.
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(feed(choice, split_step, 0, i % 10 ? alone_guess : 7 * alone_guess));
}

TEST(SplitChoice, StepsWaitingForTurnsGoAloneWithinASpan)
{
    // Fast windows, every fourth holding a turn of about 4.6 ms: clipped,
    // each window looks fine; summed, they run slower than the caller alone.
    SplitChoice choice;
    int windows = 0;
    while (!choice.alone() && windows < 1000) {
        feed(choice, split_step, windows % 4 == 3 ? 12'000'000 : 0);
        ++windows;
    }
    EXPECT_TRUE(choice.alone());
    EXPECT_LE(static_cast<uint64_t>(windows) * window * split_step, SplitChoice::span_ticks);

    // One long outage ends the span as soon as it is over the slack; a turn
    // of 5 ms does not.
    SplitChoice outage;
    EXPECT_FALSE(feed(outage, split_step));
    EXPECT_FALSE(feed(outage, split_step, 13'000'000));
    EXPECT_TRUE(feed(outage, split_step, 100'000'000));

    // A window whose clipped steps are slower than the caller alone ends
    // at once.
    SplitChoice slow;
    EXPECT_TRUE(feed(slow, alone_guess + 1));
}

TEST(SplitChoice, AWindowIsLosingOnClippedStepsOrATurnPastTheSlack)
{
    const SplitChoice choice;
    const uint64_t half_speed = 2 * alone_guess;
    // Caller and worker stepping by turns with other programs: each step
    // waits some 8 ms.
    EXPECT_TRUE(choice.losing(1, 21'000'000, 4 * split_step, alone_guess));
    // A pause of an idle machine is within the slack.
    EXPECT_FALSE(choice.losing(1, 7'800'000, 4 * split_step, alone_guess));
    // Clipped steps at half speed, after a few of them.
    EXPECT_FALSE(choice.losing(15, 15 * half_speed + 15, 15 * half_speed + 15, alone_guess));
    EXPECT_TRUE(choice.losing(16, 16 * half_speed + 16, 16 * half_speed + 16, alone_guess));
    // Nothing known of the caller alone: never losing.
    EXPECT_FALSE(choice.losing(100, 1'000'000'000, 1'000'000'000, 0));
}

TEST(SplitChoice, TrialsThatLoseComeLessOftenAndOneThatWinsResetsTheGap)
{
    SplitChoice choice;
    lose(choice);
    ASSERT_TRUE(choice.alone());
    EXPECT_EQ(windows_until_trial(choice), SplitChoice::probe_gap_first);

    // The trial is judged by the spell alone just measured, not the guess.
    EXPECT_EQ(choice.alone_reference(alone_guess), busy_alone_step);
    // Its first window may lose nothing.
    EXPECT_TRUE(feed(choice, busy_alone_step + 100));
    EXPECT_EQ(windows_until_trial(choice), 2 * SplitChoice::probe_gap_first);

    // A trial that wins its first window and then loses its span counts as
    // a loss too, and it may lose less than a span: one turn of 5 ms ends it.
    EXPECT_FALSE(feed(choice, split_step));
    EXPECT_TRUE(feed(choice, split_step, 13'000'000));
    EXPECT_EQ(windows_until_trial(choice), 4 * SplitChoice::probe_gap_first);

    // A trial that wins a whole span stays split, and the next loss is
    // followed by the shortest gap again.
    const uint64_t span_windows = SplitChoice::span_ticks / (window * split_step) + 2;
    for (uint64_t i = 0; i < span_windows; ++i)
        EXPECT_FALSE(feed(choice, split_step)) << "window " << i;
    EXPECT_EQ(choice.alone_reference(alone_guess), alone_guess);
    lose(choice);
    EXPECT_EQ(windows_until_trial(choice), SplitChoice::probe_gap_first);
}

TEST(SplitChoice, TheGapBetweenLosingTrialsStopsGrowingAtTheMost)
{
    SplitChoice choice;
    lose(choice);
    int gap = 0;
    for (int i = 0; i < 12; ++i) {
        gap = windows_until_trial(choice);
        EXPECT_TRUE(feed(choice, 2 * busy_alone_step));
    }
    EXPECT_EQ(gap, SplitChoice::probe_gap_most);

    // Forced alone or split, the trials start anew.
    choice.force(false);
    EXPECT_FALSE(choice.alone());
    choice.force(true);
    EXPECT_EQ(windows_until_trial(choice), SplitChoice::probe_gap_first);
}

} // namespace
