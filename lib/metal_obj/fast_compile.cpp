// The second half of compiling an object: from what fast_wiring.cpp read of
// it, one block is laid out for every array the steps use (Layout runs once
// to size it and once to carve it), the arrays are filled, and the kernel
// for the mesh is chosen.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "fast_compile.h"

namespace cwphymod {

namespace {

// Every array of the object, carved out of `lay`: a sizing layout only
// learns the block's size, and leaves `f` without arrays.
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

// The compiled object for plan `p`, its block carved and zeroed; null when
// memory runs out.
MetalObjFast *make_object(Plan &p, FastPath path)
{
    Layout sizing(nullptr);
    MetalObjFast probe{};
    carve(sizing, probe, p);
    const std::size_t bytes = sizing.used() + block_alignment;
    void *block = allocate(bytes);
    auto *f = static_cast<MetalObjFast *>(allocate(sizeof(MetalObjFast)));
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
    f->num_nodes = p.n;
    f->num_lanes = p.lanes;
    f->num_chunks = p.chunks;
    f->path = path;
    f->num_evaluated = p.num_springs;
    return f;
}

// Every node's position and velocity from the records.
void load_state(const MetalObj *obj, MetalObjFast &f)
{
    double *const x = f.pos[0];
    for (int32_t i = 0; i < f.num_nodes; ++i) {
        const MetalObjNode *node = obj->nodes[i];
        x[i] = node->x;
        x[i + f.pos_stride] = node->y;
        x[i + 2 * f.pos_stride] = node->z;
        f.vx[i] = node->vx;
        f.vy[i] = node->vy;
        f.vz[i] = node->vz;
    }
}

// Which lanes move, and what each chunk's nodes do.
void fill_chunks(const MetalObj *obj, const Plan &p, MetalObjFast &f)
{
    auto *movable = const_cast<int64_t *>(f.movable);
    auto *chunk_moves = const_cast<uint8_t *>(f.chunk_moves);
    for (int32_t i = 0; i < p.n; ++i)
        movable[i] = obj->nodes[i]->fixed ? 0 : -1;
    for (int32_t c = 0; c < p.chunks; ++c) {
        int32_t moving = 0;
        for (int32_t l = c * lanes_per_chunk; l < (c + 1) * lanes_per_chunk; ++l)
            moving += movable[l] ? 1 : 0;
        chunk_moves[c] = moving == lanes_per_chunk ? chunk_moves_all
                         : moving                   ? chunk_moves_some
                                                    : chunk_still;
    }
}

// The dense classes with their lanes and masks, and the sparse springs.
void fill_classes(const Plan &p, const Wiring &w, MetalObjFast &f)
{
    int32_t dense_of_class[max_classes];
    for (int32_t c = 0; c < p.num_classes; ++c) {
        f.class_offset[c] = p.class_offset[c];
        dense_of_class[c] = -1;
        if (!p.class_dense[c])
            continue;
        DenseClass &d = f.dense[f.num_dense];
        dense_of_class[c] = f.num_dense++;
        d.offset = p.class_offset[c];
        d.cls = c;
        d.lane_begin = p.class_first[c] / lanes_per_chunk * lanes_per_chunk;
        d.lane_end = (p.class_last[c] / lanes_per_chunk + 1) * lanes_per_chunk;
    }
    for (int64_t k = 0; k < p.movable_slots; ++k) {
        const SlotRef &ref = w.refs[k];
        if (k > 0 && same_spring(w.refs[k - 1], ref))
            continue;
        const int32_t c = w.slot_class[ref.pos];
        if (dense_of_class[c] >= 0) {
            const DenseClass &d = f.dense[dense_of_class[c]];
            const_cast<int64_t *>(d.mask)[ref.lower] = -1;
            const_cast<uint8_t *>(d.lane_bits)[ref.lower / lanes_per_chunk] |=
                static_cast<uint8_t>(1u << (ref.lower % lanes_per_chunk));
        } else {
            f.sparse[f.num_sparse++] = SparseSpring{ref.lower, ref.lower + ref.offset, c};
        }
    }
}

// The labels in their order, and which of them each chunk's nodes use.
void fill_label_use(const MetalObj *obj, const Plan &p, const Wiring &w, MetalObjFast &f)
{
    int32_t position_of[max_labels] = {};
    for (int32_t l = 0; l < p.num_labels; ++l) {
        f.label_class[l] = p.label_order[l] / 2;
        f.label_upper[l] = p.label_order[l] % 2;
        position_of[p.label_order[l]] = l;
    }
    auto *chunk_labels = const_cast<uint32_t *>(f.chunk_labels);
    for (int32_t i = 0; i < p.n; ++i) {
        if (obj->nodes[i]->fixed)
            continue;
        for (int64_t pos = w.first_slot[i]; pos < w.first_slot[i + 1]; ++pos)
            chunk_labels[i / lanes_per_chunk] |= 1u << position_of[slot_label(w, i, pos)];
    }
    f.num_labels = p.num_labels;
}

// The arrays of the vector paths, the object's one part, and its kernel.
void fill_vector(const MetalObj *obj, const Plan &p, const Wiring &w, MetalObjFast &f)
{
    fill_chunks(obj, p, f);
    fill_classes(p, w, f);
    fill_label_use(obj, p, w, f);
    f.num_parts = 1;
    f.parts = f.whole;
    f.whole->lane_begin = 0;
    f.whole->lane_end = p.lanes;
    fill_labels(f, *f.whole);
    f.kernel = choose_kernel(f);
}

// The scalar path's springs, and each movable node's slots.
void fill_scalar(const MetalObj *obj, const Plan &p, const Wiring &w, MetalObjFast &f)
{
    for (int64_t k = 0; k < p.movable_slots; ++k) {
        const SlotRef &ref = w.refs[k];
        f.springs[w.slot_spring[ref.pos]] = Spring{ref.lower, ref.lower + ref.offset};
    }
    f.num_springs = p.num_springs;
    int32_t slot = 0;
    for (int32_t i = 0; i < p.n; ++i) {
        if (obj->nodes[i]->fixed)
            continue;
        f.movers[f.num_movers] = i;
        f.mover_slots[f.num_movers++] = slot;
        for (int64_t pos = w.first_slot[i]; pos < w.first_slot[i + 1]; ++pos, ++slot) {
            f.slot_spring[slot] = w.slot_spring[pos];
            f.slot_subtract[slot] = w.neighbour[pos] < i ? 1 : 0;
        }
    }
    f.mover_slots[f.num_movers] = slot;
}

} // namespace

void carve_terms(Layout &lay, const MetalObjFast &f, Part &part)
{
    for (int32_t c = 0; c < f.num_classes; ++c) {
        double *t = lay.take<double>(3 * static_cast<std::size_t>(f.term_stride));
        part.terms[c] = t ? t + f.front : nullptr;
    }
}

void carve_storage(Layout &lay, const MetalObjFast &f, Part &part)
{
    for (int32_t b = 0; b < 2; ++b)
        part.own_pos[b] = lay.take<double>(3 * static_cast<std::size_t>(f.pos_stride), page_size);
    part.own_vel = lay.take<double>(3 * static_cast<std::size_t>(f.vel_stride), page_size);
}

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

MetalObjFast *compile(const MetalObj *obj)
{
    if (!obj || obj->num_nodes < 0)
        return nullptr;
    Plan p;
    Wiring w;
    FastPath path = FastPath::scalar;
    if (!read_wiring(obj, p, w, path))
        return nullptr;
    MetalObjFast *f = make_object(p, path);
    if (!f)
        return nullptr;
    load_state(obj, *f);
    if (p.vector)
        fill_vector(obj, p, w, *f);
    else
        fill_scalar(obj, p, w, *f);
    return f;
}

} // namespace cwphymod
