// Compiling a mesh's wiring for the lane step, the lane state, and the choice
// of instruction set.
#include "lane_mesh.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>
#include <utility>

#pragma GCC diagnostic ignored "-Wpsabi"
// The compiler's own AVX-512 square root starts from an undefined register.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace voice {

namespace {

constexpr std::size_t vector_alignment = 64;

struct StepArgs {
    int32_t num_nodes;
    bool in_place;
    uint32_t live; // the lanes to step, a bit each
    const uint8_t *fixed;
    const uint8_t *shape;
    const int32_t *slot_begin;
    const LaneSlot *slots;
    double *pos, *vel, *terms;
    const double *dt, *damp;
};

double *aligned_doubles(std::size_t count)
{
    const std::size_t bytes =
        (count * sizeof(double) + vector_alignment - 1) / vector_alignment * vector_alignment;
    auto *p = static_cast<double *>(std::aligned_alloc(vector_alignment, bytes));
    if (!p)
        throw std::bad_alloc();
    std::memset(p, 0, bytes);
    return p;
}

// What a slot does: subtract the term in the ring or the carried one, or
// compute a spring and store its term or carry it to the next node.
constexpr uint32_t ring_read = 0, carry_read = 1, stored_spring = 2, carried_spring = 3;
constexpr uint32_t any_kind = 4; // not known when the step is compiled

inline uint32_t kind_of(const LaneSlot &s)
{
    if (s.partner == LaneSlot::read_ring)
        return ring_read;
    if (s.partner == LaneSlot::read_carry)
        return carry_read;
    return s.term == LaneSlot::carry_term ? carried_spring : stored_spring;
}

// A node's shape: the kinds of its slots in order, written R, C, S and K,
// coded as their number in the low four bits and two bits a slot above.
constexpr int32_t max_shaped_slots = 8;
constexpr uint32_t shape_code(const char *kinds)
{
    uint32_t code = 0, count = 0;
    for (; kinds[count]; ++count) {
        const char c = kinds[count];
        const uint32_t kind = c == 'R' ? ring_read : c == 'C' ? carry_read
                                                 : c == 'S' ? stored_spring
                                                            : carried_spring;
        code |= kind << (4 + 2 * count);
    }
    return code | count;
}
constexpr uint32_t shape_kind(uint32_t code, std::size_t slot)
{
    return (code >> (4 + 2 * slot)) & 3;
}

// The shapes of the nodes of tubes and rods of any size, whose slots the step
// has written out: X(index, kinds), indices from 1; a node of another shape
// (0) walks its slots one by one. A plane's nodes have up to eight slots:
// written out, they took more registers than there are, and the spills of
// every case made the whole step twice as slow.
#define CW_KNOWN_SHAPES(X)                                                                    \
    X(1, "SKS") X(2, "CKS") X(3, "CRS") X(4, "SKSR") X(5, "CKSR") X(6, "CRSR") X(7, "SKR")   \
    X(8, "CKR") X(9, "CRR") X(10, "KSSR") X(11, "KSR") X(12, "KSS") X(13, "K") X(14, "CK")  \
    X(15, "C")

uint8_t shape_index(uint32_t code)
{
#define CW_SHAPE_INDEX(index, kinds)                                                          \
    if (code == shape_code(kinds))                                                            \
        return index;
    CW_KNOWN_SHAPES(CW_SHAPE_INDEX)
#undef CW_SHAPE_INDEX
    return 0;
}

} // namespace

// Each instruction set defines Vec (`width` doubles), splat, load, store and
// vec_sqrt, element-wise, and includes the step.
#define CW_SINGLE_VECTOR(bytes, sqrt_intrinsic, intrinsic_type)                         \
    typedef double Vec __attribute__((vector_size(bytes)));                               \
    constexpr int32_t width = (bytes) / 8;                                                \
    inline Vec splat(double x) { return Vec{} + x; }                                      \
    inline Vec load(const double *p) { return *reinterpret_cast<const Vec *>(p); }        \
    inline void store(double *p, Vec v) { *reinterpret_cast<Vec *>(p) = v; }              \
    inline Vec vec_sqrt(Vec x)                                                            \
    {                                                                                     \
        return reinterpret_cast<Vec>(sqrt_intrinsic(reinterpret_cast<intrinsic_type>(x))); \
    }

