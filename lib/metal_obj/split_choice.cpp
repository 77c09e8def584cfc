#include "split_choice.h"

#include <algorithm>

namespace cwphymod {

void SplitChoice::start_span()
{
    span_steps_ = 0;
    span_ticks_ = 0;
    span_guess_ = 0;
}

bool SplitChoice::losing(uint64_t steps, uint64_t ticks, uint64_t clipped, uint64_t guess) const
{
    const uint64_t reference = alone_reference(guess);
    if (!reference)
        return false;
    const uint64_t half_speed = 2 * reference * steps;
    return (steps >= steps_before_giving_up && clipped > half_speed) ||
           ticks > half_speed + slack_ticks;
}

bool SplitChoice::end_window(uint64_t steps, uint64_t ticks, uint64_t clipped, uint64_t guess,
                             bool cut_short)
{
    span_steps_ += steps;
    span_ticks_ += ticks;
    if (alone_) {
        if (++windows_alone_ >= probe_gap_) {
            alone_step_ = span_ticks_ / span_steps_;
            start_span();
            alone_ = false;
            probing_ = true;
        }
        return alone_;
    }
    // The caller's part runs slower while the system holds it up, and so
    // would the caller alone: the span is judged by its fastest window's
    // guess.
    if (guess && (!span_guess_ || guess < span_guess_))
        span_guess_ = guess;
    const uint64_t reference = alone_reference(span_guess_);
    // A span ends early once it has lost more than the slack to the caller
    // alone, a trial of splitting again once it has lost a quarter of that,
    // and the trial's first window may lose nothing.
    const bool first_of_trial = probing_ && span_steps_ == steps;
    const bool judged = first_of_trial || span_ticks_ >= span_ticks;
    const auto excess = static_cast<int64_t>(span_ticks_) -
                        static_cast<int64_t>(reference * span_steps_);
    const auto slack = static_cast<int64_t>(probing_ ? slack_ticks / 4 : slack_ticks);
    const bool slower = cut_short || (reference && (clipped / steps >= reference ||
                                                    excess > (judged ? 0 : slack)));
    if (!slower && (!judged || first_of_trial))
        return false;
    if (probing_)
        probe_gap_ = slower ? std::min(2 * probe_gap_, probe_gap_most) : probe_gap_first;
    probing_ = false;
    alone_ = slower;
    windows_alone_ = 0;
    start_span();
    return alone_;
}

void SplitChoice::force(bool alone)
{
    *this = SplitChoice{};
    alone_ = alone;
}

} // namespace cwphymod
