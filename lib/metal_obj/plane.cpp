// The plane: a grid in the y-z plane with row, column and diagonal springs;
// only the four corners are anchored.
#include "cw_metal_obj.h"

#include <cstdint>

extern "C" MetalObj *cw_metal_obj_new_plane(int32_t length, int32_t width, double spacing)
{
    // The neighbour counts below assume at least two rows and two columns.
    if (length < 2 || width < 2 || length > INT32_MAX / width)
        return nullptr;
    const int32_t a = length, w = width;
    MetalObj *obj = cw_metal_obj_new(a * w);
    if (!obj)
        return nullptr;

    for (int32_t r = 0; r < a; ++r) {
        const bool edge_row = r == 0 || r == a - 1;
        for (int32_t c = 0; c < w; ++c) {
            const bool edge_col = c == 0 || c == w - 1;
            // Exactly the number of grid neighbours of the node.
            const int32_t slots = edge_row ? (edge_col ? 3 : 5) : (edge_col ? 5 : 8);
            MetalObjNode *node = cw_metal_obj_node_new(slots);
            if (!node) {
                cw_metal_obj_free(obj);
                return nullptr;
            }
            obj->nodes[r * w + c] = node;
            node->y = static_cast<double>(c);
            node->z = static_cast<double>(r) * spacing;
        }
    }

    MetalObjNode **nodes = obj->nodes;
    nodes[0]->fixed = 1;
    nodes[w - 1]->fixed = 1;
    nodes[a * w - w]->fixed = 1;
    nodes[a * w - 1]->fixed = 1;

    // Up-left, up, up-right, left, right, down-left, down, down-right.
    for (int32_t r = 0; r < a; ++r) {
        for (int32_t c = 0; c < w; ++c) {
            MetalObjNode *node = nodes[r * w + c];
            int32_t slot = 0;
            for (int32_t dr = -1; dr <= 1; ++dr) {
                for (int32_t dc = -1; dc <= 1; ++dc) {
                    if (dr == 0 && dc == 0)
                        continue;
                    const int32_t rr = r + dr, cc = c + dc;
                    if (rr < 0 || rr >= a || cc < 0 || cc >= w)
                        continue;
                    node->neighbours[slot++] = nodes[rr * w + cc];
                }
            }
        }
    }
    return obj;
}
