// Whether a split object's steps run split or on the calling thread alone.
// Internal: nothing here is exported from the shared library.
#pragma once

#include <cstdint>

namespace cwphymod {

//! A split step pays only while every thread has a core to itself. With
//! another program on a worker's core, each step waits for a worker that is
//! not running; with other programs on every core, the caller and the workers
//! are each let run in turns of milliseconds, and a step waits whenever one
//! of them is out of its turn. The steps then run on the caller alone, and
//! now and then are split again to see whether that has become the faster.
//!
//! Fed the time stamp counter ticks of each window of steps. A split window
//! is judged at once against what the caller alone would take when it is
//! plainly slower (its steps, each clipped to a few times the last window's
//! mean, take longer); otherwise its ticks are summed, waits included, over
//! a span of many windows and judged as a whole: long enough to hold many
//! turns of the system's scheduler, so that the rare pause of an idle
//! machine (a millisecond or more) does not send it to the caller alone,
//! and a steady run of such pauses does.
class SplitChoice {
public:
    //! Whether the steps now run on the caller alone.
    bool alone() const { return alone_; }

    //! What a step on the caller alone takes, to judge a split window by:
    //! measured in the last spell alone while splitting again is on trial,
    //! else `guess` (0: nothing known, and no window is judged slower).
    uint64_t alone_reference(uint64_t guess) const
    {
        return probing_ && alone_step_ ? alone_step_ : guess;
    }

    //! Whether a split window whose `steps` steps took `ticks` (`clipped`
    //! as for end_window) runs at half the speed of the caller alone or
    //! worse, so plainly that it ends now: its clipped steps after a few, or
    //! all its ticks beyond the slack (the caller and a worker then take
    //! turns with other programs at every step). `guess` as for
    //! alone_reference.
    bool losing(uint64_t steps, uint64_t ticks, uint64_t clipped, uint64_t guess) const;

    //! Ends a window of `steps` steps (1 or more) that took `ticks` in all,
    //! every wait included, and `clipped` with each step's spikes clipped;
    //! `cut_short`: it was ended early for running at half the speed of the
    //! caller alone. `guess` as for alone_reference. Returns alone().
    bool end_window(uint64_t steps, uint64_t ticks, uint64_t clipped, uint64_t guess,
                    bool cut_short);

    //! Runs the next window alone, or split, whatever was measured; the
    //! trials and their gaps start anew. For tests.
    void force(bool alone);

    //! Ticks a split span sums before it is judged (about 25 ms at 2.6 GHz;
    //! at least 16 ms on any processor of the last fifteen years).
    static constexpr uint64_t span_ticks = uint64_t{1} << 26;
    //! What a span may lose to the caller alone before it ends early: more
    //! than the pauses of an idle machine. A trial of splitting again may
    //! lose a quarter of it: the trial follows a spell when splitting lost.
    static constexpr uint64_t slack_ticks = span_ticks / 4;
    //! Clipped steps a window runs before it is judged losing.
    static constexpr uint64_t steps_before_giving_up = 16;
    //! Windows alone before the first try at splitting again and after a
    //! try that won; twice as many after each try that lost, up to the most.
    static constexpr int32_t probe_gap_first = 16;
    static constexpr int32_t probe_gap_most = 512;

private:
    void start_span();

    bool alone_ = false;
    bool probing_ = false; // splitting again is on trial
    int32_t probe_gap_ = probe_gap_first;
    int32_t windows_alone_ = 0;
    uint64_t alone_step_ = 0; // ticks per step in the last spell alone, 0: none yet
    uint64_t span_steps_ = 0;
    uint64_t span_ticks_ = 0;
    uint64_t span_guess_ = 0; // the smallest guess of the span, 0: none
};

} // namespace cwphymod
