// Steps struck objects of every shape and prints their final state in hex, so
// two builds (different optimisation levels) can be compared bit for bit:
// once with the reference step and once with the fast stepper on every path
// the processor runs. Exits with 1 when a fast path leaves other bits than the
// reference.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "cw_metal_obj.h"
#include "cw_metal_obj_fast.h"
#include "fast_step.h"

namespace {

void print_bits(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    std::printf("%016" PRIx64 "\n", bits);
}

using cwphymod::FastPath;

int mismatches = 0;

// path automatic: the reference step on the records.
void trace(const char *name, MetalObj *(*make)(), int struck, int steps, double dt, double damp,
           FastPath path)
{
    MetalObj *obj = make();
    std::printf("%s %d\n", name, static_cast<int>(path));
    obj->nodes[struck]->x += 1.0;
    obj->nodes[struck]->z += 0.5;
    if (path == FastPath::automatic) {
        for (int i = 0; i < steps; ++i)
            cw_metal_obj_perturb(obj, dt, damp);
    } else {
        cwphymod::set_fast_path_for_testing(path);
        MetalObjFast *fast = cw_metal_obj_fast_new(obj);
        cwphymod::set_fast_path_for_testing(FastPath::automatic);
        for (int i = 0; i < steps; ++i)
            cw_metal_obj_fast_perturb(fast, dt, damp);
        cw_metal_obj_fast_store(fast, obj);
        cw_metal_obj_fast_free(fast);
        // The same object stepped by the reference, for the comparison.
        MetalObj *ref = make();
        ref->nodes[struck]->x += 1.0;
        ref->nodes[struck]->z += 0.5;
        for (int i = 0; i < steps; ++i)
            cw_metal_obj_perturb(ref, dt, damp);
        for (int i = 0; i < obj->num_nodes; ++i) {
            const MetalObjNode *a = obj->nodes[i];
            const MetalObjNode *b = ref->nodes[i];
            if (std::memcmp(&a->x, &b->x, 6 * sizeof(double)) != 0) {
                std::fprintf(stderr, "%s: path %d differs at node %d\n", name,
                             static_cast<int>(path), i);
                ++mismatches;
                break;
            }
        }
        cw_metal_obj_free(ref);
    }
    for (int i = 0; i < obj->num_nodes; ++i) {
        const MetalObjNode *n = obj->nodes[i];
        for (double v : {n->x, n->y, n->z, n->vx, n->vy, n->vz})
            print_bits(v);
    }
    cw_metal_obj_free(obj);
}

MetalObj *rod() { return cw_metal_obj_new_rod(17, 3.1); }
MetalObj *tube() { return cw_metal_obj_new_tube(10, 5, 4.0); }
MetalObj *tube_large() { return cw_metal_obj_new_tube(12, 17, 0.7); }
MetalObj *plane() { return cw_metal_obj_new_plane(7, 9, 4.0); }
MetalObj *plane_odd() { return cw_metal_obj_new_plane(11, 13, 1.3); }

} // namespace

int main()
{
    constexpr int steps = 5000;
    for (FastPath path : {FastPath::automatic, FastPath::scalar, FastPath::sse2, FastPath::avx2,
                          FastPath::avx512}) {
        if (path != FastPath::automatic && !cwphymod::fast_path_supported(path))
            continue;
        trace("rod", rod, 5, steps, 0.2, 0.9997, path);
        trace("tube", tube, 7, steps, 0.2, 0.9997, path);
        trace("tube-large", tube_large, 30, steps, 0.37, 0.9999, path);
        trace("plane", plane, 10, steps, 0.2, 0.9997, path);
        trace("plane-odd", plane_odd, 40, steps, 0.45, 0.99, path);
    }
    return mismatches ? 1 : 0;
}
