// The vector sweeps of the fast stepper and the run-time choice of an
// instruction set. Internal.
#pragma once

#include <cstdint>

#include "fast_object.h"
#include "fast_split.h"

namespace cwphymod {

// The widest vector path this processor runs (SSE2 at the least).
FastPath best_vector_path();

// Steps `part` of the object from pos[current] into the other buffer, or
// into the same one when `in_place` (the whole object on one thread), on the
// instruction set the object was compiled for. `beside` (null when no other
// part runs) lets the sweep wait for, and hand positions to, the parts beside
// it (fast_split.h).
void sweep_part(const MetalObjFast &f, const Part &part, int32_t current, double dt,
                double damp, const Beside *beside = nullptr, bool in_place = false);

} // namespace cwphymod
