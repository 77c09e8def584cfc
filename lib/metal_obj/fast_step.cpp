// The fast stepper: a metal object compiled into structure-of-arrays form.
//
// The reference step evaluates every spring twice, once from each end, and
// chases a pointer per neighbour. Here each spring is evaluated once: for a
// spring from node a to node b (a < b) the term of a is d * (1 - L) with
// d = p(a) - p(b), and the term of b is its exact negative, because in IEEE
// arithmetic p(b) - p(a) = -(p(a) - p(b)), the squares and so the length are
// the same, and a product with a negated factor is the negated product. (Only
// the sign of a zero or of a NaN can differ; a force sum that starts at +0
// never becomes -0, so a zero's sign cannot reach a sum.) Each node then adds
// its terms in its own slot order, so every sum, and every bit after it, is
// the reference's.
//
// Springs are grouped into classes by the distance b - a between their node
// numbers (and, for a node that lists the same neighbour twice, by repetition).
// The builders' meshes have a handful of classes (a plane four, a tube three,
// a rod one), and the members of a class lie at consecutive lower-node numbers,
// so one class is evaluated with contiguous loads over chunks of eight nodes.
// Each class keeps its terms in an array indexed by the lower node, and a node
// reads its slot terms at fixed shifts from its own number. Classes too sparse
// for that (a tube's ring-closing springs) are evaluated one by one first.
// Meshes that fit no such scheme are stepped by a scalar list of springs.
//
// A split step goes from one position buffer into the other, so a node's
// new position never reaches a term of the same step, whoever computes it.
// (One thread steps the whole object in place: its terms run ahead of its
// node updates, so every term still reads positions from before the step,
// and one stream of positions fewer passes through the caches.) That lets a
// step be split into runs of chunks ("parts"), one per thread:
// each part computes every term its nodes read, including those of the
// springs that reach into it from the part before, into term arrays of its
// own, and each node still adds its terms in its slot order, so the bits do
// not depend on the split. For the builders' meshes every part but the
// first also steps in position and velocity arrays of its own, and copies
// the positions within reach of its ends from the parts beside it. The
// worker threads belong to the compiled object (step_pool.h); the calling
// thread steps a part itself and tunes the split while it runs.
//
// For the builders' meshes the terms of a vector of nodes stay in
// registers from their square roots to those nodes' sums (fused_walk), and
// only the classes read at a shift of more than one node go through memory.
#include "cw_metal_obj_fast.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "alloc.h"
#include "fast_step.h"
#include "split_choice.h"
#include "step_pool.h"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

using cwphymod::FastPath;

constexpr int32_t lanes_per_chunk = 8;
// How far the square roots run ahead of the node sums, in lanes: far enough
// that a sum never reads a term whose store is still on its way to the cache
// (a read that straddles two such stores waits for both), near enough that
// the terms are still in L1 when the sum reads them.
constexpr int32_t terms_lead_lanes = 32;
// What the nodes of a chunk do in a step.
constexpr uint8_t chunk_still = 0;     // no node moves: positions copied
constexpr uint8_t chunk_moves_some = 1; // movable and fixed nodes mixed
constexpr uint8_t chunk_moves_all = 2;  // every lane a movable node
// More classes than this make the label sum per node longer than the scalar
// spring list is slow; no builder comes near it.
constexpr int32_t max_classes = 12;
constexpr int32_t max_labels = 2 * max_classes;
// A class whose springs fill less than half of its lane span is evaluated
// spring by spring instead of over the whole span.
constexpr int64_t dense_fill_denominator = 2;
constexpr std::size_t block_alignment = 64;
constexpr std::size_t page_size = 4096;


// The spring terms of a class are indexed by the spring's lower node: x at
// terms[i], y at terms[i + term_stride], z at terms[i + 2 * term_stride].
// Valid from index -front (a shifted read below node 0 finds +0) to the last
// lane. Each part of a split step has its own arrays (see Part).
struct DenseClass {
    int32_t offset;                // upper node minus lower node
    int32_t cls;                   // class number: which term arrays
    int32_t lane_begin, lane_end;  // whole chunks holding the class's lower nodes
    const int64_t *mask;           // per lane: all ones where a spring starts
    const uint8_t *lane_bits;      // the same per chunk, one bit per lane
};

struct SparseSpring {
    int32_t a, b;
    int32_t cls;
};

// One position of the per-node sum: the class's terms shifted so that lane i
// finds its own, added for the lower end of a spring and subtracted for the
// upper end.
struct Label {
    const double *terms;
    int32_t subtract;
};

// A run of whole chunks whose nodes one thread steps, with the term arrays
// it writes and reads. Parts never write the same memory: a term that two
// parts need (a spring across their boundary) is computed by both, with the
// same bits.
struct Part {
    int32_t lane_begin, lane_end;
    double *terms[max_classes];
    Label labels[max_labels];
    uint32_t subtract_bits; // bit l: label l subtracts
    // Positions (both buffers) and velocities of its own, laid out as the
    // object's, that a part of a split step works in; null: the object's.
    double *own_pos[2];
    double *own_vel;
};

struct Spring {
    int32_t a, b;
};

// What the thread running a part measures of it between two moves of the
// parts, on a cache line of its own: ticks of the time stamp counter spent
// stepping the part, waits for the parts beside it left out.
struct alignas(64) PartClock {
    uint64_t busy;
    uint64_t steps;
    // For the caller's part: ticks the caller spent from the end of its
    // part of one step to the start of its part of the next (the render
    // loop's own work, and the step's own bookkeeping), which the workers
    // spend stepping.
    uint64_t between;
    uint64_t last_end; // when the caller's part of the last step ended, 0: none
};

// Steps between two moves of the parts' boundaries.
constexpr int32_t balance_window = 256;
// A spike of one step (the caller or a worker held up by the system) counts
// as this many times the last window's mean step at most.
constexpr uint64_t step_spike_limit = 4;
constexpr int32_t max_parts = 8;

// How a split step is run (see balance_parts).
struct Balance {
    int32_t chunks[max_parts] = {}; // per part
    int32_t caller_part = 0; // the part the caller steps itself
    cwphymod::SplitChoice choice; // whether this window runs on the caller alone
    int32_t steps = 0;
    uint64_t ticks = 0;      // this window's, each step's spikes clipped
    uint64_t all_ticks = 0;  // the same unclipped
    uint64_t mean_step = 0;  // ticks of a step in the last window, clipped
};

// How the builders' meshes are stepped: with their labels known to the
// compiler, and their terms in registers where that pays (fused_walk).
enum class Kernel : uint8_t { generic, plane, tube, rod };

// Which of a mesh's labels read which terms (see fused_walk): bit l of
// `reg` reads dense class (label_dense >> 4 l) & 15 from the registers at
// its lower end, of `below` at its upper end (an offset-1 class); the other
// labels read term arrays, and the dense classes they read are `stored`.
// Bit l of `subtract`: label l is an upper end; of `skippable`: label l
// reads a sparse class, skipped in chunks that do not use it.
struct LabelPlan {
    int32_t num_dense, num_labels;
    uint32_t subtract, skippable, reg, below, label_dense, stored;
    bool ahead; // terms a vector ahead of the sums (measured per mesh)
};

