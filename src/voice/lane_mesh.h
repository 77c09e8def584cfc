// Several copies of one metal object stepped together, one copy per vector
// lane: the voices of one instrument share their wiring, so a step of sixteen
// voices is the same walk over the mesh as a step of one, with every
// arithmetic operation done on sixteen values at once (two AVX-512 registers,
// four AVX2 or eight SSE2 ones). Each lane does exactly
// the arithmetic of cw_metal_obj_perturb() on its own copy, with its own step
// size and damping factor, so every lane has the bits the reference step
// would give that copy alone.
//
// Each spring is evaluated once, at its lower node: for the spring from node
// a to node b (a < b) the term of a is d * (1 - L) with d = p(a) - p(b), and
// the term of b is its exact negative (in IEEE arithmetic p(b) - p(a) =
// -(p(a) - p(b)), the squares and the length are the same, and a product with
// a negated factor is the negated product). Each node adds its terms in its
// own slot order, starting from +0, so every sum is the reference's; a
// node's own springs are evaluated where their slots add them, so their
// terms go from the square root to the sum in registers. Walking the nodes
// in order, a node's position is read last by its own springs, so it is
// updated right after its velocity: the step runs in place. The walk reads
// each slot as two offsets made at compile, and a spring to the next node
// hands its term over in registers rather than through memory.
//
// No GTK; no allocation after compile. step() may run on an audio thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cw_metal_obj.h"

namespace voice {

//! Copies of the object stepped at once; two AVX-512 registers of doubles.
constexpr int32_t lanes = 16;

//! The instruction sets the step is compiled for, best first.
enum class LanePath : int32_t { avx512, avx2, sse2 };

//! The best path this processor runs.
LanePath best_lane_path();

//! The path every later LaneBatch::step() takes (benchmarks and tests on a
//! machine with more than it); it must be supported. Not while steps run.
void set_lane_path(LanePath path);

//! One slot of a node as the step walks it. `partner`: the other end's
//! position, in doubles from the first (a spring computed here), or one of
//! the reads below. `term`: where the spring's term is, in doubles from the
//! first term, or carry_term (the term handed to the next node in registers).
struct LaneSlot {
    static constexpr int32_t read_ring = -1;  // subtract the term at `term`
    static constexpr int32_t read_carry = -2; // subtract the carried term
    static constexpr int32_t carry_term = -1;
    int32_t partner;
    int32_t term;
};

//! The wiring of a mesh, compiled once and shared by every LaneBatch of it.
class LaneWiring {
public:
    //! Compiles `obj`'s wiring and its positions as the rest state. Null when
    //! the object is incomplete (an empty slot, a neighbour from elsewhere).
    static std::unique_ptr<LaneWiring> compile(const MetalObj &obj);

    int32_t num_nodes() const { return num_nodes_; }
    //! Springs evaluated per step and lane: one square root each.
    int64_t num_springs() const { return static_cast<int64_t>(partner_.size()); }
    //! Nodes whose slots the step has written out for their shape (the
    //! others walk their slots one by one, with the same bits).
    int32_t nodes_written_out() const;
    //! Rest position of `node` on axis 0 (x), 1 (y) or 2 (z).
    double rest(int32_t node, int32_t axis) const { return rest_[3 * node + axis]; }

private:
    friend class LaneBatch;
    void lay_out_slots(const std::vector<std::pair<int32_t, int32_t>> &reads);

    int32_t num_nodes_ = 0;
    int32_t ring_mask_ = 0;     // terms kept in a ring of ring_mask_ + 1 springs
    bool in_place_ = true;      // every spring's partner lies above its node
    std::vector<uint8_t> fixed_;
    std::vector<int32_t> own_begin_;  // per node + 1: its springs in partner_
    std::vector<int32_t> partner_;    // per spring: the other end
    std::vector<int32_t> slot_begin_; // per node + 1: its slots in slot_ref_
    std::vector<int32_t> slot_ref_;   // per slot: spring << 1 | subtract
    std::vector<LaneSlot> slots_;     // per slot: what the step reads and writes
    std::vector<uint8_t> shape_;      // per node: its shape's case in the step, or 0
    std::vector<double> rest_;        // 3 per node
};

//! `lanes` copies of one mesh: positions, velocities and per-lane constants.
class LaneBatch {
public:
    //! Every lane at rest, with step size 0 and damping factor 1.
    explicit LaneBatch(const LaneWiring &wiring);
    ~LaneBatch();
    LaneBatch(const LaneBatch &) = delete;
    LaneBatch &operator=(const LaneBatch &) = delete;

    //! Puts `lane` back at rest: rest positions, velocities 0.
    void reset_lane(int32_t lane);
    double position(int32_t node, int32_t axis, int32_t lane) const
    {
        return pos_[(3 * node + axis) * lanes + lane];
    }
    void set_position(int32_t node, int32_t axis, int32_t lane, double value)
    {
        pos_[(3 * node + axis) * lanes + lane] = value;
    }
    //! The step size and damping factor `lane` is stepped with.
    void set_constants(int32_t lane, double dt, double damp)
    {
        dt_[lane] = dt;
        damp_[lane] = damp;
    }
    double dt(int32_t lane) const { return dt_[lane]; }
    double damp(int32_t lane) const { return damp_[lane]; }
    //! Whether step() steps `lane` (at first every lane). A lane left out
    //! keeps its state; one at rest with step size 0 would keep it anyway.
    void set_live(int32_t lane, bool live);
    //! The positions of `node` on `axis` in every lane, lane by lane.
    const double *positions(int32_t node, int32_t axis) const
    {
        return pos_ + (3 * node + axis) * lanes;
    }

    //! One step of every lane, as cw_metal_obj_perturb(copy, dt, damp).
    void step();
    //! The same on a chosen path (tests, benchmarks); it must be supported.
    void step(LanePath path);

private:
    const LaneWiring &wiring_;
    double *pos_;   // [node][axis][lane]
    double *vel_;   // likewise
    double *terms_; // [ring spring][axis][lane]
    double *dt_;
    double *damp_;
    uint32_t live_ = (lanes < 32 ? 1u << lanes : 0u) - 1u;
};

} // namespace voice