#pragma GCC push_options
#pragma GCC target("avx512f")
// Two registers taken as one vector: each offset the step reads serves twice
// the lanes, and the two halves' square roots overlap. The pairs step all
// sixteen lanes when both halves have voices; one register steps a half alone.
namespace avx512 {
typedef double Half __attribute__((vector_size(64)));
struct Vec {
    Half lo, hi;
};
constexpr int32_t width = 16;
inline Vec operator+(Vec x, Vec y) { return {x.lo + y.lo, x.hi + y.hi}; }
inline Vec operator-(Vec x, Vec y) { return {x.lo - y.lo, x.hi - y.hi}; }
inline Vec operator*(Vec x, Vec y) { return {x.lo * y.lo, x.hi * y.hi}; }
inline Vec splat(double x) { return {Half{} + x, Half{} + x}; }
inline Vec load(const double *p)
{
    return {*reinterpret_cast<const Half *>(p), *reinterpret_cast<const Half *>(p + 8)};
}
inline void store(double *p, Vec v)
{
    *reinterpret_cast<Half *>(p) = v.lo;
    *reinterpret_cast<Half *>(p + 8) = v.hi;
}
inline Half half_sqrt(Half x)
{
    return reinterpret_cast<Half>(_mm512_sqrt_pd(reinterpret_cast<__m512d>(x)));
}
inline Vec vec_sqrt(Vec x) { return {half_sqrt(x.lo), half_sqrt(x.hi)}; }
#include "lane_kernel.inc"
} // namespace avx512
namespace avx512_half {
CW_SINGLE_VECTOR(64, _mm512_sqrt_pd, __m512d)
#include "lane_kernel.inc"
} // namespace avx512_half
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
CW_SINGLE_VECTOR(32, _mm256_sqrt_pd, __m256d)
#include "lane_kernel.inc"
} // namespace avx2
#pragma GCC pop_options

namespace sse2 {
CW_SINGLE_VECTOR(16, _mm_sqrt_pd, __m128d)
#include "lane_kernel.inc"
} // namespace sse2

#undef CW_SINGLE_VECTOR

LanePath best_lane_path()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return LanePath::avx512;
    if (__builtin_cpu_supports("avx2"))
        return LanePath::avx2;
    return LanePath::sse2;
}

std::unique_ptr<LaneWiring> LaneWiring::compile(const MetalObj &obj)
{
    auto w = std::unique_ptr<LaneWiring>(new LaneWiring);
    const int32_t n = obj.num_nodes;
    w->num_nodes_ = n;
    std::unordered_map<const MetalObjNode *, int32_t> index;
    for (int32_t i = 0; i < n; ++i) {
        if (!obj.nodes[i])
            return nullptr;
        index.emplace(obj.nodes[i], i);
    }
    // A spring from a lower to an upper node, told apart from a repeated one
    // by how often the lower node listed the upper one before.
    std::map<std::tuple<int32_t, int32_t, int32_t>, int32_t> lower_springs;
    w->own_begin_.push_back(0);
    w->slot_begin_.push_back(0);
    int32_t ring_span = 1;
    // For each spring read at an upper end: the node that reads it.
    std::vector<std::pair<int32_t, int32_t>> reads; // (spring, reading node)
    for (int32_t i = 0; i < n; ++i) {
        const MetalObjNode *node = obj.nodes[i];
        w->fixed_.push_back(node->fixed != 0);
        for (int c = 0; c < 3; ++c)
            w->rest_.push_back(c == 0 ? node->x : c == 1 ? node->y : node->z);
        std::map<int32_t, int32_t> seen; // neighbour -> occurrences so far
        for (int32_t s = 0; s < node->num_neighbours; ++s) {
            const auto found = index.find(node->neighbours[s]);
            if (found == index.end())
                return nullptr;
            const int32_t q = found->second;
            const int32_t occurrence = seen[q]++;
            int32_t ref = -1;
            if (q < i) {
                const auto lower = lower_springs.find({q, i, occurrence});
                if (lower != lower_springs.end()) {
                    ref = lower->second << 1 | 1;
                    reads.emplace_back(lower->second, i);
                }
            }
            if (ref < 0) {
                // The node's own term: the lower end of a spring, or a spring
                // its partner does not list back (computed here alone).
                const auto k = static_cast<int32_t>(w->partner_.size());
                w->partner_.push_back(q);
                if (q > i)
                    lower_springs.emplace(std::make_tuple(i, q, occurrence), k);
                else if (q < i)
                    w->in_place_ = false; // it reads a position updated before
                ref = k << 1;
            }
            w->slot_ref_.push_back(ref);
        }
        w->own_begin_.push_back(static_cast<int32_t>(w->partner_.size()));
        w->slot_begin_.push_back(static_cast<int32_t>(w->slot_ref_.size()));
    }
    // A term must stay in the ring until its upper end has read it: the
    // springs computed meanwhile, up to that node's own, must not wrap onto it.
    for (const auto &[spring, reader] : reads)
        ring_span = std::max(ring_span, w->own_begin_[reader + 1] - spring);
    int32_t ring = 1;
    while (ring < ring_span)
        ring <<= 1;
    w->ring_mask_ = ring - 1;
    w->lay_out_slots(reads);
    return w;
}