// The plane's eight neighbours: up-left, up and up-right read stored terms,
// left the offset-1 class's upper end, right and the three below the lower
// ends of the four classes.
constexpr LabelPlan plane_labels{4, 8, 0x0f, 0, 0xf0, 0x08, 0x32100000, 0xe, true};
// The tube's ring neighbours (the ring-closing springs are a sparse class,
// labels 1 and 3), then the ring above (lower end) and below (stored).
constexpr LabelPlan tube_labels{2, 6, 0x29, 0x0a, 0x14, 0x01, 0x10000, 0x2, false};
// The rod's two neighbours.
constexpr LabelPlan rod_labels{1, 2, 0x01, 0, 0x2, 0x1, 0, 0, true};

} // namespace

struct MetalObjFast {
    int32_t num_nodes;
    int32_t num_lanes;
    int32_t num_chunks;
    FastPath path;
    int64_t num_evaluated; // distinct springs, each one square root per step
    // Positions: a split step goes from pos[current] into the other buffer,
    // so that no node's new position can reach a term of the same step
    // whatever order (or thread) computes it; one thread, and the scalar
    // path, step pos[current] in place. y and z follow x (and vy, vz follow vx) at the strides.
    double *pos[2];
    double *vx, *vy, *vz;
    std::ptrdiff_t pos_stride, vel_stride, term_stride;
    // Vector paths.
    const int64_t *movable; // per lane: all ones for a movable node
    const uint8_t *chunk_moves; // chunk_still, chunk_moves_some or _all
    const uint32_t *chunk_labels; // per chunk: bit l set when a node there uses label l
    int32_t front;
    int32_t num_classes;
    int32_t class_offset[max_classes];
    int32_t num_dense;
    DenseClass *dense;
    int32_t num_sparse;
    SparseSpring *sparse;
    int32_t num_labels;
    Kernel kernel;
    int32_t label_class[max_labels];
    int32_t label_upper[max_labels];
    // Parts of a step: one built-in part covering the object, or a part per
    // thread with the pool that runs them.
    int32_t num_parts;
    Part *parts;
    PartClock *clocks; // per part of a split step
    Part *whole;
    void *parts_block;
    cwphymod::StepPool *pool;
    // Written by the stepping thread at every step, so they keep a cache line
    // away from the fields the workers read: which position buffer is
    // current, and how a split step is run.
    char apart[block_alignment];
    int32_t current;
    bool scattered; // the parts' own arrays hold their nodes (see scatter)
    Balance balance;
    mutable int32_t watched_node; // the last node read through cw_metal_obj_fast_get
    // Scalar path.
    int32_t num_springs;
    Spring *springs;
    double *sx, *sy, *sz;
    int32_t num_movers;
    int32_t *movers;           // movable node numbers
    int32_t *mover_slots;      // num_movers + 1 offsets into the two below
    int32_t *slot_spring;
    uint8_t *slot_subtract;
    void *block;
};

namespace {

FastPath forced_path = FastPath::automatic;

// Springs each thread must have for a split step to be faster than one
// thread: below it the two hand-overs between cores per step cost more than
// the thread saves (measured with engine_bench's BM_Threads).
constexpr int64_t default_min_springs_per_thread = 700;
int64_t min_springs_per_thread = default_min_springs_per_thread;
bool alternate_split = false;

// An array from the library's allocator, released on scope exit.
template <class T> class Scratch {
public:
    explicit Scratch(std::size_t n)
        : p_(static_cast<T *>(cwphymod::allocate(n ? n * sizeof(T) : 1)))
    {
    }
    ~Scratch() { std::free(p_); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    explicit operator bool() const { return p_ != nullptr; }
    T &operator[](std::size_t i) { return p_[i]; }
    const T &operator[](std::size_t i) const { return p_[i]; }
    T *get() { return p_; }

private:
    T *p_;
};

// Carves aligned arrays out of one block: run once without a base to learn
// the size, then again on the allocated block.
class Layout {
public:
    explicit Layout(char *base) : base_(base) {}
    template <class T> T *take(std::size_t n, std::size_t alignment = block_alignment)
    {
        used_ = (used_ + alignment - 1) & ~(alignment - 1);
        T *p = base_ ? reinterpret_cast<T *>(base_ + used_) : nullptr;
        used_ += n * sizeof(T);
        return p;
    }
    std::size_t used() const { return used_; }

private:
    char *base_;
    std::size_t used_ = 0;
};

// One slot of a movable node, as the compiler sees it.
struct SlotRef {
    int32_t offset;  // |neighbour - node|
    int32_t repeat;  // how many earlier slots of the node name the same neighbour
    int32_t lower;   // the spring's lower node
    int32_t pos;     // index of the slot in the flattened neighbour list
    int32_t upper_end; // 1 when the node is the spring's upper end
    // Which ends read the spring's term: 0 both (or a fixed end that does not
    // care), 1 only the upper end, 2 only the lower end. A movable node that
    // does not list a spring must find +0 where its class's terms lie, so
    // one-sided springs get classes of their own.
    int32_t ends;
};

bool ref_less(const SlotRef &l, const SlotRef &r)
{
    if (l.offset != r.offset)
        return l.offset < r.offset;
    if (l.repeat != r.repeat)
        return l.repeat < r.repeat;
    if (l.ends != r.ends)
        return l.ends < r.ends;
    return l.lower < r.lower;
}

bool same_class(const SlotRef &l, const SlotRef &r)
{
    return l.offset == r.offset && l.repeat == r.repeat && l.ends == r.ends;
}

bool same_spring(const SlotRef &l, const SlotRef &r)
{
    return same_class(l, r) && l.lower == r.lower;
}

struct NodeKey {
    const MetalObjNode *node;
    int32_t index;
};

// The object's wiring in node numbers.
struct Wiring {
    int32_t n = 0;
    int64_t total_slots = 0;
    int64_t movable_slots = 0;
};

int32_t round_up(int32_t v, int32_t to)
{
    return (v + to - 1) / to * to;
}

bool cpu_has(FastPath path)
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
    if (cpu_has(FastPath::avx512))
        return FastPath::avx512;
    if (cpu_has(FastPath::avx2))
        return FastPath::avx2;
    return FastPath::sse2;
}

// The order in which a chunk adds its labels: every movable node meets its
// own labels in slot order. False when the nodes disagree (a cycle).
bool order_labels(int32_t num_labels, const bool (*after)[max_labels], const bool *used,
                  int32_t *order, int32_t *count)
{
    int32_t indegree[max_labels] = {};
    for (int32_t from = 0; from < num_labels; ++from)
        for (int32_t to = 0; to < num_labels; ++to)
            if (after[from][to])
                ++indegree[to];
    bool placed[max_labels] = {};
    int32_t n = 0, wanted = 0;
    for (int32_t l = 0; l < num_labels; ++l)
        wanted += used[l] ? 1 : 0;
    while (n < wanted) {
        int32_t next = -1;
        for (int32_t l = 0; l < num_labels && next < 0; ++l)
            if (used[l] && !placed[l] && indegree[l] == 0)
                next = l;
        if (next < 0)
            return false;
        placed[next] = true;
        order[n++] = next;
        for (int32_t to = 0; to < num_labels; ++to)
            if (after[next][to])
                --indegree[to];
    }
    *count = n;
    return true;
}

[[gnu::always_inline]] inline void scalar_term(const double *x, std::ptrdiff_t stride, int32_t a, int32_t b,
                        double *tx, double *ty, double *tz)
{
    const double *const y = x + stride;
    const double *const z = y + stride;
    const double dx = x[a] - x[b];
    const double dy = y[a] - y[b];
    const double dz = z[a] - z[b];
    const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
    const double k = 1.0 - len;
    *tx = dx * k;
    *ty = dy * k;
    *tz = dz * k;
}

void scalar_step(MetalObjFast &f, double dt, double damp)
{
    // Every term from the positions before the step, then the nodes in place.
    double *const x = f.pos[0];
    double *const y = x + f.pos_stride;
    double *const z = y + f.pos_stride;
    for (int32_t s = 0; s < f.num_springs; ++s)
        scalar_term(x, f.pos_stride, f.springs[s].a, f.springs[s].b, &f.sx[s], &f.sy[s],
                    &f.sz[s]);
    for (int32_t m = 0; m < f.num_movers; ++m) {
        const int32_t i = f.movers[m];
        double fx = 0.0, fy = 0.0, fz = 0.0;
        for (int32_t slot = f.mover_slots[m]; slot < f.mover_slots[m + 1]; ++slot) {
            const int32_t s = f.slot_spring[slot];
            if (f.slot_subtract[slot]) {
                fx = fx - f.sx[s];
                fy = fy - f.sy[s];
                fz = fz - f.sz[s];
            } else {
                fx = fx + f.sx[s];
                fy = fy + f.sy[s];
                fz = fz + f.sz[s];
            }
        }
        f.vx[i] = (fx * dt + f.vx[i]) * damp;
        f.vy[i] = (fy * dt + f.vy[i]) * damp;
        f.vz[i] = (fz * dt + f.vz[i]) * damp;
        x[i] = f.vx[i] * dt + x[i];
        y[i] = f.vy[i] * dt + y[i];
        z[i] = f.vz[i] * dt + z[i];
    }
}

// A part of a split step, as it runs on its thread: what it needs to wait
// for the parts beside it.
struct Beside {
    const MetalObjFast *f;
    int32_t part;
    int32_t caller_part;
    uint32_t generation;
    int32_t current; // the step's input buffer
    mutable uint64_t waited; // ticks
};

void wait_beside(const Beside &beside, bool above, bool marks = false);
// The pool's thread that steps part k (0: the caller).
int32_t thread_of(const Beside &beside, int32_t k);
void mark_bottom(const Beside &beside);
void fetch_beside(const Beside &beside, bool below);

void copy_beside(const Beside &beside, bool above);
void fetch_next(const Beside &beside);
void claim_edges(const Beside &beside, double *out);

} // namespace

