// Internals of the fast stepper that tests reach through the static archive.
// Nothing here is exported from the shared library.
#pragma once

#include <cstdint>

#include "cw_metal_obj_fast.h"

namespace cwphymod {

//! How a compiled object is stepped. `scalar` evaluates a list of springs one
//! by one and serves any object; the vector paths sweep the mesh in chunks of
//! eight nodes and serve the meshes whose springs fall into a few regular
//! classes (every builder's). All paths give the same bits.
enum class FastPath : int32_t { automatic = 0, scalar, sse2, avx2, avx512 };

//! True when this processor (and its operating system) can run `path`.
bool fast_path_supported(FastPath path);

//! The path objects compiled from now on use: `automatic` picks the best one
//! the object and the processor allow. For tests only; not thread-safe.
void set_fast_path_for_testing(FastPath path);

//! The path `fast` was compiled for (never `automatic`).
FastPath fast_path_of(const MetalObjFast *fast);

//! Sets how many springs each thread of a split step must have at least (0:
//! any mesh is split as far as asked); negative restores the measured
//! default. For tests and benchmarks only; applies to later
//! cw_metal_obj_fast_set_threads calls; not thread-safe.
void set_min_springs_per_thread_for_testing(int64_t springs);

//! With `alternate`, a split object's steps run split and on the calling
//! thread alone by turns, 97 steps each, whatever they measure;
//! false restores the measured choice. For tests only; not thread-safe.
void set_alternate_split_for_testing(bool alternate);

//! Springs `fast` evaluates per step, one square root each.
int64_t fast_spring_count(const MetalObjFast *fast);

//! out[i] = sqrt(in[i]) for i < n with the square-root instruction of `path`
//! (n a multiple of 8): the benchmark's measure of the machine's bound.
void sqrt_sweep_for_bench(FastPath path, const double *in, double *out, int32_t n);

} // namespace cwphymod