// The slots as the step walks them. A spring from a node to the next one is
// read right after its node: its term goes there in registers (the carry)
// rather than through the ring, unless the next node computes its own
// carried spring before it has read the one it was handed.
void LaneWiring::lay_out_slots(const std::vector<std::pair<int32_t, int32_t>> &reads)
{
    constexpr int32_t node_stride = 3 * lanes;
    std::vector<uint8_t> is_read(partner_.size(), 0);
    for (const auto &read : reads)
        is_read[static_cast<size_t>(read.first)] = 1;
    int32_t incoming = -1; // the spring the previous node carries
    for (int32_t i = 0; i < num_nodes_; ++i) {
        int32_t k = own_begin_[i];
        bool carry_busy = incoming >= 0;
        int32_t outgoing = -1;
        for (int32_t s = slot_begin_[i]; s < slot_begin_[i + 1]; ++s) {
            const int32_t ref = slot_ref_[s];
            const int32_t spring = ref >> 1;
            const int32_t term = (spring & ring_mask_) * node_stride;
            if (ref & 1) {
                const bool carried = spring == incoming;
                slots_.push_back(carried ? LaneSlot{LaneSlot::read_carry, 0}
                                         : LaneSlot{LaneSlot::read_ring, term});
                carry_busy = carry_busy && !carried;
                continue;
            }
            const int32_t q = partner_[k++];
            const bool carry = q == i + 1 && !carry_busy && outgoing < 0 &&
                               is_read[static_cast<size_t>(spring)];
            if (carry)
                outgoing = spring;
            slots_.push_back(LaneSlot{q * node_stride, carry ? LaneSlot::carry_term : term});
        }
        incoming = outgoing;
    }
    for (int32_t i = 0; i < num_nodes_; ++i) {
        const int32_t count = slot_begin_[i + 1] - slot_begin_[i];
        uint32_t code = static_cast<uint32_t>(count);
        for (int32_t s = 0; s < count && count <= max_shaped_slots; ++s)
            code |= kind_of(slots_[static_cast<size_t>(slot_begin_[i] + s)]) << (4 + 2 * s);
        shape_.push_back(count <= max_shaped_slots ? shape_index(code) : 0);
    }
}

int32_t LaneWiring::nodes_written_out() const
{
    return static_cast<int32_t>(std::count_if(shape_.begin(), shape_.end(),
                                              [](uint8_t shape) { return shape != 0; }));
}

LaneBatch::LaneBatch(const LaneWiring &wiring) : wiring_(wiring)
{
    const auto values = static_cast<std::size_t>(3 * wiring.num_nodes_ * lanes);
    pos_ = aligned_doubles(values);
    vel_ = aligned_doubles(values);
    terms_ = aligned_doubles(static_cast<std::size_t>(3 * (wiring.ring_mask_ + 1) * lanes));
    dt_ = aligned_doubles(lanes);
    damp_ = aligned_doubles(lanes);
    for (int32_t l = 0; l < lanes; ++l) {
        damp_[l] = 1.0;
        reset_lane(l);
    }
}

LaneBatch::~LaneBatch()
{
    for (double *p : {pos_, vel_, terms_, dt_, damp_})
        std::free(p);
}

void LaneBatch::reset_lane(int32_t lane)
{
    for (int32_t i = 0; i < 3 * wiring_.num_nodes_; ++i) {
        pos_[i * lanes + lane] = wiring_.rest_[i];
        vel_[i * lanes + lane] = 0.0;
    }
}

namespace {
LanePath chosen_path = best_lane_path();
} // namespace

void set_lane_path(LanePath path)
{
    chosen_path = path;
}

void LaneBatch::step()
{
    step(chosen_path);
}

void LaneBatch::set_live(int32_t lane, bool live)
{
    const uint32_t bit = 1u << lane;
    live_ = live ? live_ | bit : live_ & ~bit;
}

void LaneBatch::step(LanePath path)
{
    if (live_ == 0)
        return;
    const LaneWiring &w = wiring_;
    const StepArgs args{w.num_nodes_,      w.in_place_,          live_,
                        w.fixed_.data(),   w.shape_.data(),      w.slot_begin_.data(),
                        w.slots_.data(),   pos_,                 vel_,
                        terms_,            dt_,                  damp_};
    constexpr uint32_t low_half = (1u << (lanes / 2)) - 1;
    switch (path) {
    case LanePath::avx512:
        if ((live_ & low_half) && (live_ >> (lanes / 2)))
            avx512::step_lanes(args);
        else
            avx512_half::step_lanes(args);
        break;
    case LanePath::avx2:
        avx2::step_lanes(args);
        break;
    case LanePath::sse2:
        sse2::step_lanes(args);
        break;
    }
}

} // namespace voice