// The chunked sweep for each instruction set.
namespace {

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's own _mm512_sqrt_pd trips this warning on its placeholder operand.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
namespace avx512 {
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
} // namespace avx512
#pragma GCC diagnostic pop
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
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
} // namespace avx2
#pragma GCC pop_options

namespace sse2 {
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
} // namespace sse2

// Steps `part` of the object from pos[current] into the other buffer, or
// into the same one when `in_place` (the whole object on one thread);
// `beside` as for sweep.
void sweep_part(const MetalObjFast &f, const Part &part, int32_t current, double dt,
                double damp, const Beside *beside = nullptr, bool in_place = false)
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

// Everything the compiler learns about an object before it sizes the block.
struct Plan {
    int32_t n = 0;
    int32_t lanes = 0;
    int32_t chunks = 0;
    bool vector = false;
    // Vector layout.
    int32_t num_classes = 0;
    int32_t class_offset[max_classes] = {};
    int32_t class_first[max_classes] = {};
    int32_t class_last[max_classes] = {};
    int32_t class_springs[max_classes] = {};
    bool class_dense[max_classes] = {};
    int32_t num_dense = 0;
    int32_t num_sparse = 0;
    int32_t label_order[max_labels] = {};
    int32_t num_labels = 0;
    int32_t front = 0;      // lanes of zeros before node 0 in every term array
    int32_t position_pad = 0; // lanes read past the last lane by dense classes
    // Scalar layout.
    int32_t num_springs = 0;
    int32_t num_movers = 0;
    int64_t movable_slots = 0;
};

// The term arrays of one part, each starting `front` lanes before node 0.
void carve_terms(Layout &lay, const MetalObjFast &f, Part &part)
{
    for (int32_t c = 0; c < f.num_classes; ++c) {
        double *t = lay.take<double>(3 * static_cast<std::size_t>(f.term_stride));
        part.terms[c] = t ? t + f.front : nullptr;
    }
}

// A part's own positions and velocities, each array on pages of its own.
void carve_storage(Layout &lay, const MetalObjFast &f, Part &part)
{
    for (int32_t b = 0; b < 2; ++b)
        part.own_pos[b] = lay.take<double>(3 * static_cast<std::size_t>(f.pos_stride), page_size);
    part.own_vel = lay.take<double>(3 * static_cast<std::size_t>(f.vel_stride), page_size);
}

// A part's labels point into its own term arrays.
void fill_labels(const MetalObjFast &f, Part &part)
{
    for (int32_t l = 0; l < f.num_labels; ++l) {
        const int32_t c = f.label_class[l];
        const bool upper = f.label_upper[l] != 0;
        part.labels[l] = Label{part.terms[c] - (upper ? f.class_offset[c] : 0), upper ? 1 : 0};
        if (upper)
            part.subtract_bits |= 1u << l;
    }
}

void carve(Layout &lay, MetalObjFast &f, Plan &p)
{
    f.pos_stride = p.lanes + p.position_pad;
    f.vel_stride = p.lanes;
    for (int32_t b = 0; b < (p.vector ? 2 : 1); ++b)
        f.pos[b] = lay.take<double>(3 * static_cast<std::size_t>(f.pos_stride));
    f.vx = lay.take<double>(3 * static_cast<std::size_t>(f.vel_stride));
    if (f.vx) {
        f.vy = f.vx + f.vel_stride;
        f.vz = f.vx + 2 * f.vel_stride;
    }
    if (p.vector) {
        f.movable = lay.take<int64_t>(p.lanes);
        f.chunk_moves = lay.take<uint8_t>(p.chunks);
        f.chunk_labels = lay.take<uint32_t>(p.chunks);
        f.term_stride = p.front + p.lanes;
        f.front = p.front;
        f.num_classes = p.num_classes;
        f.whole = lay.take<Part>(1);
        Part first{};
        carve_terms(lay, f, first);
        if (f.whole)
            *f.whole = first;
        f.dense = lay.take<DenseClass>(p.num_dense);
        for (int32_t c = 0; c < p.num_dense; ++c) {
            const int64_t *mask = lay.take<int64_t>(p.lanes);
            const uint8_t *bits = lay.take<uint8_t>(p.chunks);
            if (f.dense) {
                f.dense[c].mask = mask;
                f.dense[c].lane_bits = bits;
            }
        }
        f.sparse = lay.take<SparseSpring>(p.num_sparse);
    } else {
        f.springs = lay.take<Spring>(p.num_springs);
        f.sx = lay.take<double>(p.num_springs);
        f.sy = lay.take<double>(p.num_springs);
        f.sz = lay.take<double>(p.num_springs);
        f.movers = lay.take<int32_t>(p.num_movers);
        f.mover_slots = lay.take<int32_t>(static_cast<std::size_t>(p.num_movers) + 1);
        f.slot_spring = lay.take<int32_t>(static_cast<std::size_t>(p.movable_slots));
        f.slot_subtract = lay.take<uint8_t>(static_cast<std::size_t>(p.movable_slots));
    }
}

