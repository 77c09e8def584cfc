// The balance of a split step: every window of steps the parts are resized
// so that each takes as long as the others, and the window's time decides
// whether the next runs split or on the caller alone (SplitChoice). Neither
// choice changes a result.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "fast_split.h"

namespace cwphymod {

namespace {

// Steps between two moves of the parts' boundaries.
constexpr int32_t balance_window = 256;
// A spike of one step (the caller or a worker held up by the system) counts
// as this many times the last window's mean step at most.
constexpr uint64_t step_spike_limit = 4;
bool alternate_split = false;

// Sizes the parts so that each takes as long as the others, from what each
// chunk of each part cost in the window just run, moving halfway there at a
// time (a window's figures are noisy).
void resize_parts(MetalObjFast &f)
{
    const int32_t n = f.num_parts;
    double speed[max_parts], total_speed = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        const PartClock &c = f.clocks[k];
        if (!c.steps || !c.busy)
            return;
        speed[k] = static_cast<double>(f.balance.chunks[k]) * static_cast<double>(c.steps) /
                   static_cast<double>(c.busy + c.between);
        total_speed += speed[k];
    }
    for (int32_t k = 0; k < n; ++k) {
        const double target = f.num_chunks * speed[k] / total_speed;
        f.balance.chunks[k] = static_cast<int32_t>(std::lround((f.balance.chunks[k] + target) / 2));
    }
}

// The part that holds the node the caller last read between steps (the
// render loop reads the sampling node after every step): the caller steps
// that part itself, so that the node's new position is in its own cache.
int32_t watched_part(const MetalObjFast &f)
{
    const int32_t lane = f.watched_node;
    for (int32_t k = 0; k < f.num_parts; ++k)
        if (lane >= f.parts[k].lane_begin && lane < f.parts[k].lane_end)
            return k;
    return f.balance.caller_part;
}

// What one step alone would take at the most: the caller's part's time per
// chunk over the whole object (side by side the parts run a little slower
// than alone), 0 when nothing was measured.
uint64_t alone_estimate(const MetalObjFast &f)
{
    const int32_t k = f.balance.caller_part;
    const PartClock &c = f.clocks[k];
    if (!c.steps)
        return 0;
    return c.busy / c.steps * static_cast<uint64_t>(f.num_chunks) /
           static_cast<uint64_t>(f.balance.chunks[k]);
}

} // namespace

// The parts from their sizes in chunks, each one chunk at least; the last
// takes what the others leave.
void place_parts(MetalObjFast &f)
{
    const int32_t n = f.num_parts;
    Balance &b = f.balance;
    int32_t begin = 0;
    for (int32_t k = 0; k < n; ++k) {
        const int32_t rest = n - 1 - k;
        b.chunks[k] = k == n - 1 ? f.num_chunks - begin
                                 : std::clamp(b.chunks[k], 1, f.num_chunks - begin - rest);
        f.parts[k].lane_begin = begin * lanes_per_chunk;
        f.parts[k].lane_end = (begin + b.chunks[k]) * lanes_per_chunk;
        begin += b.chunks[k];
        f.clocks[k] = PartClock{};
    }
}

// Tunes a split step while the steps run; neither choice changes a result.
// Every balance_window steps the parts are resized to take equal times, and
// the window's time tells whether the steps go on split or on the caller
// alone (see SplitChoice), where a split window that runs at half the speed
// of the caller alone ends early.
void balance_parts(MetalObjFast &f, uint64_t ticks)
{
    Balance &b = f.balance;
    b.all_ticks += ticks;
    if (b.mean_step)
        ticks = std::min(ticks, step_spike_limit * b.mean_step);
    b.ticks += ticks;
    ++b.steps;
    const bool alone = b.choice.alone();
    const uint64_t guess = alone ? 0 : alone_estimate(f);
    const bool hopeless =
        !alone && b.choice.losing(static_cast<uint64_t>(b.steps), b.all_ticks, b.ticks, guess);
    // Alternating windows for tests are odd, so that split windows start
    // from either position buffer.
    const int32_t window = alternate_split ? 97 : balance_window;
    if (b.steps < window && !hopeless)
        return;
    b.mean_step = b.ticks / static_cast<uint64_t>(b.steps);
    // The wait for the workers to finish counts against the window.
    const uint64_t settle_start = __rdtsc();
    settle(f);
    b.all_ticks += __rdtsc() - settle_start;
    if (!b.choice.end_window(static_cast<uint64_t>(b.steps), b.all_ticks, b.ticks, guess,
                             hopeless) &&
        !alone)
        resize_parts(f);
    if (alternate_split)
        b.choice.force(!alone);
    // The parts' nodes go back to the object's arrays only when they move.
    bool moved = b.choice.alone();
    for (int32_t k = 0; k < f.num_parts; ++k)
        moved = moved || b.chunks[k] * lanes_per_chunk != f.parts[k].lane_end - f.parts[k].lane_begin;
    if (moved)
        gather(f);
    place_parts(f);
    b.caller_part = watched_part(f);
    b.ticks = 0;
    b.all_ticks = 0;
    b.steps = 0;
}

void set_alternate_split_for_testing(bool alternate)
{
    alternate_split = alternate;
}

} // namespace cwphymod
