/* libcwphymod: the fast stepper.
 *
 * A metal object compiled into flat arrays, stepped with exactly the same
 * arithmetic as cw_metal_obj_perturb(): after any number of steps every
 * position and velocity has the same bits as the records stepped by the
 * reference would have (a NaN stays a NaN, its sign bit aside). Each spring
 * is evaluated once per step and each node still adds its spring terms in
 * its own slot order; the work is spread over vector lanes (AVX-512, AVX2 or
 * SSE2, chosen at run time). A step runs on the calling thread, or is split
 * across worker threads (cw_metal_obj_fast_set_threads) with the same bits.
 *
 * Calling order: build an object with a builder, set it up (strike it) on the
 * records, compile it with cw_metal_obj_fast_new(), then any number of
 * cw_metal_obj_fast_perturb() calls with coordinate reads and writes between
 * them, optionally cw_metal_obj_fast_store() to bring the state back to the
 * records, and cw_metal_obj_fast_free(). The compiled form does not refer to
 * the records after cw_metal_obj_fast_new() returns.
 *
 * This header compiles as C and as C++.
 */
#ifndef CW_METAL_OBJ_FAST_H
#define CW_METAL_OBJ_FAST_H

#include "cw_metal_obj.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A compiled metal object; opaque. */
typedef struct MetalObjFast MetalObjFast;

/* Coordinate numbers for cw_metal_obj_fast_get() and _set(). */
enum {
    CW_METAL_OBJ_X = 0,
    CW_METAL_OBJ_Y = 1,
    CW_METAL_OBJ_Z = 2
};

/* Compiles `obj` with its current positions and velocities. The object must
 * be complete: every node slot filled, every neighbour a node of the same
 * object. Null when memory runs out or the object is not complete. The
 * result is owned by the caller (cw_metal_obj_fast_free); `obj` is only read. */
CW_METAL_OBJ_API MetalObjFast *cw_metal_obj_fast_new(const MetalObj *obj);

/* Releases a compiled object. Null is ignored. */
CW_METAL_OBJ_API void cw_metal_obj_fast_free(MetalObjFast *fast);

/* Advances the compiled object by one step, exactly as cw_metal_obj_perturb()
 * advances the records. Cannot fail. Returns when the step is complete. */
CW_METAL_OBJ_API void cw_metal_obj_fast_perturb(MetalObjFast *fast, double dt, double damp);

/* Splits every following step across `threads` threads (the caller's among
 * them; 1 or less: the caller's alone, stopping any workers). Large meshes
 * only: fewer threads are used where more would not pay (a thread needs a
 * share of about 700 springs), for meshes the vector paths cannot
 * serve, and when a thread cannot be started. Returns the number of threads
 * now used. The workers are made here and kept until the next call or
 * cw_metal_obj_fast_free(); between steps they spin briefly, yield, and
 * after a few milliseconds without a step they sleep. A worker may finish
 * its share of a step after cw_metal_obj_fast_perturb() has returned; every
 * other call here waits for it where it needs the whole step. Results are
 * identical for every thread count. Call it between steps, from the thread
 * that steps. */
CW_METAL_OBJ_API int32_t cw_metal_obj_fast_set_threads(MetalObjFast *fast, int32_t threads);

/* Number of nodes, as in the records. */
CW_METAL_OBJ_API int32_t cw_metal_obj_fast_num_nodes(const MetalObjFast *fast);

/* Coordinate `axis` (CW_METAL_OBJ_X, _Y or _Z) of node `node`
 * (0 <= node < number of nodes); neither is checked. */
CW_METAL_OBJ_API double cw_metal_obj_fast_get(const MetalObjFast *fast, int32_t node,
                                              int32_t axis);

/* Sets coordinate `axis` of node `node`, like a direct write to the node
 * record; the next step starts from it. Same ranges as cw_metal_obj_fast_get. */
CW_METAL_OBJ_API void cw_metal_obj_fast_set(MetalObjFast *fast, int32_t node, int32_t axis,
                                            double value);

/* Writes every node's position and velocity back to the records of `obj`,
 * which must be the object that was compiled (same number of nodes). */
CW_METAL_OBJ_API void cw_metal_obj_fast_store(const MetalObjFast *fast, MetalObj *obj);

#ifdef __cplusplus
}
#endif

#endif /* CW_METAL_OBJ_FAST_H */
