// Steps struck objects of every shape and prints their final state in hex, so
// two builds (different optimisation levels) can be compared bit for bit.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "cw_metal_obj.h"

namespace {

void print_bits(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    std::printf("%016" PRIx64 "\n", bits);
}

void trace(const char *name, MetalObj *obj, int struck, int steps, double dt, double damp)
{
    std::printf("%s\n", name);
    obj->nodes[struck]->x += 1.0;
    obj->nodes[struck]->z += 0.5;
    for (int i = 0; i < steps; ++i)
        cw_metal_obj_perturb(obj, dt, damp);
    for (int i = 0; i < obj->num_nodes; ++i) {
        const MetalObjNode *n = obj->nodes[i];
        for (double v : {n->x, n->y, n->z, n->vx, n->vy, n->vz})
            print_bits(v);
    }
    cw_metal_obj_free(obj);
}

} // namespace

int main()
{
    constexpr int steps = 5000;
    trace("rod", cw_metal_obj_new_rod(17, 3.1), 5, steps, 0.2, 0.9997);
    trace("tube", cw_metal_obj_new_tube(10, 5, 4.0), 7, steps, 0.2, 0.9997);
    trace("tube-large", cw_metal_obj_new_tube(12, 17, 0.7), 30, steps, 0.37, 0.9999);
    trace("plane", cw_metal_obj_new_plane(7, 9, 4.0), 10, steps, 0.2, 0.9997);
    trace("plane-odd", cw_metal_obj_new_plane(11, 13, 1.3), 40, steps, 0.45, 0.99);
    return 0;
}