// Whether the labels of `f` are read as `plan` says: each register label
// names its dense class at the right end (an offset-1 class at the upper
// end), and every other label that reads a dense class reads a stored one.
bool labels_fit(const MetalObjFast &f, const LabelPlan &plan)
{
    if (f.num_dense != plan.num_dense || f.num_labels != plan.num_labels ||
        f.whole->subtract_bits != plan.subtract)
        return false;
    for (int32_t l = 0; l < f.num_labels; ++l) {
        const int32_t cls = f.label_class[l];
        const bool upper = f.label_upper[l] != 0;
        int32_t d = -1;
        for (int32_t k = 0; k < f.num_dense; ++k)
            if (f.dense[k].cls == cls)
                d = k;
        if ((plan.reg | plan.below) & (1u << l)) {
            const int32_t want = static_cast<int32_t>((plan.label_dense >> (4 * l)) & 15);
            if (d != want || upper != (((plan.below >> l) & 1u) != 0) ||
                (upper && f.dense[d].offset != 1))
                return false;
        } else if (d >= 0 && !(plan.stored & (1u << d))) {
            return false;
        }
    }
    return true;
}

Kernel choose_kernel(const MetalObjFast &f)
{
    if (labels_fit(f, plane_labels))
        return Kernel::plane;
    if (labels_fit(f, tube_labels))
        return Kernel::tube;
    if (labels_fit(f, rod_labels))
        return Kernel::rod;
    return Kernel::generic;
}

