// The tube: rings of nodes stacked along z, first and last ring anchored.
#include "cw_metal_obj.h"

#include <cmath>
#include <cstdint>

namespace {
constexpr double pi = 3.14159265358979323846;
}

extern "C" MetalObj *cw_metal_obj_new_tube(int32_t height, int32_t circumference,
                                           double spacing)
{
    // The wiring needs a second ring and a second node per ring.
    if (height < 2 || circumference < 2 || height > INT32_MAX / circumference)
        return nullptr;
    const int32_t h = height, n = circumference;
    MetalObj *obj = cw_metal_obj_new(h * n);
    if (!obj)
        return nullptr;

    // Half the interior angle of a regular n-gon: R = 0.5 / sin(pi / n) is the
    // circumradius of an n-gon with sides of length 1, so ring springs start
    // at rest length and only the axial springs carry the tension.
    const double radius =
        0.5 / std::cos(((static_cast<double>(n - 2) * pi) / static_cast<double>(n)) * 0.5);

    for (int32_t i = 0; i < h; ++i) {
        const bool end_ring = i == 0 || i == h - 1;
        for (int32_t k = 0; k < n; ++k) {
            MetalObjNode *node = cw_metal_obj_node_new(end_ring ? 3 : 4);
            if (!node) {
                cw_metal_obj_free(obj);
                return nullptr;
            }
            obj->nodes[i * n + k] = node;
            const double kd = static_cast<double>(k);
            const double theta = (kd + kd) * pi / static_cast<double>(n);
            node->x = std::cos(theta) * radius;
            node->y = std::sin(theta) * radius;
            node->z = static_cast<double>(i) * spacing;
            node->fixed = end_ring ? 1 : 0;
        }
    }

    MetalObjNode **nodes = obj->nodes;
    for (int32_t i = 0; i < h; ++i) {
        for (int32_t k = 0; k < n; ++k) {
            MetalObjNode *node = nodes[i * n + k];
            node->neighbours[0] = nodes[k == 0 ? i * n + n - 1 : i * n + k - 1];
            node->neighbours[1] = nodes[k == n - 1 ? i * n : i * n + k + 1];
            if (i == 0) {
                node->neighbours[2] = nodes[(i + 1) * n + k];
            } else if (i == h - 1) {
                node->neighbours[2] = nodes[(i - 1) * n + k];
            } else {
                node->neighbours[2] = nodes[(i + 1) * n + k];
                node->neighbours[3] = nodes[(i - 1) * n + k];
            }
        }
    }
    return obj;
}
