// The fast stepper's compiled object: a metal object in structure-of-arrays
// form. Internal: nothing here is exported from the shared library.
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
// Where each concern lives: fast_wiring.cpp reads an object's wiring into
// classes and a label order, fast_compile.cpp lays the arrays out and fills
// them, fast_kernels.cpp holds the vector sweeps (fast_kernel.inc,
// fast_fused_kernel.inc) once per instruction set, fast_scalar.cpp the scalar
// list, fast_split.cpp, fast_handover.cpp and fast_balance.cpp the step split
// across threads, and fast_api.cpp the C entry points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cw_metal_obj_fast.h"
#include "fast_step.h"
#include "split_choice.h"
#include "step_pool.h"

namespace cwphymod {

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
constexpr std::size_t block_alignment = 64;
constexpr std::size_t page_size = 4096;
constexpr int32_t max_parts = 8;

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

// How a split step is run (see balance_parts).
struct Balance {
    int32_t chunks[max_parts] = {}; // per part
    int32_t caller_part = 0; // the part the caller steps itself
    SplitChoice choice; // whether this window runs on the caller alone
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
    bool ahead; // terms a vector ahead of the sums (measured per mesh), where
                // the instruction set's registers hold them (ahead_pays)
    bool two_pass; // else the terms of a block before its sums, where that
                   // pays on the instruction set (two_pass_pays)
};

// The plane's eight neighbours: up-left, up and up-right read stored terms,
// left the offset-1 class's upper end, right and the three below the lower
// ends of the four classes.
constexpr LabelPlan plane_labels{4, 8, 0x0f, 0, 0xf0, 0x08, 0x32100000, 0xe, true, false};
// The tube's ring neighbours (the ring-closing springs are a sparse class,
// labels 1 and 3), then the ring above (lower end) and below (stored).
constexpr LabelPlan tube_labels{2, 6, 0x29, 0x0a, 0x14, 0x01, 0x10000, 0x2, false, true};
// The rod's two neighbours.
constexpr LabelPlan rod_labels{1, 2, 0x01, 0, 0x2, 0x1, 0, 0, true, false};

} // namespace cwphymod

struct MetalObjFast {
    int32_t num_nodes;
    int32_t num_lanes;
    int32_t num_chunks;
    cwphymod::FastPath path;
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
    int32_t class_offset[cwphymod::max_classes];
    int32_t num_dense;
    cwphymod::DenseClass *dense;
    int32_t num_sparse;
    cwphymod::SparseSpring *sparse;
    int32_t num_labels;
    cwphymod::Kernel kernel;
    int32_t label_class[cwphymod::max_labels];
    int32_t label_upper[cwphymod::max_labels];
    // Parts of a step: one built-in part covering the object, or a part per
    // thread with the pool that runs them.
    int32_t num_parts;
    cwphymod::Part *parts;
    cwphymod::PartClock *clocks; // per part of a split step
    cwphymod::Part *whole;
    void *parts_block;
    cwphymod::StepPool *pool;
    // Written by the stepping thread at every step, so they keep a cache line
    // away from the fields the workers read: which position buffer is
    // current, and how a split step is run.
    char apart[cwphymod::block_alignment];
    int32_t current;
    bool scattered; // the parts' own arrays hold their nodes (see scatter)
    cwphymod::Balance balance;
    mutable int32_t watched_node; // the last node read through cw_metal_obj_fast_get
    // Scalar path.
    int32_t num_springs;
    cwphymod::Spring *springs;
    double *sx, *sy, *sz;
    int32_t num_movers;
    int32_t *movers;           // movable node numbers
    int32_t *mover_slots;      // num_movers + 1 offsets into the two below
    int32_t *slot_spring;
    uint8_t *slot_subtract;
    void *block;
};

namespace cwphymod {

// Carves aligned arrays out of one block: run once without a base to learn
// the size, then again on the allocated block, so that the two can never
// disagree.
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

// A part's arrays, shared by the object's own part (fast_compile.cpp) and
// the parts of a split step (fast_split.cpp).

// The term arrays of one part, each starting `front` lanes before node 0.
void carve_terms(Layout &lay, const MetalObjFast &f, Part &part);

// A part's own positions and velocities, each array on pages of its own.
void carve_storage(Layout &lay, const MetalObjFast &f, Part &part);

// A part's labels point into its own term arrays.
void fill_labels(const MetalObjFast &f, Part &part);

// Compiles `obj` (cw_metal_obj_fast_new); null as documented there.
MetalObjFast *compile(const MetalObj *obj);

} // namespace cwphymod
