// The scalar path: every spring's term once, into arrays indexed by spring,
// then each movable node's sum over its slots' springs.
#include "fast_scalar.h"

namespace cwphymod {

void scalar_step(MetalObjFast &f, double dt, double damp)
{
    // Every term from the positions before the step, then the nodes in place.
    double *const x = f.pos[0];
    double *const y = x + f.pos_stride;
    double *const z = y + f.pos_stride;
    for (int32_t s = 0; s < f.num_springs; ++s)
        scalar_term(x, f.pos_stride, f.springs[s].a, f.springs[s].b, &f.sx[s], &f.sy[s],
                    &f.sz[s]);
    for (int32_t m = 0; m < f.num_movers; ++m) {
        const int32_t i = f.movers[m];
        double fx = 0.0, fy = 0.0, fz = 0.0;
        for (int32_t slot = f.mover_slots[m]; slot < f.mover_slots[m + 1]; ++slot) {
            const int32_t s = f.slot_spring[slot];
            if (f.slot_subtract[slot]) {
                fx = fx - f.sx[s];
                fy = fy - f.sy[s];
                fz = fz - f.sz[s];
            } else {
                fx = fx + f.sx[s];
                fy = fy + f.sy[s];
                fz = fz + f.sz[s];
            }
        }
        f.vx[i] = (fx * dt + f.vx[i]) * damp;
        f.vy[i] = (fy * dt + f.vy[i]) * damp;
        f.vz[i] = (fz * dt + f.vz[i]) * damp;
        x[i] = f.vx[i] * dt + x[i];
        y[i] = f.vy[i] * dt + y[i];
        z[i] = f.vz[i] * dt + z[i];
    }
}

} // namespace cwphymod
