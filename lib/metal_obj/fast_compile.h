// Compiling a metal object for the fast stepper, in two halves: reading its
// wiring into classes of springs and a label order (fast_wiring.cpp), then
// laying out and filling the compiled object (fast_compile.cpp). Internal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "alloc.h"
#include "fast_object.h"

namespace cwphymod {

// An array from the library's allocator, released on scope exit; empty until
// made.
template <class T> class Scratch {
public:
    Scratch() = default;
    explicit Scratch(std::size_t n) { make(n); }
    ~Scratch() { std::free(p_); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    // Allocates n elements (an empty array is one byte, so that null always
    // means the allocation failed); false when it failed.
    bool make(std::size_t n)
    {
        p_ = static_cast<T *>(allocate(n ? n * sizeof(T) : 1));
        return p_ != nullptr;
    }
    explicit operator bool() const { return p_ != nullptr; }
    T &operator[](std::size_t i) { return p_[i]; }
    const T &operator[](std::size_t i) const { return p_[i]; }
    T *get() { return p_; }

private:
    T *p_ = nullptr;
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

inline bool same_class(const SlotRef &l, const SlotRef &r)
{
    return l.offset == r.offset && l.repeat == r.repeat && l.ends == r.ends;
}

inline bool same_spring(const SlotRef &l, const SlotRef &r)
{
    return same_class(l, r) && l.lower == r.lower;
}

inline int32_t round_up(int32_t v, int32_t to)
{
    return (v + to - 1) / to * to;
}

// The object's wiring in node numbers, as the compiler reads it.
struct Wiring {
    int64_t total_slots = 0;
    Scratch<int64_t> first_slot; // per node and one past: its first slot in `neighbour`
    Scratch<int32_t> neighbour;  // per slot: the neighbour's node number
    Scratch<SlotRef> refs;       // per movable slot, by class, then spring
    // Per slot of a movable node, by flattened position.
    Scratch<int32_t> slot_class;
    Scratch<int32_t> slot_spring;
};

// The label of slot `pos` of movable node `node`: twice its class, plus one
// where the node is the spring's upper end.
inline int32_t slot_label(const Wiring &w, int32_t node, int64_t pos)
{
    return 2 * w.slot_class[pos] + (w.neighbour[pos] < node ? 1 : 0);
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

// Reads the wiring of `obj` (num_nodes >= 0) into `w` and `p`, and chooses
// the path it is compiled for. False when the object is not complete or
// memory runs out.
bool read_wiring(const MetalObj *obj, Plan &p, Wiring &w, FastPath &path);

} // namespace cwphymod
