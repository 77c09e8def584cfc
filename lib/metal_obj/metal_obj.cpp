// Records, their allocation and release, and the reference integration step.
#include "cw_metal_obj.h"

#include <cmath>
#include <cstdlib>

#include "alloc.h"

extern "C" {

MetalObjNode *cw_metal_obj_node_new(int32_t num_neighbours)
{
    if (num_neighbours < 0)
        return nullptr;
    // One node is one allocation: the neighbour slots trail the record.
    const std::size_t slots = static_cast<std::size_t>(num_neighbours);
    auto *node = static_cast<MetalObjNode *>(
        cwphymod::allocate(sizeof(MetalObjNode) + slots * sizeof(MetalObjNode *)));
    if (!node)
        return nullptr;
    node->fixed = 0;
    node->x = node->y = node->z = 0.0;
    node->vx = node->vy = node->vz = 0.0;
    node->num_neighbours = num_neighbours;
    node->neighbours = reinterpret_cast<MetalObjNode **>(node + 1);
    for (std::size_t i = 0; i < slots; ++i)
        node->neighbours[i] = nullptr;
    return node;
}

void cw_metal_obj_node_free(MetalObjNode *node)
{
    std::free(node);
}

MetalObj *cw_metal_obj_new(int32_t num_nodes)
{
    if (num_nodes < 0)
        return nullptr;
    const std::size_t slots = static_cast<std::size_t>(num_nodes);
    auto *obj = static_cast<MetalObj *>(
        cwphymod::allocate(sizeof(MetalObj) + slots * sizeof(MetalObjNode *)));
    if (!obj)
        return nullptr;
    obj->num_nodes = num_nodes;
    obj->nodes = reinterpret_cast<MetalObjNode **>(obj + 1);
    for (std::size_t i = 0; i < slots; ++i)
        obj->nodes[i] = nullptr;
    return obj;
}

void cw_metal_obj_free(MetalObj *obj)
{
    if (!obj)
        return;
    for (int32_t i = 0; i < obj->num_nodes; ++i)
        cw_metal_obj_node_free(obj->nodes[i]);
    std::free(obj);
}

void cw_metal_obj_perturb(MetalObj *obj, double dt, double damp)
{
    // Pass 1 reads only positions and writes only velocities, so every force
    // of the step comes from the positions before it.
    for (int32_t i = 0; i < obj->num_nodes; ++i) {
        MetalObjNode *n = obj->nodes[i];
        if (n->fixed)
            continue;
        double fx = 0.0, fy = 0.0, fz = 0.0;
        for (int32_t s = 0; s < n->num_neighbours; ++s) {
            const MetalObjNode *q = n->neighbours[s];
            const double dx = n->x - q->x;
            const double dy = n->y - q->y;
            const double dz = n->z - q->z;
            const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
            // Unnormalised difference: magnitude L * |1 - L|, zero at L = 0 and L = 1.
            const double k = 1.0 - len;
            fx = fx + dx * k;
            fy = fy + dy * k;
            fz = fz + dz * k;
        }
        n->vx = (fx * dt + n->vx) * damp;
        n->vy = (fy * dt + n->vy) * damp;
        n->vz = (fz * dt + n->vz) * damp;
    }
    // Pass 2: semi-implicit Euler, with the velocities just computed.
    for (int32_t i = 0; i < obj->num_nodes; ++i) {
        MetalObjNode *n = obj->nodes[i];
        if (n->fixed)
            continue;
        n->x = n->vx * dt + n->x;
        n->y = n->vy * dt + n->y;
        n->z = n->vz * dt + n->z;
    }
}

} // extern "C"