MetalObjFast *compile(const MetalObj *obj)
{
    if (!obj || obj->num_nodes < 0)
        return nullptr;
    Plan p;
    p.n = obj->num_nodes;
    const int32_t n = p.n;

    // Node numbers of the neighbour pointers.
    Scratch<NodeKey> keys(static_cast<std::size_t>(n));
    Scratch<int64_t> first_slot(static_cast<std::size_t>(n) + 1);
    if (!keys || !first_slot)
        return nullptr;
    int64_t total_slots = 0;
    for (int32_t i = 0; i < n; ++i) {
        const MetalObjNode *node = obj->nodes[i];
        if (!node || node->num_neighbours < 0)
            return nullptr;
        keys[i] = NodeKey{node, i};
        first_slot[i] = total_slots;
        total_slots += node->num_neighbours;
        if (!node->fixed) {
            ++p.num_movers;
            p.movable_slots += node->num_neighbours;
        }
    }
    first_slot[n] = total_slots;
    std::sort(keys.get(), keys.get() + n, [](const NodeKey &l, const NodeKey &r) {
        return std::less<const MetalObjNode *>()(l.node, r.node);
    });
    Scratch<int32_t> neighbour(static_cast<std::size_t>(total_slots));
    if (!neighbour)
        return nullptr;
    for (int32_t i = 0; i < n; ++i) {
        const MetalObjNode *node = obj->nodes[i];
        for (int32_t s = 0; s < node->num_neighbours; ++s) {
            const MetalObjNode *q = node->neighbours[s];
            const NodeKey *hit = std::lower_bound(
                keys.get(), keys.get() + n, q, [](const NodeKey &k, const MetalObjNode *v) {
                    return std::less<const MetalObjNode *>()(k.node, v);
                });
            if (!q || hit == keys.get() + n || hit->node != q)
                return nullptr;
            neighbour[first_slot[i] + s] = hit->index;
        }
    }

    // Every slot of a movable node names one spring: its class and lower node.
    Scratch<SlotRef> refs(static_cast<std::size_t>(p.movable_slots));
    if (!refs)
        return nullptr;
    int64_t r = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (obj->nodes[i]->fixed)
            continue;
        for (int64_t pos = first_slot[i]; pos < first_slot[i + 1]; ++pos) {
            const int32_t q = neighbour[pos];
            int32_t repeat = 0;
            for (int64_t before = first_slot[i]; before < pos; ++before)
                repeat += neighbour[before] == q ? 1 : 0;
            refs[r++] = SlotRef{q > i ? q - i : i - q, repeat, std::min(i, q),
                                static_cast<int32_t>(pos), q < i ? 1 : 0, 0};
        }
    }
    std::sort(refs.get(), refs.get() + p.movable_slots, ref_less);
    for (int64_t k = 0; k < p.movable_slots;) {
        int64_t end = k;
        bool lower_reads = false, upper_reads = false;
        for (; end < p.movable_slots && same_spring(refs[k], refs[end]); ++end)
            (refs[end].upper_end ? upper_reads : lower_reads) = true;
        const SlotRef &ref = refs[k];
        const bool lower_moves = !obj->nodes[ref.lower]->fixed;
        const bool upper_moves = !obj->nodes[ref.lower + ref.offset]->fixed;
        // A spring from a node to itself is read once, as a lower end.
        const int32_t ends = lower_moves && !lower_reads                    ? 1
                             : (upper_moves && !upper_reads) || !ref.offset ? 2
                                                                            : 0;
        for (; k < end; ++k)
            refs[k].ends = ends;
    }
    std::sort(refs.get(), refs.get() + p.movable_slots, ref_less);
    // Class and spring number of every movable slot, by flattened position.
    Scratch<int32_t> slot_class(static_cast<std::size_t>(total_slots));
    Scratch<int32_t> slot_spring(static_cast<std::size_t>(total_slots));
    if (!slot_class || !slot_spring)
        return nullptr;
    int32_t classes = 0;
    for (int64_t k = 0; k < p.movable_slots; ++k) {
        const SlotRef &ref = refs[k];
        const bool new_class = k == 0 || !same_class(refs[k - 1], ref);
        const bool new_spring = k == 0 || !same_spring(refs[k - 1], ref);
        if (new_class) {
            if (classes < max_classes) {
                p.class_offset[classes] = ref.offset;
                p.class_first[classes] = ref.lower;
            }
            ++classes;
        }
        if (new_spring) {
            ++p.num_springs;
            if (classes <= max_classes) {
                ++p.class_springs[classes - 1];
                p.class_last[classes - 1] = ref.lower;
            }
        }
        slot_class[ref.pos] = classes - 1;
        slot_spring[ref.pos] = p.num_springs - 1;
    }

    FastPath path = forced_path;
    if (path == FastPath::automatic || !cpu_has(path))
        path = best_vector_path();
    p.vector = path != FastPath::scalar && classes <= max_classes;
    if (p.vector) {
        p.num_classes = classes;
        bool after[max_labels][max_labels] = {};
        bool used[max_labels] = {};
        for (int32_t i = 0; i < n; ++i) {
            if (obj->nodes[i]->fixed)
                continue;
            int32_t prev = -1;
            for (int64_t pos = first_slot[i]; pos < first_slot[i + 1]; ++pos) {
                const int32_t q = neighbour[pos];
                const int32_t label = 2 * slot_class[pos] + (q < i ? 1 : 0);
                used[label] = true;
                if (prev >= 0)
                    after[prev][label] = true;
                prev = label;
            }
        }
        p.vector = order_labels(2 * classes, after, used, p.label_order, &p.num_labels);
    }
    if (!p.vector)
        path = FastPath::scalar;

    p.lanes = round_up(n, lanes_per_chunk);
    p.chunks = p.lanes / lanes_per_chunk;
    if (p.vector) {
        for (int32_t c = 0; c < p.num_classes; ++c) {
            const int64_t span = int64_t{p.class_last[c]} - p.class_first[c] + 1;
            p.class_dense[c] = int64_t{p.class_springs[c]} * dense_fill_denominator >= span;
            if (p.class_dense[c]) {
                ++p.num_dense;
                p.position_pad = std::max(p.position_pad, p.class_offset[c]);
            } else {
                p.num_sparse += p.class_springs[c];
            }
            p.front = std::max(p.front, p.class_offset[c]);
        }
        p.front = round_up(p.front, lanes_per_chunk);
        p.position_pad = round_up(p.position_pad, lanes_per_chunk);
    }

    Layout sizing(nullptr);
    MetalObjFast probe{};
    carve(sizing, probe, p);
    const std::size_t bytes = sizing.used() + block_alignment;
    void *block = cwphymod::allocate(bytes);
    auto *f = static_cast<MetalObjFast *>(cwphymod::allocate(sizeof(MetalObjFast)));
    if (!block || !f) {
        std::free(block);
        std::free(f);
        return nullptr;
    }
    std::memset(block, 0, bytes);
    *f = MetalObjFast{};
    f->block = block;
    const auto aligned = (reinterpret_cast<std::uintptr_t>(block) + block_alignment - 1) &
                         ~std::uintptr_t{block_alignment - 1};
    Layout lay(reinterpret_cast<char *>(aligned));
    carve(lay, *f, p);
    f->num_nodes = n;
    f->num_lanes = p.lanes;
    f->num_chunks = p.chunks;
    f->path = path;
    f->num_evaluated = p.num_springs;
    double *const x = f->pos[0];
    for (int32_t i = 0; i < n; ++i) {
        const MetalObjNode *node = obj->nodes[i];
        x[i] = node->x;
        x[i + f->pos_stride] = node->y;
        x[i + 2 * f->pos_stride] = node->z;
        f->vx[i] = node->vx;
        f->vy[i] = node->vy;
        f->vz[i] = node->vz;
    }

    if (p.vector) {
        auto *movable = const_cast<int64_t *>(f->movable);
        auto *chunk_moves = const_cast<uint8_t *>(f->chunk_moves);
        for (int32_t i = 0; i < n; ++i)
            movable[i] = obj->nodes[i]->fixed ? 0 : -1;
        for (int32_t c = 0; c < p.chunks; ++c) {
            int32_t moving = 0;
            for (int32_t l = c * lanes_per_chunk; l < (c + 1) * lanes_per_chunk; ++l)
                moving += movable[l] ? 1 : 0;
            chunk_moves[c] = moving == lanes_per_chunk ? chunk_moves_all
                             : moving                   ? chunk_moves_some
                                                        : chunk_still;
        }
        int32_t dense_of_class[max_classes];
        for (int32_t c = 0; c < p.num_classes; ++c) {
            f->class_offset[c] = p.class_offset[c];
            dense_of_class[c] = -1;
            if (!p.class_dense[c])
                continue;
            DenseClass &d = f->dense[f->num_dense];
            dense_of_class[c] = f->num_dense++;
            d.offset = p.class_offset[c];
            d.cls = c;
            d.lane_begin = p.class_first[c] / lanes_per_chunk * lanes_per_chunk;
            d.lane_end = (p.class_last[c] / lanes_per_chunk + 1) * lanes_per_chunk;
        }
        for (int64_t k = 0; k < p.movable_slots; ++k) {
            const SlotRef &ref = refs[k];
            if (k > 0 && same_spring(refs[k - 1], ref))
                continue;
            const int32_t c = slot_class[ref.pos];
            if (dense_of_class[c] >= 0) {
                const DenseClass &d = f->dense[dense_of_class[c]];
                const_cast<int64_t *>(d.mask)[ref.lower] = -1;
                const_cast<uint8_t *>(d.lane_bits)[ref.lower / lanes_per_chunk] |=
                    static_cast<uint8_t>(1u << (ref.lower % lanes_per_chunk));
            } else {
                f->sparse[f->num_sparse++] = SparseSpring{ref.lower, ref.lower + ref.offset, c};
            }
        }
        int32_t position_of[max_labels] = {};
        for (int32_t l = 0; l < p.num_labels; ++l) {
            f->label_class[l] = p.label_order[l] / 2;
            f->label_upper[l] = p.label_order[l] % 2;
            position_of[p.label_order[l]] = l;
        }
        auto *chunk_labels = const_cast<uint32_t *>(f->chunk_labels);
        for (int32_t i = 0; i < n; ++i) {
            if (obj->nodes[i]->fixed)
                continue;
            for (int64_t pos = first_slot[i]; pos < first_slot[i + 1]; ++pos) {
                const int32_t label = 2 * slot_class[pos] + (neighbour[pos] < i ? 1 : 0);
                chunk_labels[i / lanes_per_chunk] |= 1u << position_of[label];
            }
        }
        f->num_labels = p.num_labels;
        f->num_parts = 1;
        f->parts = f->whole;
        f->whole->lane_begin = 0;
        f->whole->lane_end = p.lanes;
        fill_labels(*f, *f->whole);
        f->kernel = choose_kernel(*f);
    } else {
        for (int64_t k = 0; k < p.movable_slots; ++k) {
            const SlotRef &ref = refs[k];
            f->springs[slot_spring[ref.pos]] = Spring{ref.lower, ref.lower + ref.offset};
        }
        f->num_springs = p.num_springs;
        int32_t slot = 0;
        for (int32_t i = 0; i < n; ++i) {
            if (obj->nodes[i]->fixed)
                continue;
            f->movers[f->num_movers] = i;
            f->mover_slots[f->num_movers++] = slot;
            for (int64_t pos = first_slot[i]; pos < first_slot[i + 1]; ++pos, ++slot) {
                f->slot_spring[slot] = slot_spring[pos];
                f->slot_subtract[slot] = neighbour[pos] < i ? 1 : 0;
            }
        }
        f->mover_slots[f->num_movers] = slot;
    }
    return f;
}

