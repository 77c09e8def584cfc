/* libcwphymod: the metal object model of Clangwright.
 *
 * A metal object is a mesh of unit point masses joined by springs of unit
 * stiffness and rest length 1. The builders make a rod, a tube or a plane;
 * the caller owns what a builder returns, may read and write node positions
 * directly, advances the mesh with cw_metal_obj_perturb() and releases it
 * with cw_metal_obj_free().
 *
 * Coordinates: the object's length runs along z from z = 0 upward; x runs
 * across it (perpendicular to a rod or tube, normal to a plane).
 *
 * This header compiles as C and as C++.
 */
#ifndef CW_METAL_OBJ_H
#define CW_METAL_OBJ_H

#include <stdint.h>

#if defined(CW_METAL_OBJ_BUILD)
#define CW_METAL_OBJ_API __attribute__((visibility("default")))
#else
#define CW_METAL_OBJ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One point mass. The neighbour slots live in the same allocation as the
 * node record; `neighbours` points at them. The pointers do not own. */
typedef struct MetalObjNode MetalObjNode;
struct MetalObjNode {
    int32_t fixed;          /* non-zero: anchored, never moved by a step */
    double x, y, z;         /* position */
    double vx, vy, vz;      /* velocity */
    int32_t num_neighbours; /* number of neighbour slots, fixed at creation */
    MetalObjNode **neighbours;
};

/* One metal object: owns every node in its slots. An empty slot is null. */
typedef struct MetalObj {
    int32_t num_nodes;
    MetalObjNode **nodes;
} MetalObj;

/* A new node with n neighbour slots (all null), at rest at the origin and not
 * fixed. Null when memory runs out or n is negative. */
CW_METAL_OBJ_API MetalObjNode *cw_metal_obj_node_new(int32_t num_neighbours);

/* Releases one node; neighbours are not touched. Null is ignored. */
CW_METAL_OBJ_API void cw_metal_obj_node_free(MetalObjNode *node);

/* A new object with n empty node slots. Null when memory runs out or n is
 * negative. */
CW_METAL_OBJ_API MetalObj *cw_metal_obj_new(int32_t num_nodes);

/* Releases every node in a non-null slot, in index order, then the object.
 * Null is ignored. */
CW_METAL_OBJ_API void cw_metal_obj_free(MetalObj *obj);

/* Advances the object by one step of size dt (semi-implicit Euler): first
 * every movable node's velocity from the positions before the step, each
 * multiplied by damp, then every movable node's position. Fixed nodes are
 * skipped. Cannot fail. */
CW_METAL_OBJ_API void cw_metal_obj_perturb(MetalObj *obj, double dt, double damp);

/* A rod of `length` nodes on the z axis, `spacing` apart, both ends fixed.
 * Null when memory runs out or length is below 2. */
CW_METAL_OBJ_API MetalObj *cw_metal_obj_new_rod(int32_t length, double spacing);

/* A tube of `height` rings of `circumference` nodes, rings `spacing` apart
 * along z, first and last ring fixed. Node r * circumference + k is node k of
 * ring r. Null when memory runs out or either size is below 2. */
CW_METAL_OBJ_API MetalObj *cw_metal_obj_new_tube(int32_t height, int32_t circumference,
                                                 double spacing);

/* A plane of `length` rows of `width` nodes in the y-z plane, rows `spacing`
 * apart along z, columns 1 apart along y, the four corners fixed. Node
 * r * width + c is column c of row r. Null when memory runs out or either
 * size is below 2. */
CW_METAL_OBJ_API MetalObj *cw_metal_obj_new_plane(int32_t length, int32_t width,
                                                  double spacing);

#ifdef __cplusplus
}
#endif

#endif /* CW_METAL_OBJ_H */
