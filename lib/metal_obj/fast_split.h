// A step of the fast stepper split across threads. Internal.
//
// A split step goes from one position buffer into the other, so a node's
// new position never reaches a term of the same step, whoever computes it.
// (One thread steps the whole object in place: its terms run ahead of its
// node updates, so every term still reads positions from before the step,
// and one stream of positions fewer passes through the caches.) That lets a
// step be split into runs of chunks ("parts"), one per thread:
// each part computes every term its nodes read, including those of the
// springs that reach into it from the part before, into term arrays of its
// own, and each node still adds its terms in its slot order, so the bits do
// not depend on the split. For the builders' meshes every part but the
// first also steps in position and velocity arrays of its own, and copies
// the positions within reach of its ends from the parts beside it. The
// worker threads belong to the compiled object (step_pool.h); the calling
// thread steps a part itself and tunes the split while it runs.
//
// fast_split.cpp makes and joins the parts, fast_handover.cpp passes
// positions between neighbouring parts within a step, fast_balance.cpp sizes
// the parts and chooses between split steps and the caller alone.
#pragma once

#include <cstdint>

#include "fast_object.h"
#include "step_pool.h"

namespace cwphymod {

// A part of a split step, as it runs on its thread: what it needs to wait
// for the parts beside it.
struct Beside {
    const MetalObjFast *f;
    int32_t part;
    int32_t caller_part;
    uint32_t generation;
    int32_t current; // the step's input buffer
    mutable uint64_t waited; // ticks
};

// The pool's thread that steps part k (0: the caller).
inline int32_t thread_of(const Beside &beside, int32_t k)
{
    const int32_t n = beside.f->num_parts;
    return (k - beside.caller_part + n) % n;
}

// Tells the part below that this part's bottom `front` lanes of the step are
// written, and the positions it copies from below are copied: the part
// below needs no more of this step (wait_beside with marks).
inline void mark_bottom(const Beside &beside)
{
    const MetalObjFast &f = *beside.f;
    const int32_t thread = thread_of(beside, beside.part);
    step_pool_mark(f.pool, thread, beside.generation);
}

// Where part k's positions of buffer b are while its part of a split step
// runs.
inline double *part_positions(const MetalObjFast &f, const Part &part, int32_t b)
{
    return part.own_vel ? part.own_pos[b] : f.pos[b];
}

// The hand-overs between the parts beside each other (fast_handover.cpp),
// called from within the sweeps.
void wait_beside(const Beside &beside, bool above, bool marks = false);
void copy_beside(const Beside &beside, bool above);
void claim_edges(const Beside &beside, double *out);
void fetch_beside(const Beside &beside, bool below);
void fetch_next(const Beside &beside);

// Splits the steps of `f` across `threads` threads (cw_metal_obj_fast_set_threads).
int32_t split(MetalObjFast &f, int32_t threads);

// Back to one part on the calling thread; no worker is left.
void join_parts(MetalObjFast &f);

// Lets every worker finish the steps it is on: then every position and
// velocity is the last step's, and the parts can move.
void settle(const MetalObjFast &f);

// Each part of a split step with arrays of its own starts with its nodes
// there.
void scatter(MetalObjFast &f);

// Lets every worker finish, and brings the parts' nodes back into the
// object's arrays.
void gather(MetalObjFast &f);

// The current positions array that holds `node` (a settled object's, or its
// part's while the parts hold their own).
const double *node_positions(const MetalObjFast &f, int32_t node);

// The same for velocities.
const double *node_velocities(const MetalObjFast &f, int32_t node);

// The parts from their sizes in chunks (fast_balance.cpp).
void place_parts(MetalObjFast &f);

// Accounts a split object's step of `ticks`, and between windows of steps
// resizes the parts and chooses how the next window runs (fast_balance.cpp).
void balance_parts(MetalObjFast &f, uint64_t ticks);

} // namespace cwphymod
