// The fast stepper's C entry points (cw_metal_obj_fast.h), and the internal
// questions tests and benchmarks ask of a compiled object (fast_step.h).
#include "cw_metal_obj_fast.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fast_kernels.h"
#include "fast_object.h"
#include "fast_scalar.h"
#include "fast_split.h"
#include "step_pool.h"

namespace cwphymod {

FastPath fast_path_of(const MetalObjFast *fast)
{
    return fast->path;
}

int64_t fast_spring_count(const MetalObjFast *fast)
{
    return fast->num_evaluated;
}

} // namespace cwphymod

using cwphymod::FastPath;

namespace {

// The current positions of coordinate `axis`, of an object whose nodes are in
// its own arrays.
double *coordinate_array(const MetalObjFast *f, int32_t axis)
{
    return f->pos[f->current] + axis * f->pos_stride;
}

} // namespace

extern "C" {

MetalObjFast *cw_metal_obj_fast_new(const MetalObj *obj)
{
    return cwphymod::compile(obj);
}

void cw_metal_obj_fast_free(MetalObjFast *fast)
{
    if (!fast)
        return;
    cwphymod::join_parts(*fast);
    std::free(fast->block);
    std::free(fast);
}

void cw_metal_obj_fast_perturb(MetalObjFast *fast, double dt, double damp)
{
    if (fast->path == FastPath::scalar) {
        cwphymod::scalar_step(*fast, dt, damp);
        return;
    }
    if (!fast->pool) {
        cwphymod::sweep_part(*fast, *fast->whole, fast->current, dt, damp, nullptr, true);
        return;
    }
    uint64_t ticks;
    if (fast->balance.choice.alone()) {
        // As on one thread: the whole object, in place.
        cwphymod::gather(*fast);
        const uint64_t start = __rdtsc();
        cwphymod::sweep_part(*fast, *fast->whole, fast->current, dt, damp, nullptr, true);
        ticks = __rdtsc() - start;
    } else {
        // The workers go on with their parts after the caller returns.
        cwphymod::scatter(*fast);
        ticks = cwphymod::step_pool_run(
            fast->pool, cwphymod::StepOrder{dt, damp, fast->current, fast->balance.caller_part});
        fast->current = 1 - fast->current;
    }
    cwphymod::balance_parts(*fast, ticks);
}

int32_t cw_metal_obj_fast_set_threads(MetalObjFast *fast, int32_t threads)
{
    return cwphymod::split(*fast, threads);
}

int32_t cw_metal_obj_fast_num_nodes(const MetalObjFast *fast)
{
    return fast->num_nodes;
}

double cw_metal_obj_fast_get(const MetalObjFast *fast, int32_t node, int32_t axis)
{
    // The caller's own part is complete; any other may still be stepping.
    // (The scalar list has no parts, and no workers.)
    if (fast->pool) {
        const cwphymod::Part &own = fast->parts[fast->balance.caller_part];
        if (node < own.lane_begin || node >= own.lane_end)
            cwphymod::settle(*fast);
    }
    fast->watched_node = node;
    return cwphymod::node_positions(*fast, node)[axis * fast->pos_stride + node];
}

void cw_metal_obj_fast_set(MetalObjFast *fast, int32_t node, int32_t axis, double value)
{
    cwphymod::gather(*fast);
    coordinate_array(fast, axis)[node] = value;
}

void cw_metal_obj_fast_store(const MetalObjFast *fast, MetalObj *obj)
{
    cwphymod::settle(*fast);
    const std::ptrdiff_t ps = fast->pos_stride, vs = fast->vel_stride;
    for (int32_t i = 0; i < fast->num_nodes; ++i) {
        MetalObjNode *node = obj->nodes[i];
        const double *const p = cwphymod::node_positions(*fast, i) + i;
        const double *const v = cwphymod::node_velocities(*fast, i) + i;
        node->x = p[0];
        node->y = p[ps];
        node->z = p[2 * ps];
        node->vx = v[0];
        node->vy = v[vs];
        node->vz = v[2 * vs];
    }
}

} // extern "C"