// Thread t (0: the caller) steps the part t places after the caller's.
void run_part(void *context, int32_t thread, const cwphymod::StepOrder &order,
              uint32_t generation)
{
    const MetalObjFast &f = *static_cast<const MetalObjFast *>(context);
    const int32_t k = (thread + order.caller_part) % f.num_parts;
    const Beside beside{&f, k, order.caller_part, generation, order.current, 0};
    const uint64_t start = __rdtsc();
    sweep_part(f, f.parts[k], order.current, order.dt, order.damp, &beside);
    PartClock &clock = f.clocks[k];
    const uint64_t end = __rdtsc();
    clock.busy += end - start - beside.waited;
    ++clock.steps;
    if (thread == 0) {
        // Time between steps counts against the caller's part, up to a
        // quarter of a step (a longer pause is not the render loop's).
        if (clock.last_end && f.balance.mean_step)
            clock.between += std::min(start - clock.last_end, f.balance.mean_step / 4);
        clock.last_end = end;
    }
}

int32_t thread_of(const Beside &beside, int32_t k)
{
    const int32_t n = beside.f->num_parts;
    return (k - beside.caller_part + n) % n;
}

// A part reads the positions within `front` lanes of its ends, which the
// parts there wrote in the step before, and overwrites positions they read
// in that step: it waits for every such part to have finished it, or with
// `marks`, for the parts above to have marked it (see mark_bottom). The
// parts stay where they are from one sync of the pool to the next.
void wait_beside(const Beside &beside, bool above, bool marks)
{
    const MetalObjFast &f = *beside.f;
    const Part &me = f.parts[beside.part];
    const int32_t from = above ? me.lane_end : me.lane_begin - f.front;
    const int32_t to = above ? me.lane_end + f.front : me.lane_begin;
    for (int32_t k = above ? beside.part + 1 : beside.part - 1; k >= 0 && k < f.num_parts;
         k += above ? 1 : -1) {
        const Part &other = f.parts[k];
        if (other.lane_end <= from || other.lane_begin >= to)
            break;
        const int32_t thread = thread_of(beside, k);
        // The caller finished its part of the step before it ordered this
        // one, which this worker has seen: nothing to wait for, and no cache
        // line to fetch from the caller's core to learn it.
        if (thread == 0)
            continue;
        if (cwphymod::step_pool_reached(f.pool, thread, beside.generation - 1, marks))
            continue;
        const uint64_t start = __rdtsc();
        if (marks)
            cwphymod::step_pool_wait_mark(f.pool, thread, beside.generation - 1);
        else
            cwphymod::step_pool_wait(f.pool, thread, beside.generation - 1);
        beside.waited += __rdtsc() - start;
    }
}

// Tells the part below that this part's bottom `front` lanes of the step are
// written, and the positions it copies from below are copied: the part
// below needs no more of this step (wait_beside with marks).
void mark_bottom(const Beside &beside)
{
    const MetalObjFast &f = *beside.f;
    const int32_t thread = thread_of(beside, beside.part);
    cwphymod::step_pool_mark(f.pool, thread, beside.generation);
}

// Where part k's positions of buffer b are while its part of a split step
// runs.
double *part_positions(const MetalObjFast &f, const Part &part, int32_t b)
{
    return part.own_vel ? part.own_pos[b] : f.pos[b];
}

// Calls fn(other part, lo, hi) for each part beside `beside`'s below (or
// above) that owns lanes [lo, hi) within `front` lanes of its end.
template <class Fn> void each_beside(const Beside &beside, bool above, Fn fn)
{
    const MetalObjFast &f = *beside.f;
    const Part &me = f.parts[beside.part];
    const int32_t from_lane = above ? me.lane_end : std::max(0, me.lane_begin - f.front);
    const int32_t to_lane = above ? me.lane_end + f.front : me.lane_begin;
    for (int32_t k = above ? beside.part + 1 : beside.part - 1; k >= 0 && k < f.num_parts;
         k += above ? 1 : -1) {
        const Part &other = f.parts[k];
        const int32_t lo = std::max(from_lane, other.lane_begin);
        const int32_t hi = std::min(to_lane, other.lane_end);
        if (lo >= hi)
            break;
        fn(other, lo, hi);
    }
}

// Copies into a part's input buffer the positions within `front` lanes of
// its ends (below, or above) from the parts that own them; the caller has
// waited for those parts to finish the step before.
void copy_beside(const Beside &beside, bool above)
{
    const MetalObjFast &f = *beside.f;
    double *const to = part_positions(f, f.parts[beside.part], beside.current);
    each_beside(beside, above, [&](const Part &other, int32_t lo, int32_t hi) {
        const double *const from = part_positions(f, other, beside.current);
        if (from == to)
            return;
        for (int32_t axis = 0; axis < 3; ++axis) {
            const std::ptrdiff_t at = axis * f.pos_stride + lo;
            std::memcpy(to + at, from + at, static_cast<std::size_t>(hi - lo) * sizeof(double));
        }
    });
}

// The positions within `front` lanes of a part's ends that the parts
// beside it copied in the step before are in the buffer it writes now:
// fetching those cache lines for writing at the start of the step, instead
// of when its vectors there are written, takes the hand-over between cores
// off the end of its step.
void claim_edges(const Beside &beside, double *out)
{
    const MetalObjFast &f = *beside.f;
    const Part &me = f.parts[beside.part];
    constexpr int32_t lanes_per_line = 64 / sizeof(double);
    for (const bool above : {false, true}) {
        const int32_t k = above ? beside.part + 1 : beside.part - 1;
        if (k < 0 || k >= f.num_parts)
            continue;
        const int32_t from = above ? std::max(me.lane_begin, me.lane_end - f.front) : me.lane_begin;
        const int32_t to = above ? me.lane_end : std::min(me.lane_end, me.lane_begin + f.front);
        for (int32_t axis = 0; axis < 3; ++axis)
            for (int32_t lane = from; lane < to; lane += lanes_per_line)
                __asm__ volatile("prefetchw %0" ::"m"(out[axis * f.pos_stride + lane]));
    }
}

// Fetches the cache lines of positions [lo, hi) of each coordinate.
void fetch_positions(const MetalObjFast &f, const double *from, int32_t lo, int32_t hi)
{
    constexpr int32_t lanes_per_line = 64 / sizeof(double);
    for (int32_t axis = 0; axis < 3; ++axis)
        for (int32_t lane = lo; lane < hi; lane += lanes_per_line)
            _mm_prefetch(reinterpret_cast<const char *>(from + axis * f.pos_stride + lane),
                         _MM_HINT_T0);
}

// Half way through its step a part fetches the positions it will copy from
// the parts above it (see copy_beside), which they marked early in the step
// before, and with `below`, from the parts below it.
void fetch_beside(const Beside &beside, bool below)
{
    const MetalObjFast &f = *beside.f;
    for (const bool above : {false, true}) {
        if (!above && !below)
            continue;
        each_beside(beside, above, [&](const Part &other, int32_t lo, int32_t hi) {
            fetch_positions(f, part_positions(f, other, beside.current), lo, hi);
            // And the line the part's thread marks or finishes its step on,
            // which this part reads before it copies.
            const int32_t thread = thread_of(beside, static_cast<int32_t>(&other - f.parts));
            if (thread != 0)
                cwphymod::step_pool_fetch_progress(f.pool, thread, above);
        });
    }
}

