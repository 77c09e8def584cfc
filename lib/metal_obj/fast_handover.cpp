// The hand-overs between neighbouring parts of a split step: a part waits for
// the parts beside it only where it reads or overwrites positions they
// wrote or read in the step before, copies those positions into its own
// arrays, and fetches the cache lines it will need before it needs them, so
// that no hand-over between cores lies on the path of a step.
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fast_split.h"
#include "step_pool.h"

namespace cwphymod {

namespace {

// Calls fn(other part, lo, hi) for each part beside `beside`'s below (or
// above) that owns lanes [lo, hi) within `front` lanes of its end.
template <class Fn> void each_beside(const Beside &beside, bool above, Fn fn)
{
    const MetalObjFast &f = *beside.f;
    const Part &me = f.parts[beside.part];
    const int32_t from_lane = above ? me.lane_end : std::max(0, me.lane_begin - f.front);
    const int32_t to_lane = above ? me.lane_end + f.front : me.lane_begin;
    for (int32_t k = above ? beside.part + 1 : beside.part - 1; k >= 0 && k < f.num_parts;
         k += above ? 1 : -1) {
        const Part &other = f.parts[k];
        const int32_t lo = std::max(from_lane, other.lane_begin);
        const int32_t hi = std::min(to_lane, other.lane_end);
        if (lo >= hi)
            break;
        fn(other, lo, hi);
    }
}

// Fetches the cache lines of positions [lo, hi) of each coordinate.
void fetch_positions(const MetalObjFast &f, const double *from, int32_t lo, int32_t hi)
{
    constexpr int32_t lanes_per_line = 64 / sizeof(double);
    for (int32_t axis = 0; axis < 3; ++axis)
        for (int32_t lane = lo; lane < hi; lane += lanes_per_line)
            _mm_prefetch(reinterpret_cast<const char *>(from + axis * f.pos_stride + lane),
                         _MM_HINT_T0);
}

} // namespace

// A part reads the positions within `front` lanes of its ends, which the
// parts there wrote in the step before, and overwrites positions they read
// in that step: it waits for every such part to have finished it, or with
// `marks`, for the parts above to have marked it (see mark_bottom). The
// parts stay where they are from one sync of the pool to the next.
void wait_beside(const Beside &beside, bool above, bool marks)
{
    const MetalObjFast &f = *beside.f;
    const Part &me = f.parts[beside.part];
    const int32_t from = above ? me.lane_end : me.lane_begin - f.front;
    const int32_t to = above ? me.lane_end + f.front : me.lane_begin;
    for (int32_t k = above ? beside.part + 1 : beside.part - 1; k >= 0 && k < f.num_parts;
         k += above ? 1 : -1) {
        const Part &other = f.parts[k];
        if (other.lane_end <= from || other.lane_begin >= to)
            break;
        const int32_t thread = thread_of(beside, k);
        // The caller finished its part of the step before it ordered this
        // one, which this worker has seen: nothing to wait for, and no cache
        // line to fetch from the caller's core to learn it.
        if (thread == 0)
            continue;
        if (step_pool_reached(f.pool, thread, beside.generation - 1, marks))
            continue;
        const uint64_t start = __rdtsc();
        if (marks)
            step_pool_wait_mark(f.pool, thread, beside.generation - 1);
        else
            step_pool_wait(f.pool, thread, beside.generation - 1);
        beside.waited += __rdtsc() - start;
    }
}

// Copies into a part's input buffer the positions within `front` lanes of
// its ends (below, or above) from the parts that own them; the caller has
// waited for those parts to finish the step before.
void copy_beside(const Beside &beside, bool above)
{
    const MetalObjFast &f = *beside.f;
    double *const to = part_positions(f, f.parts[beside.part], beside.current);
    each_beside(beside, above, [&](const Part &other, int32_t lo, int32_t hi) {
        const double *const from = part_positions(f, other, beside.current);
        if (from == to)
            return;
        for (int32_t axis = 0; axis < 3; ++axis) {
            const std::ptrdiff_t at = axis * f.pos_stride + lo;
            std::memcpy(to + at, from + at, static_cast<std::size_t>(hi - lo) * sizeof(double));
        }
    });
}

// The positions within `front` lanes of a part's ends that the parts
// beside it copied in the step before are in the buffer it writes now:
// fetching those cache lines for writing at the start of the step, instead
// of when its vectors there are written, takes the hand-over between cores
// off the end of its step.
void claim_edges(const Beside &beside, double *out)
{
    const MetalObjFast &f = *beside.f;
    const Part &me = f.parts[beside.part];
    constexpr int32_t lanes_per_line = 64 / sizeof(double);
    for (const bool above : {false, true}) {
        const int32_t k = above ? beside.part + 1 : beside.part - 1;
        if (k < 0 || k >= f.num_parts)
            continue;
        const int32_t from = above ? std::max(me.lane_begin, me.lane_end - f.front) : me.lane_begin;
        const int32_t to = above ? me.lane_end : std::min(me.lane_end, me.lane_begin + f.front);
        for (int32_t axis = 0; axis < 3; ++axis)
            for (int32_t lane = from; lane < to; lane += lanes_per_line)
                __asm__ volatile("prefetchw %0" ::"m"(out[axis * f.pos_stride + lane]));
    }
}

// Half way through its step a part fetches the positions it will copy from
// the parts above it (see copy_beside), which they marked early in the step
// before, and with `below`, from the parts below it.
void fetch_beside(const Beside &beside, bool below)
{
    const MetalObjFast &f = *beside.f;
    for (const bool above : {false, true}) {
        if (!above && !below)
            continue;
        each_beside(beside, above, [&](const Part &other, int32_t lo, int32_t hi) {
            fetch_positions(f, part_positions(f, other, beside.current), lo, hi);
            // And the line the part's thread marks or finishes its step on,
            // which this part reads before it copies.
            const int32_t thread = thread_of(beside, static_cast<int32_t>(&other - f.parts));
            if (thread != 0)
                step_pool_fetch_progress(f.pool, thread, above);
        });
    }
}

// At the end of a worker's part of a step: the part below, which the caller
// ran ahead, has nearly always finished the step by now, so the positions
// this part copies from it at the start of the next step, and that step's
// order, are fetched while nothing waits for them.
void fetch_next(const Beside &beside)
{
    const MetalObjFast &f = *beside.f;
    each_beside(beside, false, [&](const Part &other, int32_t lo, int32_t hi) {
        fetch_positions(f, part_positions(f, other, 1 - beside.current), lo, hi);
    });
    step_pool_fetch_order(f.pool, beside.generation + 1);
}

} // namespace cwphymod
