// The scalar path of the fast stepper: a list of springs, one by one, for
// any mesh the vector paths cannot serve. Internal.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fast_object.h"

namespace cwphymod {

// The term of the lower node a of the spring from a to b, from the positions
// x (y and z at `stride` after it). Inlined everywhere, so that the vector
// sweeps' sparse springs and the scalar list compute it alike.
[[gnu::always_inline]] inline void scalar_term(const double *x, std::ptrdiff_t stride, int32_t a,
                                               int32_t b, double *tx, double *ty, double *tz)
{
    const double *const y = x + stride;
    const double *const z = y + stride;
    const double dx = x[a] - x[b];
    const double dy = y[a] - y[b];
    const double dz = z[a] - z[b];
    const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
    const double k = 1.0 - len;
    *tx = dx * k;
    *ty = dy * k;
    *tz = dz * k;
}

// One step of an object compiled for the scalar path, in place.
void scalar_step(MetalObjFast &f, double dt, double damp);

} // namespace cwphymod
