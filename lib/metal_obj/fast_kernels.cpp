// The chunked sweep compiled once per instruction set: each namespace below
// defines the vector types of its width and the few operations that differ
// between instruction sets, then includes the sweep's source under its own
// `#pragma GCC target`. A target_clones attribute would choose the copy by
// itself; this way the tests can force every path.
//
// Each sweep stays one function of its own: split into out-of-line helpers,
// or inlined with the others into one dispatcher, the sweeps of small meshes
// ran up to five times slower. The sweeps break their source into helpers
// that are always inlined.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fast_kernels.h"
#include "fast_scalar.h"
#include "fast_split.h"

// Vector types passed by value: GCC notes that how they are passed depends
// on the instruction set enabled; every such call here stays within one
// instruction set's namespace.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace cwphymod {

namespace {

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's own _mm512_sqrt_pd trips this warning on its placeholder operand.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
namespace avx512 {
constexpr bool ahead_pays = true;
// The large tube ran 5 % slower in two passes (the small one 12 % faster).
constexpr bool two_pass_pays = false;
typedef double VecD __attribute__((vector_size(64)));
typedef int64_t VecI __attribute__((vector_size(64)));
inline VecD vsqrt(VecD q)
{
    return _mm512_sqrt_pd(q);
}
constexpr bool has_store_masked = true;
inline void store_masked(double *p, VecD v, uint32_t lane_bits)
{
    _mm512_mask_storeu_pd(p, static_cast<__mmask8>(lane_bits), v);
}
// a * b in the lanes whose bit is set, +0 in the others.
inline VecD mul_kept(VecD a, VecD b, VecI, uint32_t lane_bits)
{
    return _mm512_maskz_mul_pd(static_cast<__mmask8>(lane_bits), a, b);
}
// Lanes [width - 1, 2 * width - 1) of prev followed by cur.
inline VecD shift_in(VecD prev, VecD cur)
{
    return __builtin_shufflevector(prev, cur, 7, 8, 9, 10, 11, 12, 13, 14);
}
#include "fast_kernel.inc"
#include "fast_fused_kernel.inc"
} // namespace avx512
#pragma GCC diagnostic pop
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
// Sixteen registers do not hold the plane's terms of two vectors at once:
// running a vector ahead, their spills cost more than the overlap gains.
constexpr bool ahead_pays = false;
// The tube's terms in two passes: 9 % faster on an AMD Zen 5, the default
// tube 12 %.
constexpr bool two_pass_pays = true;
typedef double VecD __attribute__((vector_size(32)));
typedef int64_t VecI __attribute__((vector_size(32)));
inline VecD vsqrt(VecD q)
{
    return _mm256_sqrt_pd(q);
}
constexpr bool has_store_masked = false;
inline void store_masked(double *, VecD, uint32_t) {}
inline VecD mul_kept(VecD a, VecD b, VecI mask, uint32_t)
{
    return reinterpret_cast<VecD>(reinterpret_cast<VecI>(a * b) & mask);
}
inline VecD shift_in(VecD prev, VecD cur)
{
    return __builtin_shufflevector(prev, cur, 3, 4, 5, 6);
}
#include "fast_kernel.inc"
#include "fast_fused_kernel.inc"
} // namespace avx2
#pragma GCC pop_options

namespace sse2 {
constexpr bool ahead_pays = false; // sixteen registers, as for AVX2
constexpr bool two_pass_pays = true; // the tube 20 % faster, as on AVX2
typedef double VecD __attribute__((vector_size(16)));
typedef int64_t VecI __attribute__((vector_size(16)));
inline VecD vsqrt(VecD q)
{
    return _mm_sqrt_pd(q);
}
constexpr bool has_store_masked = false;
inline void store_masked(double *, VecD, uint32_t) {}
inline VecD mul_kept(VecD a, VecD b, VecI mask, uint32_t)
{
    return reinterpret_cast<VecD>(reinterpret_cast<VecI>(a * b) & mask);
}
inline VecD shift_in(VecD prev, VecD cur)
{
    return __builtin_shufflevector(prev, cur, 1, 2);
}
#include "fast_kernel.inc"
#include "fast_fused_kernel.inc"
} // namespace sse2

} // namespace

bool fast_path_supported(FastPath path)
{
    __builtin_cpu_init();
    switch (path) {
    case FastPath::scalar:
    case FastPath::sse2:
        return true;
    case FastPath::avx2:
        return __builtin_cpu_supports("avx2");
    case FastPath::avx512:
        return __builtin_cpu_supports("avx512f");
    default:
        return false;
    }
}

FastPath best_vector_path()
{
    if (fast_path_supported(FastPath::avx512))
        return FastPath::avx512;
    if (fast_path_supported(FastPath::avx2))
        return FastPath::avx2;
    return FastPath::sse2;
}

void sweep_part(const MetalObjFast &f, const Part &part, int32_t current, double dt,
                double damp, const Beside *beside, bool in_place)
{
    // A split step works in the parts' own arrays where they have them.
    const bool own = beside && part.own_vel;
    double *const *const pos = own ? part.own_pos : f.pos;
    const double *const in = pos[current];
    double *const out = pos[in_place ? current : 1 - current];
    double *const vel = own ? part.own_vel : f.vx;
    switch (f.path) {
    case FastPath::avx512:
        avx512::sweep_any(f, part, in, out, vel, dt, damp, beside);
        break;
    case FastPath::avx2:
        avx2::sweep_any(f, part, in, out, vel, dt, damp, beside);
        break;
    default:
        sse2::sweep_any(f, part, in, out, vel, dt, damp, beside);
        break;
    }
}

void sqrt_sweep_for_bench(FastPath path, const double *in, double *out, int32_t n)
{
    switch (path) {
    case FastPath::avx512:
        avx512::sqrt_sweep(in, out, n);
        break;
    case FastPath::avx2:
        avx2::sqrt_sweep(in, out, n);
        break;
    case FastPath::sse2:
        sse2::sqrt_sweep(in, out, n);
        break;
    default:
        for (int32_t i = 0; i < n; ++i)
            out[i] = std::sqrt(in[i]);
        break;
    }
}

} // namespace cwphymod