// At the end of a worker's part of a step: the part below, which the caller
// ran ahead, has nearly always finished the step by now, so the positions
// this part copies from it at the start of the next step, and that step's
// order, are fetched while nothing waits for them.
void fetch_next(const Beside &beside)
{
    const MetalObjFast &f = *beside.f;
    each_beside(beside, false, [&](const Part &other, int32_t lo, int32_t hi) {
        fetch_positions(f, part_positions(f, other, 1 - beside.current), lo, hi);
    });
    cwphymod::step_pool_fetch_order(f.pool, beside.generation + 1);
}

// Lets every worker finish the steps it is on: then every position and
// velocity is the last step's, and the parts can move.
void settle(const MetalObjFast &f)
{
    if (f.pool)
        cwphymod::step_pool_sync(f.pool);
}

// Copies the current positions and the velocities of each part that has
// arrays of its own between those and the object's arrays (which keep the
// first part's nodes, and the mesh's layout, in either case); the workers
// are idle.
void move_nodes(MetalObjFast &f, bool to_parts)
{
    for (int32_t k = 0; k < f.num_parts; ++k) {
        Part &part = f.parts[k];
        if (!part.own_vel)
            continue;
        const std::size_t n = static_cast<std::size_t>(part.lane_end - part.lane_begin);
        double *const pos[2] = {f.pos[f.current], part.own_pos[f.current]};
        double *const vel[2] = {f.vx, part.own_vel};
        for (int32_t axis = 0; axis < 3; ++axis) {
            const std::ptrdiff_t p = axis * f.pos_stride + part.lane_begin;
            const std::ptrdiff_t v = axis * f.vel_stride + part.lane_begin;
            std::memcpy(pos[to_parts] + p, pos[!to_parts] + p, n * sizeof(double));
            std::memcpy(vel[to_parts] + v, vel[!to_parts] + v, n * sizeof(double));
        }
    }
}

// Each part of a split step with arrays of its own starts with its nodes
// there.
void scatter(MetalObjFast &f)
{
    if (f.scattered)
        return;
    move_nodes(f, true);
    f.scattered = true;
}

// Lets every worker finish, and brings the parts' nodes back into the
// object's arrays.
void gather(MetalObjFast &f)
{
    settle(f);
    if (!f.scattered)
        return;
    move_nodes(f, false);
    f.scattered = false;
}


// The parts from their sizes in chunks, each one chunk at least; the last
// takes what the others leave.
void place_parts(MetalObjFast &f)
{
    const int32_t n = f.num_parts;
    Balance &b = f.balance;
    int32_t begin = 0;
    for (int32_t k = 0; k < n; ++k) {
        const int32_t rest = n - 1 - k;
        b.chunks[k] = k == n - 1 ? f.num_chunks - begin
                                 : std::clamp(b.chunks[k], 1, f.num_chunks - begin - rest);
        f.parts[k].lane_begin = begin * lanes_per_chunk;
        f.parts[k].lane_end = (begin + b.chunks[k]) * lanes_per_chunk;
        begin += b.chunks[k];
        f.clocks[k] = PartClock{};
    }
}

// Sizes the parts so that each takes as long as the others, from what each
// chunk of each part cost in the window just run, moving halfway there at a
// time (a window's figures are noisy).
void resize_parts(MetalObjFast &f)
{
    const int32_t n = f.num_parts;
    double speed[max_parts], total_speed = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        const PartClock &c = f.clocks[k];
        if (!c.steps || !c.busy)
            return;
        speed[k] = static_cast<double>(f.balance.chunks[k]) * static_cast<double>(c.steps) /
                   static_cast<double>(c.busy + c.between);
        total_speed += speed[k];
    }
    for (int32_t k = 0; k < n; ++k) {
        const double target = f.num_chunks * speed[k] / total_speed;
        f.balance.chunks[k] = static_cast<int32_t>(std::lround((f.balance.chunks[k] + target) / 2));
    }
}

// The part that holds the node the caller last read between steps (the
// render loop reads the sampling node after every step): the caller steps
// that part itself, so that the node's new position is in its own cache.
int32_t watched_part(const MetalObjFast &f)
{
    const int32_t lane = f.watched_node;
    for (int32_t k = 0; k < f.num_parts; ++k)
        if (lane >= f.parts[k].lane_begin && lane < f.parts[k].lane_end)
            return k;
    return f.balance.caller_part;
}

// What one step alone would take at the most: the caller's part's time per
// chunk over the whole object (side by side the parts run a little slower
// than alone), 0 when nothing was measured.
uint64_t alone_estimate(const MetalObjFast &f)
{
    const int32_t k = f.balance.caller_part;
    const PartClock &c = f.clocks[k];
    if (!c.steps)
        return 0;
    return c.busy / c.steps * static_cast<uint64_t>(f.num_chunks) /
           static_cast<uint64_t>(f.balance.chunks[k]);
}

// Tunes a split step while the steps run; neither choice changes a result.
// Every balance_window steps the parts are resized to take equal times, and
// the window's time tells whether the steps go on split or on the caller
// alone (see SplitChoice), where a split window that runs at half the speed
// of the caller alone ends early.
void balance_parts(MetalObjFast &f, uint64_t ticks)
{
    Balance &b = f.balance;
    b.all_ticks += ticks;
    if (b.mean_step)
        ticks = std::min(ticks, step_spike_limit * b.mean_step);
    b.ticks += ticks;
    ++b.steps;
    const bool alone = b.choice.alone();
    const uint64_t guess = alone ? 0 : alone_estimate(f);
    const bool hopeless =
        !alone && b.choice.losing(static_cast<uint64_t>(b.steps), b.all_ticks, b.ticks, guess);
    // Alternating windows for tests are odd, so that split windows start
    // from either position buffer.
    const int32_t window = alternate_split ? 97 : balance_window;
    if (b.steps < window && !hopeless)
        return;
    b.mean_step = b.ticks / static_cast<uint64_t>(b.steps);
    // The wait for the workers to finish counts against the window.
    const uint64_t settle_start = __rdtsc();
    settle(f);
    b.all_ticks += __rdtsc() - settle_start;
    if (!b.choice.end_window(static_cast<uint64_t>(b.steps), b.all_ticks, b.ticks, guess,
                             hopeless) &&
        !alone)
        resize_parts(f);
    if (alternate_split)
        b.choice.force(!alone);
    // The parts' nodes go back to the object's arrays only when they move.
    bool moved = b.choice.alone();
    for (int32_t k = 0; k < f.num_parts; ++k)
        moved = moved || b.chunks[k] * lanes_per_chunk != f.parts[k].lane_end - f.parts[k].lane_begin;
    if (moved)
        gather(f);
    place_parts(f);
    b.caller_part = watched_part(f);
    b.ticks = 0;
    b.all_ticks = 0;
    b.steps = 0;
}

// Back to one part on the calling thread; no worker is left.
void join_parts(MetalObjFast &f)
{
    gather(f);
    cwphymod::step_pool_free(f.pool);
    f.pool = nullptr;
    std::free(f.parts_block);
    f.parts_block = nullptr;
    f.parts = f.whole;
    f.num_parts = 1;
    f.balance = Balance{};
}

