// The first half of compiling an object: its neighbour pointers become node
// numbers, every slot of a movable node names a spring, the springs fall
// into classes, and the labels get an order in which every node meets its
// slots (see fast_object.h). Nothing here is sized for the compiled object
// yet; that is fast_compile.cpp's.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "fast_compile.h"
#include "fast_kernels.h"

namespace cwphymod {

namespace {

FastPath forced_path = FastPath::automatic;

// A class whose springs fill less than half of its lane span is evaluated
// spring by spring instead of over the whole span.
constexpr int64_t dense_fill_denominator = 2;

struct NodeKey {
    const MetalObjNode *node;
    int32_t index;
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

// The node numbers of the neighbour pointers, found by address in a sorted
// copy of the node list; the movable nodes and their slots are counted on
// the way. False when a node or a neighbour is missing.
bool number_neighbours(const MetalObj *obj, Plan &p, Wiring &w)
{
    const int32_t n = p.n;
    Scratch<NodeKey> keys(static_cast<std::size_t>(n));
    w.first_slot.make(static_cast<std::size_t>(n) + 1);
    if (!keys || !w.first_slot)
        return false;
    int64_t total_slots = 0;
    for (int32_t i = 0; i < n; ++i) {
        const MetalObjNode *node = obj->nodes[i];
        if (!node || node->num_neighbours < 0)
            return false;
        keys[i] = NodeKey{node, i};
        w.first_slot[i] = total_slots;
        total_slots += node->num_neighbours;
        if (!node->fixed) {
            ++p.num_movers;
            p.movable_slots += node->num_neighbours;
        }
    }
    w.first_slot[n] = total_slots;
    w.total_slots = total_slots;
    std::sort(keys.get(), keys.get() + n, [](const NodeKey &l, const NodeKey &r) {
        return std::less<const MetalObjNode *>()(l.node, r.node);
    });
    if (!w.neighbour.make(static_cast<std::size_t>(total_slots)))
        return false;
    for (int32_t i = 0; i < n; ++i) {
        const MetalObjNode *node = obj->nodes[i];
        for (int32_t s = 0; s < node->num_neighbours; ++s) {
            const MetalObjNode *q = node->neighbours[s];
            const NodeKey *hit = std::lower_bound(
                keys.get(), keys.get() + n, q, [](const NodeKey &k, const MetalObjNode *v) {
                    return std::less<const MetalObjNode *>()(k.node, v);
                });
            if (!q || hit == keys.get() + n || hit->node != q)
                return false;
            w.neighbour[w.first_slot[i] + s] = hit->index;
        }
    }
    return true;
}

// Which ends of each spring read its term (SlotRef::ends), for refs sorted
// so that the slots of one spring lie together.
void mark_ends(const MetalObj *obj, int64_t count, Scratch<SlotRef> &refs)
{
    for (int64_t k = 0; k < count;) {
        int64_t end = k;
        bool lower_reads = false, upper_reads = false;
        for (; end < count && same_spring(refs[k], refs[end]); ++end)
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
}

// Every slot of a movable node names one spring: its class and lower node.
// The ends that read a spring are known only once its slots lie together,
// and they split classes, hence the second sort.
bool list_slots(const MetalObj *obj, const Plan &p, Wiring &w)
{
    if (!w.refs.make(static_cast<std::size_t>(p.movable_slots)))
        return false;
    int64_t r = 0;
    for (int32_t i = 0; i < p.n; ++i) {
        if (obj->nodes[i]->fixed)
            continue;
        for (int64_t pos = w.first_slot[i]; pos < w.first_slot[i + 1]; ++pos) {
            const int32_t q = w.neighbour[pos];
            int32_t repeat = 0;
            for (int64_t before = w.first_slot[i]; before < pos; ++before)
                repeat += w.neighbour[before] == q ? 1 : 0;
            w.refs[r++] = SlotRef{q > i ? q - i : i - q, repeat, std::min(i, q),
                                  static_cast<int32_t>(pos), q < i ? 1 : 0, 0};
        }
    }
    std::sort(w.refs.get(), w.refs.get() + p.movable_slots, ref_less);
    mark_ends(obj, p.movable_slots, w.refs);
    std::sort(w.refs.get(), w.refs.get() + p.movable_slots, ref_less);
    return true;
}

// Class and spring number of every movable slot, and the span of each
// class's lower nodes; `classes` counts them all, even past max_classes
// (which no vector path serves).
bool number_classes(Plan &p, Wiring &w, int32_t &classes)
{
    w.slot_class.make(static_cast<std::size_t>(w.total_slots));
    w.slot_spring.make(static_cast<std::size_t>(w.total_slots));
    if (!w.slot_class || !w.slot_spring)
        return false;
    classes = 0;
    for (int64_t k = 0; k < p.movable_slots; ++k) {
        const SlotRef &ref = w.refs[k];
        const bool new_class = k == 0 || !same_class(w.refs[k - 1], ref);
        const bool new_spring = k == 0 || !same_spring(w.refs[k - 1], ref);
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
        w.slot_class[ref.pos] = classes - 1;
        w.slot_spring[ref.pos] = p.num_springs - 1;
    }
    return true;
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

// The label order of p.num_classes classes, from which label follows which
// in the nodes' slots; false when there is none.
bool plan_label_order(const MetalObj *obj, Plan &p, const Wiring &w)
{
    bool after[max_labels][max_labels] = {};
    bool used[max_labels] = {};
    for (int32_t i = 0; i < p.n; ++i) {
        if (obj->nodes[i]->fixed)
            continue;
        int32_t prev = -1;
        for (int64_t pos = w.first_slot[i]; pos < w.first_slot[i + 1]; ++pos) {
            const int32_t label = slot_label(w, i, pos);
            used[label] = true;
            if (prev >= 0)
                after[prev][label] = true;
            prev = label;
        }
    }
    return order_labels(2 * p.num_classes, after, used, p.label_order, &p.num_labels);
}

// The path a test forced, or the best this processor runs; the scalar list
// for an object whose classes no vector path serves.
FastPath choose_path(const MetalObj *obj, Plan &p, const Wiring &w, int32_t classes)
{
    FastPath path = forced_path;
    if (path == FastPath::automatic || !fast_path_supported(path))
        path = best_vector_path();
    p.vector = path != FastPath::scalar && classes <= max_classes;
    if (p.vector) {
        p.num_classes = classes;
        p.vector = plan_label_order(obj, p, w);
    }
    if (!p.vector)
        path = FastPath::scalar;
    return path;
}

// The lanes, and for the vector paths which classes are dense and how far
// their reads reach beyond the lanes.
void size_lanes(Plan &p)
{
    p.lanes = round_up(p.n, lanes_per_chunk);
    p.chunks = p.lanes / lanes_per_chunk;
    if (!p.vector)
        return;
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

} // namespace

bool read_wiring(const MetalObj *obj, Plan &p, Wiring &w, FastPath &path)
{
    p.n = obj->num_nodes;
    int32_t classes = 0;
    if (!number_neighbours(obj, p, w) || !list_slots(obj, p, w) ||
        !number_classes(p, w, classes))
        return false;
    path = choose_path(obj, p, w, classes);
    size_lanes(p);
    return true;
}

void set_fast_path_for_testing(FastPath path)
{
    forced_path = path;
}

} // namespace cwphymod
