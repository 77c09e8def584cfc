// The parts of a split step: made when the steps are split, joined when they
// are not; each worker of the pool runs one part of every step, and the
// parts' nodes move between their own arrays and the object's.
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "fast_kernels.h"
#include "fast_split.h"
#include "step_pool.h"

namespace cwphymod {

namespace {

// Springs each thread must have for a split step to be faster than one
// thread: below it the two hand-overs between cores per step cost more than
// the thread saves (measured with engine_bench's BM_Threads).
constexpr int64_t default_min_springs_per_thread = 700;
int64_t min_springs_per_thread = default_min_springs_per_thread;

// Thread t (0: the caller) steps the part t places after the caller's.
void run_part(void *context, int32_t thread, const StepOrder &order,
              uint32_t generation)
{
    const MetalObjFast &f = *static_cast<const MetalObjFast *>(context);
    const int32_t k = (thread + order.caller_part) % f.num_parts;
    const Beside beside{&f, k, order.caller_part, generation, order.current, 0};
    const uint64_t start = __rdtsc();
    sweep_part(f, f.parts[k], order.current, order.dt, order.damp, &beside);
    PartClock &clock = f.clocks[k];
    const uint64_t end = __rdtsc();
    clock.busy += end - start - beside.waited;
    ++clock.steps;
    if (thread == 0) {
        // Time between steps counts against the caller's part, up to a
        // quarter of a step (a longer pause is not the render loop's).
        if (clock.last_end && f.balance.mean_step)
            clock.between += std::min(start - clock.last_end, f.balance.mean_step / 4);
        clock.last_end = end;
    }
}

// Copies the current positions and the velocities of each part that has
// arrays of its own between those and the object's arrays (which keep the
// first part's nodes, and the mesh's layout, in either case); the workers
// are idle.
void move_nodes(MetalObjFast &f, bool to_parts)
{
    for (int32_t k = 0; k < f.num_parts; ++k) {
        Part &part = f.parts[k];
        if (!part.own_vel)
            continue;
        const std::size_t n = static_cast<std::size_t>(part.lane_end - part.lane_begin);
        double *const pos[2] = {f.pos[f.current], part.own_pos[f.current]};
        double *const vel[2] = {f.vx, part.own_vel};
        for (int32_t axis = 0; axis < 3; ++axis) {
            const std::ptrdiff_t p = axis * f.pos_stride + part.lane_begin;
            const std::ptrdiff_t v = axis * f.vel_stride + part.lane_begin;
            std::memcpy(pos[to_parts] + p, pos[!to_parts] + p, n * sizeof(double));
            std::memcpy(vel[to_parts] + v, vel[!to_parts] + v, n * sizeof(double));
        }
    }
}

} // namespace

void settle(const MetalObjFast &f)
{
    if (f.pool)
        step_pool_sync(f.pool);
}

void scatter(MetalObjFast &f)
{
    if (f.scattered)
        return;
    move_nodes(f, true);
    f.scattered = true;
}

void gather(MetalObjFast &f)
{
    settle(f);
    if (!f.scattered)
        return;
    move_nodes(f, false);
    f.scattered = false;
}

void join_parts(MetalObjFast &f)
{
    gather(f);
    step_pool_free(f.pool);
    f.pool = nullptr;
    std::free(f.parts_block);
    f.parts_block = nullptr;
    f.parts = f.whole;
    f.num_parts = 1;
    f.balance = Balance{};
}

int32_t split(MetalObjFast &f, int32_t threads)
{
    join_parts(f);
    if (f.path == FastPath::scalar || threads <= 1)
        return 1;
    int32_t n = std::min({threads, max_parts, f.num_chunks});
    if (min_springs_per_thread > 0)
        n = static_cast<int32_t>(std::min<int64_t>(n, f.num_evaluated / min_springs_per_thread));
    if (n <= 1)
        return 1;
    // The parts, and the term arrays of every part but the first, which
    // writes the object's own; with the kernels that keep their terms in
    // registers, also positions and velocities of their own, on pages of
    // their own (two cores writing the halves of the same arrays step
    // a quarter slower than in arrays of their own, even where no cache
    // line is shared).
    Layout sizing(nullptr);
    sizing.take<Part>(static_cast<std::size_t>(n));
    sizing.take<PartClock>(static_cast<std::size_t>(n));
    Part scratch{};
    for (int32_t k = 1; k < n; ++k) {
        carve_terms(sizing, f, scratch);
        if (f.kernel != Kernel::generic)
            carve_storage(sizing, f, scratch);
    }
    const std::size_t bytes = sizing.used() + page_size;
    void *block = allocate(bytes);
    if (!block)
        return 1;
    std::memset(block, 0, bytes);
    const auto aligned = (reinterpret_cast<std::uintptr_t>(block) + page_size - 1) &
                         ~std::uintptr_t{page_size - 1};
    Layout lay(reinterpret_cast<char *>(aligned));
    Part *parts = lay.take<Part>(static_cast<std::size_t>(n));
    f.clocks = lay.take<PartClock>(static_cast<std::size_t>(n));
    for (int32_t k = 0; k < n; ++k) {
        Part &part = parts[k];
        if (k == 0) {
            part = *f.whole;
        } else {
            carve_terms(lay, f, part);
            if (f.kernel != Kernel::generic)
                carve_storage(lay, f, part);
        }
        part.subtract_bits = 0;
        fill_labels(f, part);
    }
    f.parts_block = block;
    f.parts = parts;
    f.num_parts = n;
    f.balance = Balance{};
    for (int32_t k = 0; k < n; ++k)
        f.balance.chunks[k] = f.num_chunks * (k + 1) / n - f.num_chunks * k / n;
    place_parts(f);
    f.pool = step_pool_new(n - 1, run_part, &f);
    if (!f.pool) {
        join_parts(f);
        return 1;
    }
    return n;
}

const double *node_positions(const MetalObjFast &f, int32_t node)
{
    if (f.scattered)
        for (int32_t k = 0; k < f.num_parts; ++k) {
            const Part &part = f.parts[k];
            if (node >= part.lane_begin && node < part.lane_end)
                return part_positions(f, part, f.current);
        }
    return f.pos[f.current];
}

const double *node_velocities(const MetalObjFast &f, int32_t node)
{
    if (f.scattered)
        for (int32_t k = 0; k < f.num_parts; ++k) {
            const Part &part = f.parts[k];
            if (node >= part.lane_begin && node < part.lane_end && part.own_vel)
                return part.own_vel;
        }
    return f.vx;
}

void set_min_springs_per_thread_for_testing(int64_t springs)
{
    min_springs_per_thread = springs < 0 ? default_min_springs_per_thread : springs;
}

} // namespace cwphymod