int32_t split(MetalObjFast &f, int32_t threads)
{
    join_parts(f);
    if (f.path == FastPath::scalar || threads <= 1)
        return 1;
    int32_t n = std::min({threads, max_parts, f.num_chunks});
    if (min_springs_per_thread > 0)
        n = static_cast<int32_t>(std::min<int64_t>(n, f.num_evaluated / min_springs_per_thread));
    if (n <= 1)
        return 1;
    // The parts, and the term arrays of every part but the first, which
    // writes the object's own; with the kernels that keep their terms in
    // registers, also positions and velocities of their own, on pages of
    // their own (two cores writing the halves of the same arrays step
    // a quarter slower than in arrays of their own, even where no cache
    // line is shared).
    Layout sizing(nullptr);
    sizing.take<Part>(static_cast<std::size_t>(n));
    sizing.take<PartClock>(static_cast<std::size_t>(n));
    Part scratch{};
    for (int32_t k = 1; k < n; ++k) {
        carve_terms(sizing, f, scratch);
        if (f.kernel != Kernel::generic)
            carve_storage(sizing, f, scratch);
    }
    const std::size_t bytes = sizing.used() + page_size;
    void *block = cwphymod::allocate(bytes);
    if (!block)
        return 1;
    std::memset(block, 0, bytes);
    const auto aligned = (reinterpret_cast<std::uintptr_t>(block) + page_size - 1) &
                         ~std::uintptr_t{page_size - 1};
    Layout lay(reinterpret_cast<char *>(aligned));
    Part *parts = lay.take<Part>(static_cast<std::size_t>(n));
    f.clocks = lay.take<PartClock>(static_cast<std::size_t>(n));
    for (int32_t k = 0; k < n; ++k) {
        Part &part = parts[k];
        if (k == 0) {
            part = *f.whole;
        } else {
            carve_terms(lay, f, part);
            if (f.kernel != Kernel::generic)
                carve_storage(lay, f, part);
        }
        part.subtract_bits = 0;
        fill_labels(f, part);
    }
    f.parts_block = block;
    f.parts = parts;
    f.num_parts = n;
    f.balance = Balance{};
    for (int32_t k = 0; k < n; ++k)
        f.balance.chunks[k] = f.num_chunks * (k + 1) / n - f.num_chunks * k / n;
    place_parts(f);
    f.pool = cwphymod::step_pool_new(n - 1, run_part, &f);
    if (!f.pool) {
        join_parts(f);
        return 1;
    }
    return n;
}

double *coordinate_array(const MetalObjFast *f, int32_t axis)
{
    return f->pos[f->current] + axis * f->pos_stride;
}

// The current positions array that holds `node` (a settled object's, or its
// part's while the parts hold their own).
const double *node_positions(const MetalObjFast &f, int32_t node)
{
    if (f.scattered)
        for (int32_t k = 0; k < f.num_parts; ++k) {
            const Part &part = f.parts[k];
            if (node >= part.lane_begin && node < part.lane_end)
                return part_positions(f, part, f.current);
        }
    return f.pos[f.current];
}

// The same for velocities.
const double *node_velocities(const MetalObjFast &f, int32_t node)
{
    if (f.scattered)
        for (int32_t k = 0; k < f.num_parts; ++k) {
            const Part &part = f.parts[k];
            if (node >= part.lane_begin && node < part.lane_end && part.own_vel)
                return part.own_vel;
        }
    return f.vx;
}

} // namespace

namespace cwphymod {

bool fast_path_supported(FastPath path)
{
    return cpu_has(path);
}

void set_fast_path_for_testing(FastPath path)
{
    forced_path = path;
}

FastPath fast_path_of(const MetalObjFast *fast)
{
    return fast->path;
}

void set_min_springs_per_thread_for_testing(int64_t springs)
{
    min_springs_per_thread = springs < 0 ? default_min_springs_per_thread : springs;
}

void set_alternate_split_for_testing(bool alternate)
{
    alternate_split = alternate;
}

int64_t fast_spring_count(const MetalObjFast *fast)
{
    return fast->num_evaluated;
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

extern "C" {

MetalObjFast *cw_metal_obj_fast_new(const MetalObj *obj)
{
    return compile(obj);
}

void cw_metal_obj_fast_free(MetalObjFast *fast)
{
    if (!fast)
        return;
    join_parts(*fast);
    std::free(fast->block);
    std::free(fast);
}

void cw_metal_obj_fast_perturb(MetalObjFast *fast, double dt, double damp)
{
    if (fast->path == FastPath::scalar) {
        scalar_step(*fast, dt, damp);
        return;
    }
    if (!fast->pool) {
        sweep_part(*fast, *fast->whole, fast->current, dt, damp, nullptr, true);
        return;
    }
    uint64_t ticks;
    if (fast->balance.choice.alone()) {
        // As on one thread: the whole object, in place.
        gather(*fast);
        const uint64_t start = __rdtsc();
        sweep_part(*fast, *fast->whole, fast->current, dt, damp, nullptr, true);
        ticks = __rdtsc() - start;
    } else {
        // The workers go on with their parts after the caller returns.
        scatter(*fast);
        ticks = cwphymod::step_pool_run(
            fast->pool, cwphymod::StepOrder{dt, damp, fast->current, fast->balance.caller_part});
        fast->current = 1 - fast->current;
    }
    balance_parts(*fast, ticks);
}

int32_t cw_metal_obj_fast_set_threads(MetalObjFast *fast, int32_t threads)
{
    return split(*fast, threads);
}

int32_t cw_metal_obj_fast_num_nodes(const MetalObjFast *fast)
{
    return fast->num_nodes;
}

double cw_metal_obj_fast_get(const MetalObjFast *fast, int32_t node, int32_t axis)
{
    // The caller's own part is complete; any other may still be stepping.
    // (The scalar list has no parts, and no workers.)
    if (fast->pool) {
        const Part &own = fast->parts[fast->balance.caller_part];
        if (node < own.lane_begin || node >= own.lane_end)
            settle(*fast);
    }
    fast->watched_node = node;
    return node_positions(*fast, node)[axis * fast->pos_stride + node];
}

void cw_metal_obj_fast_set(MetalObjFast *fast, int32_t node, int32_t axis, double value)
{
    gather(*fast);
    coordinate_array(fast, axis)[node] = value;
}

void cw_metal_obj_fast_store(const MetalObjFast *fast, MetalObj *obj)
{
    settle(*fast);
    const std::ptrdiff_t ps = fast->pos_stride, vs = fast->vel_stride;
    for (int32_t i = 0; i < fast->num_nodes; ++i) {
        MetalObjNode *node = obj->nodes[i];
        const double *const p = node_positions(*fast, i) + i;
        const double *const v = node_velocities(*fast, i) + i;
        node->x = p[0];
        node->y = p[ps];
        node->z = p[2 * ps];
        node->vx = v[0];
        node->vy = v[vs];
        node->vz = v[2 * vs];
    }
}

} // extern "C"
