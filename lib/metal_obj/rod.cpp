// The rod: a chain of nodes along z, both ends anchored.
#include "cw_metal_obj.h"

extern "C" MetalObj *cw_metal_obj_new_rod(int32_t length, double spacing)
{
    // The wiring needs a second node; smaller rods are refused.
    if (length < 2)
        return nullptr;
    MetalObj *obj = cw_metal_obj_new(length);
    if (!obj)
        return nullptr;
    for (int32_t i = 0; i < length; ++i) {
        const bool end = i == 0 || i == length - 1;
        MetalObjNode *n = cw_metal_obj_node_new(end ? 1 : 2);
        if (!n) {
            cw_metal_obj_free(obj);
            return nullptr;
        }
        obj->nodes[i] = n;
        n->z = static_cast<double>(i) * spacing;
    }
    MetalObjNode **nodes = obj->nodes;
    nodes[0]->fixed = 1;
    nodes[0]->neighbours[0] = nodes[1];
    for (int32_t i = 1; i < length - 1; ++i) {
        nodes[i]->neighbours[0] = nodes[i - 1];
        nodes[i]->neighbours[1] = nodes[i + 1];
    }
    nodes[length - 1]->fixed = 1;
    nodes[length - 1]->neighbours[0] = nodes[length - 2];
    return obj;
}
