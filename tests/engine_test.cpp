// The fast stepper against the reference step, bit for bit, on every path.
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "alloc.h"
#include "cw_metal_obj.h"
#include "metal_obj_ptr.h"
#include "cw_metal_obj_fast.h"
#include "fast_step.h"
#include "instrument.h"
#include "render.h"

namespace {

using cwphymod::FastPath;

// Puts the automatic choice back whatever a test forced.
class PathGuard {
public:
    explicit PathGuard(FastPath path) { cwphymod::set_fast_path_for_testing(path); }
    ~PathGuard() { cwphymod::set_fast_path_for_testing(FastPath::automatic); }
};

// Lets any mesh be split across threads, however small, for the test's scope.
class AnySizeSplits {
public:
    AnySizeSplits() { cwphymod::set_min_springs_per_thread_for_testing(0); }
    ~AnySizeSplits() { cwphymod::set_min_springs_per_thread_for_testing(-1); }
};

// Threads of this process, from the kernel's list of them.
int thread_count()
{
    int n = 0;
    if (GDir *dir = g_dir_open("/proc/self/task", 0, nullptr)) {
        while (g_dir_read_name(dir))
            ++n;
        g_dir_close(dir);
    }
    return n;
}

std::vector<FastPath> supported_paths()
{
    std::vector<FastPath> paths;
    for (FastPath p : {FastPath::scalar, FastPath::sse2, FastPath::avx2, FastPath::avx512})
        if (cwphymod::fast_path_supported(p))
            paths.push_back(p);
    return paths;
}

const char *path_name(FastPath p)
{
    switch (p) {
    case FastPath::scalar:
        return "scalar";
    case FastPath::sse2:
        return "sse2";
    case FastPath::avx2:
        return "avx2";
    case FastPath::avx512:
        return "avx512";
    default:
        return "automatic";
    }
}

uint64_t bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// The same bits, or both NaN: the sign bit of a NaN is the one thing the two
// steppers may disagree on, and nothing downstream can tell NaNs apart.
bool same(double a, double b)
{
    return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

// Empty when every position and velocity matches, else the first mismatch.
std::string compare_records(const MetalObj *want, const MetalObj *got)
{
    for (int32_t i = 0; i < want->num_nodes; ++i) {
        const MetalObjNode *a = want->nodes[i];
        const MetalObjNode *b = got->nodes[i];
        const double wa[] = {a->x, a->y, a->z, a->vx, a->vy, a->vz};
        const double wb[] = {b->x, b->y, b->z, b->vx, b->vy, b->vz};
        for (int c = 0; c < 6; ++c)
            if (!same(wa[c], wb[c]))
                return "node " + std::to_string(i) + " field " + std::to_string(c) + ": " +
                       std::to_string(wa[c]) + " vs " + std::to_string(wb[c]);
    }
    return {};
}

struct Shape {
    int32_t type;
    int32_t a, b;
};

MetalObj *build(const Shape &s, double spacing)
{
    switch (s.type) {
    case TYPE_TUBE:
        return cw_metal_obj_new_tube(s.a, s.b, spacing);
    case TYPE_ROD:
        return cw_metal_obj_new_rod(s.a, spacing);
    default:
        return cw_metal_obj_new_plane(s.a, s.b, spacing);
    }
}

std::string describe(const Shape &s)
{
    static const char *names[] = {"tube", "rod", "plane"};
    return std::string(names[s.type]) + " " + std::to_string(s.a) + "x" + std::to_string(s.b);
}

// Steps a copy of `twin` on the records and another through the fast stepper
// on the forced path, then compares every field.
// `expected` is the path the object should get: the forced one, or the scalar
// list for meshes the vector paths cannot serve.
// With `threads` above 1 every step is split across that many threads (or
// as many as the mesh has chunks of eight nodes).
std::string run_both(MetalObj *reference, MetalObj *twin, FastPath path, int steps, double dt,
                     double damp, FastPath expected = FastPath::automatic, int32_t threads = 1)
{
    PathGuard guard(path);
    FastPtr fast(cw_metal_obj_fast_new(twin));
    if (!fast)
        return "compile failed";
    if (threads > 1) {
        AnySizeSplits any_size;
        const int32_t want = std::min(threads, (twin->num_nodes + 7) / 8);
        const int32_t got = cw_metal_obj_fast_set_threads(fast.get(), threads);
        if (got != want)
            return "split across " + std::to_string(got) + " threads instead of " +
                   std::to_string(want);
    }
    if (expected == FastPath::automatic)
        expected = path;
    if (cwphymod::fast_path_of(fast.get()) != expected)
        return std::string("compiled for ") + path_name(cwphymod::fast_path_of(fast.get())) +
               " instead of " + path_name(expected);
    for (int i = 0; i < steps; ++i) {
        cw_metal_obj_perturb(reference, dt, damp);
        cw_metal_obj_fast_perturb(fast.get(), dt, damp);
    }
    cw_metal_obj_fast_store(fast.get(), twin);
    return compare_records(reference, twin);
}

// Every shape at a spread of sizes the window allows, the largest included,
// struck across (x) and along (z), on every path this processor can run.
TEST(FastStepper, MatchesReferenceBitForBitOnEveryShapeSizeAndPath)
{
    const Shape shapes[] = {
        {TYPE_TUBE, 3, 3},   {TYPE_TUBE, 10, 5},  {TYPE_TUBE, 4, 29},  {TYPE_TUBE, 17, 8},
        {TYPE_TUBE, 30, 30}, {TYPE_ROD, 3, 0},    {TYPE_ROD, 5, 0},    {TYPE_ROD, 64, 0},
        {TYPE_ROD, 200, 0},  {TYPE_PLANE, 3, 3},  {TYPE_PLANE, 7, 9},  {TYPE_PLANE, 30, 3},
        {TYPE_PLANE, 3, 39}, {TYPE_PLANE, 13, 8}, {TYPE_PLANE, 30, 39},
    };
    constexpr int steps = 1500;
    for (const Shape &s : shapes) {
        for (FastPath path : supported_paths()) {
            for (int axis : {CW_METAL_OBJ_X, CW_METAL_OBJ_Z}) {
                ObjPtr reference(build(s, 1.7));
                ObjPtr twin(build(s, 1.7));
                ASSERT_TRUE(reference && twin);
                // A movable node near the middle of the second row or ring.
                const int32_t node = s.type == TYPE_ROD ? s.a / 2 : s.b + s.b / 2;
                for (MetalObj *o : {reference.get(), twin.get()})
                    (axis == CW_METAL_OBJ_X ? o->nodes[node]->x : o->nodes[node]->z) += 0.8;
                EXPECT_EQ(run_both(reference.get(), twin.get(), path, steps, 0.31, 0.9993), "")
                    << describe(s) << " on " << path_name(path) << ", struck in "
                    << (axis == CW_METAL_OBJ_X ? "x" : "z");
            }
        }
    }
}

// The same on 2, 3 and 4 threads: each thread steps a run of nodes, and the
// springs across a boundary are evaluated on both sides of it.
TEST(FastThreads, MatchReferenceBitForBitOnEveryShapeSizeAndPath)
{
    const Shape shapes[] = {
        {TYPE_TUBE, 3, 3},   {TYPE_TUBE, 10, 5},  {TYPE_TUBE, 4, 29},   {TYPE_TUBE, 17, 8},
        {TYPE_TUBE, 30, 30}, {TYPE_ROD, 3, 0},    {TYPE_ROD, 64, 0},    {TYPE_ROD, 200, 0},
        {TYPE_PLANE, 3, 3},  {TYPE_PLANE, 7, 9},  {TYPE_PLANE, 3, 39},  {TYPE_PLANE, 13, 8},
        {TYPE_PLANE, 30, 39},
    };
    constexpr int steps = 250;
    for (const Shape &s : shapes) {
        for (FastPath path : supported_paths()) {
            if (path == FastPath::scalar)
                continue;
            for (int32_t threads : {2, 3, 4}) {
                ObjPtr reference(build(s, 1.7));
                ObjPtr twin(build(s, 1.7));
                ASSERT_TRUE(reference && twin);
                const int32_t node = s.type == TYPE_ROD ? s.a / 2 : s.b + s.b / 2;
                for (MetalObj *o : {reference.get(), twin.get()})
                    o->nodes[node]->x += 0.8;
                EXPECT_EQ(run_both(reference.get(), twin.get(), path, steps, 0.31, 0.9993,
                                   FastPath::automatic, threads),
                          "")
                    << describe(s) << " on " << path_name(path) << ", " << threads << " threads";
            }
        }
    }
}

// A split object that turns to stepping on the caller alone and back (as it
// does while other programs hold the cores) keeps the bits, from either
// position buffer.
TEST(FastThreads, TurnsAloneAndBackKeepTheBits)
{
    cwphymod::set_alternate_split_for_testing(true);
    const Shape shapes[] = {
        {TYPE_TUBE, 30, 30}, {TYPE_ROD, 200, 0}, {TYPE_PLANE, 13, 8}, {TYPE_PLANE, 30, 39}};
    for (const Shape &s : shapes) {
        for (FastPath path : supported_paths()) {
            if (path == FastPath::scalar)
                continue;
            for (int32_t threads : {2, 3}) {
                ObjPtr reference(build(s, 1.7));
                ObjPtr twin(build(s, 1.7));
                ASSERT_TRUE(reference && twin);
                for (MetalObj *o : {reference.get(), twin.get()})
                    o->nodes[s.b + 1]->z += 0.6;
                EXPECT_EQ(run_both(reference.get(), twin.get(), path, 5 * 97 + 13, 0.29, 0.9991,
                                   FastPath::automatic, threads),
                          "")
                    << describe(s) << " on " << path_name(path) << ", " << threads << " threads";
            }
        }
    }
    cwphymod::set_alternate_split_for_testing(false);
}

// Strikes between steps, and the thread count changed between steps, on the
// largest plane; small meshes and the scalar list stay on one thread unless
// told otherwise.
TEST(FastThreads, StrikesAndThreadChangesBetweenStepsKeepTheBits)
{
    ObjPtr reference(cw_metal_obj_new_plane(30, 39, 4.0));
    ObjPtr twin(cw_metal_obj_new_plane(30, 39, 4.0));
    FastPtr fast(cw_metal_obj_fast_new(twin.get()));
    ASSERT_TRUE(fast);
    EXPECT_EQ(cw_metal_obj_fast_set_threads(fast.get(), 2), 2);
    int32_t struck = 40;
    // Long enough runs for the split to be retuned (and run alone) on the way.
    for (int32_t threads : {3, 1, 4, 2, 8, 1}) {
        for (int i = 0; i < 600; ++i) {
            cw_metal_obj_perturb(reference.get(), 0.2, 0.999);
            cw_metal_obj_fast_perturb(fast.get(), 0.2, 0.999);
        }
        reference->nodes[struck]->x += 0.5;
        cw_metal_obj_fast_set(fast.get(), struck, CW_METAL_OBJ_X,
                              cw_metal_obj_fast_get(fast.get(), struck, CW_METAL_OBJ_X) + 0.5);
        struck += 97;
        EXPECT_GE(cw_metal_obj_fast_set_threads(fast.get(), threads), 1);
    }
    for (int i = 0; i < 150; ++i) {
        cw_metal_obj_perturb(reference.get(), 0.2, 0.999);
        cw_metal_obj_fast_perturb(fast.get(), 0.2, 0.999);
    }
    cw_metal_obj_fast_store(fast.get(), twin.get());
    EXPECT_EQ(compare_records(reference.get(), twin.get()), "");

    ObjPtr small(cw_metal_obj_new_tube(10, 5, 4.0));
    FastPtr small_fast(cw_metal_obj_fast_new(small.get()));
    EXPECT_EQ(cw_metal_obj_fast_set_threads(small_fast.get(), 4), 1);
    PathGuard guard(FastPath::scalar);
    FastPtr listed(cw_metal_obj_fast_new(reference.get()));
    EXPECT_EQ(cw_metal_obj_fast_set_threads(listed.get(), 4), 1);
}

// Tight and loose springs, a plane that has never been struck, a tube of
// two-node rings (each ring spring listed twice from each end), and a step so
// large the mesh blows up to infinities and NaNs.
// The workers may still be on their parts when a step returns: a node read
// right after it, from any part, and a node written between steps, must be
// the whole step's.
TEST(FastThreads, EveryNodeReadRightAfterAStepIsTheWholeStep)
{
    for (const Shape &shape : {Shape{TYPE_PLANE, 30, 39}, Shape{TYPE_TUBE, 30, 30}}) {
        ObjPtr reference(build(shape, 4.0));
        ObjPtr twin(build(shape, 4.0));
        const int32_t n = reference->num_nodes;
        reference->nodes[n / 2]->x += 1.0;
        twin->nodes[n / 2]->x += 1.0;
        FastPtr fast(cw_metal_obj_fast_new(twin.get()));
        ASSERT_TRUE(fast);
        AnySizeSplits any_size;
        for (int32_t threads : {2, 4}) {
            ASSERT_EQ(cw_metal_obj_fast_set_threads(fast.get(), threads), threads);
            int mismatches = 0;
            for (int i = 0; i < 1500; ++i) {
                cw_metal_obj_perturb(reference.get(), 0.2, 0.999);
                cw_metal_obj_fast_perturb(fast.get(), 0.2, 0.999);
                const int32_t node = (i * 131) % n;
                const double got = cw_metal_obj_fast_get(fast.get(), node, CW_METAL_OBJ_Z);
                mismatches += std::memcmp(&got, &reference->nodes[node]->z, sizeof got) ? 1 : 0;
                if (i % 300 == 7) {
                    const int32_t struck = (i * 53) % n;
                    reference->nodes[struck]->y += 0.25;
                    cw_metal_obj_fast_set(
                        fast.get(), struck, CW_METAL_OBJ_Y,
                        cw_metal_obj_fast_get(fast.get(), struck, CW_METAL_OBJ_Y) + 0.25);
                }
            }
            EXPECT_EQ(mismatches, 0) << threads << " threads";
        }
        cw_metal_obj_fast_store(fast.get(), twin.get());
        EXPECT_EQ(compare_records(reference.get(), twin.get()), "");
    }
}

TEST(FastStepper, MatchesReferenceAtExtremes)
{
    struct Case {
        Shape shape;
        double spacing, dt, damp;
        int steps;
    };
    const Case cases[] = {
        {{TYPE_PLANE, 9, 11}, 0.1, 0.5, 1.0, 800},
        {{TYPE_TUBE, 8, 7}, 16.0, 0.05, 0.999, 800},
        {{TYPE_TUBE, 5, 2}, 2.0, 0.3, 0.999, 800},
        {{TYPE_PLANE, 2, 2}, 3.0, 0.3, 0.999, 50},
        {{TYPE_ROD, 2, 0}, 3.0, 0.3, 0.999, 50},
        {{TYPE_TUBE, 6, 6}, 16.0, 2.8, 1.0, 400},
        {{TYPE_PLANE, 6, 6}, 16.0, 2.8, 1.0, 400},
    };
    for (const Case &c : cases) {
        for (FastPath path : supported_paths()) {
            ObjPtr reference(build(c.shape, c.spacing));
            ObjPtr twin(build(c.shape, c.spacing));
            ASSERT_TRUE(reference && twin);
            EXPECT_EQ(run_both(reference.get(), twin.get(), path, c.steps, c.dt, c.damp), "")
                << describe(c.shape) << " spacing " << c.spacing << " dt " << c.dt << " on "
                << path_name(path);
        }
    }
}

// A hand-wired object beyond the builders: one-sided springs, a neighbour
// listed twice, a node listing itself, a node without springs and springs
// between distant node numbers.
MetalObj *odd_object(int32_t n, uint32_t seed, int extra)
{
    MetalObj *obj = cw_metal_obj_new(n);
    std::vector<std::vector<int32_t>> lists(n);
    uint32_t state = seed;
    auto next = [&state](uint32_t range) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int32_t>((state >> 8) % range);
    };
    for (int32_t i = 0; i + 1 < n; ++i) {
        lists[i].push_back(i + 1);
        lists[i + 1].push_back(i);
    }
    for (int e = 0; e < extra; ++e) {
        const int32_t a = next(n), b = next(n);
        lists[a].push_back(b);
        if (e % 3 != 0) // every third spring acts on one side only
            lists[b].push_back(a);
    }
    lists[n / 2].push_back(n / 2 + 1); // listed twice
    lists[n / 3].push_back(n / 3);     // itself
    lists[n - 1].clear();              // coasts
    for (int32_t i = 0; i < n; ++i) {
        MetalObjNode *node = cw_metal_obj_node_new(static_cast<int32_t>(lists[i].size()));
        obj->nodes[i] = node;
        node->fixed = i == 0 || i == 7;
        node->x = 0.1 * next(50);
        node->y = 0.1 * next(50);
        node->z = 0.9 * i;
    }
    for (int32_t i = 0; i < n; ++i)
        for (size_t s = 0; s < lists[i].size(); ++s)
            obj->nodes[i]->neighbours[s] = obj->nodes[lists[i][s]];
    return obj;
}

TEST(FastStepper, MatchesReferenceOnHandWiredObjects)
{
    // Few extra springs stay on the vector paths, also split across threads
    // (the general kernel); many fall back to the list.
    for (int extra : {0, 3, 40}) {
        for (FastPath path : supported_paths()) {
            const FastPath expected = extra > 3 ? FastPath::scalar : path;
            for (int32_t threads : {1, 2, 3}) {
                if (threads > 1 && expected == FastPath::scalar)
                    continue;
                ObjPtr reference(odd_object(37, 12345u + extra, extra));
                ObjPtr twin(odd_object(37, 12345u + extra, extra));
                EXPECT_EQ(run_both(reference.get(), twin.get(), path, 600, 0.2, 0.999, expected,
                                   threads),
                          "")
                    << extra << " extra springs on " << path_name(path) << ", " << threads
                    << " threads";
            }
        }
    }
}

// On every path, the scalar list included.
TEST(FastStepper, CoordinatesReadAndWriteLikeTheRecords)
{
    for (FastPath path : supported_paths()) {
        SCOPED_TRACE(path_name(path));
        PathGuard guard(path);
        ObjPtr reference(cw_metal_obj_new_plane(7, 9, 4.0));
        ObjPtr twin(cw_metal_obj_new_plane(7, 9, 4.0));
        FastPtr fast(cw_metal_obj_fast_new(twin.get()));
        ASSERT_TRUE(fast);
        ASSERT_EQ(cwphymod::fast_path_of(fast.get()), path);
        EXPECT_EQ(cw_metal_obj_fast_num_nodes(fast.get()), 63);
        EXPECT_EQ(cw_metal_obj_fast_get(fast.get(), 10, CW_METAL_OBJ_Y), 1.0);
        EXPECT_EQ(cw_metal_obj_fast_get(fast.get(), 10, CW_METAL_OBJ_Z), 4.0);
        // A strike between steps, and a write to a fixed corner, which then stays.
        for (int i = 0; i < 100; ++i) {
            cw_metal_obj_perturb(reference.get(), 0.2, 0.999);
            cw_metal_obj_fast_perturb(fast.get(), 0.2, 0.999);
        }
        reference->nodes[31]->x += 0.5;
        reference->nodes[0]->y = -2.0;
        cw_metal_obj_fast_set(fast.get(), 31, CW_METAL_OBJ_X,
                              cw_metal_obj_fast_get(fast.get(), 31, CW_METAL_OBJ_X) + 0.5);
        cw_metal_obj_fast_set(fast.get(), 0, CW_METAL_OBJ_Y, -2.0);
        for (int i = 0; i < 300; ++i) {
            cw_metal_obj_perturb(reference.get(), 0.2, 0.999);
            cw_metal_obj_fast_perturb(fast.get(), 0.2, 0.999);
        }
        EXPECT_EQ(cw_metal_obj_fast_get(fast.get(), 0, CW_METAL_OBJ_Y), -2.0);
        cw_metal_obj_fast_store(fast.get(), twin.get());
        EXPECT_EQ(compare_records(reference.get(), twin.get()), "");
    }
}

TEST(FastStepper, RefusesIncompleteObjects)
{
    ObjPtr empty_slot(cw_metal_obj_new(3));
    for (int i = 0; i < 2; ++i)
        empty_slot->nodes[i] = cw_metal_obj_node_new(1);
    EXPECT_EQ(cw_metal_obj_fast_new(empty_slot.get()), nullptr);

    ObjPtr other(cw_metal_obj_new_rod(3, 1.0));
    ObjPtr foreign(cw_metal_obj_new_rod(3, 1.0));
    foreign->nodes[1]->neighbours[1] = other->nodes[2];
    EXPECT_EQ(cw_metal_obj_fast_new(foreign.get()), nullptr);
    foreign->nodes[1]->neighbours[1] = nullptr;
    EXPECT_EQ(cw_metal_obj_fast_new(foreign.get()), nullptr);

    cw_metal_obj_fast_free(nullptr);
}

int allocations_left = 0;
void *failing_allocator(std::size_t size)
{
    return allocations_left-- > 0 ? std::malloc(size) : nullptr;
}

TEST(FastAllocationFailure, EveryFailureGivesNullAndLeaksNothing)
{
    ObjPtr obj(cw_metal_obj_new_tube(6, 5, 2.0));
    for (FastPath path : {FastPath::scalar, FastPath::automatic}) {
        PathGuard guard(path);
        int failures = 0;
        for (int allowed = 0;; ++allowed) {
            allocations_left = allowed;
            cwphymod::set_allocator_for_testing(failing_allocator);
            MetalObjFast *fast = cw_metal_obj_fast_new(obj.get());
            cwphymod::set_allocator_for_testing(nullptr);
            if (fast) {
                cw_metal_obj_fast_free(fast);
                break;
            }
            ++failures;
        }
        EXPECT_GE(failures, 3) << path_name(path);
    }
    // A split that cannot get its memory stays on one thread.
    FastPtr fast(cw_metal_obj_fast_new(obj.get()));
    AnySizeSplits any_size;
    allocations_left = 0;
    cwphymod::set_allocator_for_testing(failing_allocator);
    EXPECT_EQ(cw_metal_obj_fast_set_threads(fast.get(), 3), 1);
    allocations_left = 1;
    EXPECT_EQ(cw_metal_obj_fast_set_threads(fast.get(), 3), 1);
    cwphymod::set_allocator_for_testing(nullptr);
    EXPECT_EQ(cw_metal_obj_fast_set_threads(fast.get(), 3), 3);
}

// The render loop before the fast stepper: the records stepped by
// cw_metal_obj_perturb, everything else as cw_metal_obj_render does it.
uint64_t reference_render(Instrument *instrument, int32_t rate, uint64_t count, double *buffer,
                          void *user, double decay)
{
    Instrument &ins = *instrument;
    ins.stop = 0;
    ObjPtr obj(build(Shape{ins.type,
                           ins.type == TYPE_TUBE   ? ins.tube_height
                           : ins.type == TYPE_ROD ? ins.rod_length
                                                  : ins.plane_length,
                           ins.type == TYPE_TUBE ? ins.tube_circumference : ins.plane_width},
                     ins.tension));
    if (ins.progress)
        ins.progress(user, 0.0f);
    auto coord = [](MetalObjNode *n, int32_t act) -> double & {
        return act == ACTUATION_COMPRESSION ? n->x : n->z;
    };
    int32_t sampling = ins.sampling_node;
    const double reference = coord(obj->nodes[sampling], ins.actuation);
    coord(obj->nodes[ins.actuation_node], ins.actuation) += ins.velocity;
    const double r = rate;
    const double damp = std::pow(0.5, 1.0 / (r * ins.damping));
    const double a = std::pow(0.5, 5.0 / r);
    const double c = 1.0 - 20.0 / r;
    if (count == 0 || ins.stop)
        return 0;
    double o = 0, e = 0, emax = 0, p = 0, g = 0;
    float f0 = 0.0f;
    uint64_t n = 0;
    for (uint64_t i = 0;;) {
        cw_metal_obj_perturb(obj.get(), 44100.0 * ins.speed / r, damp);
        if (ins.sampling_node >= 0 && ins.sampling_node < obj->num_nodes)
            sampling = ins.sampling_node;
        const double v = coord(obj->nodes[sampling], ins.actuation) - reference;
        o = (1.0 - a) * v + o * a;
        const double y = v - o;
        buffer[i] = y;
        p = std::max(p, std::fabs(y));
        e = e * c + std::fabs(y) * (1.0 - c);
        emax = std::max(emax, e);
        const float tf = static_cast<float>(i) / static_cast<float>(count);
        if (decay < 0.0) {
            if (emax > 0.0)
                g = 20.0 * std::log10(e / emax);
            if (ins.progress) {
                const float f = std::max(tf, static_cast<float>(g / decay));
                if (static_cast<double>(f - f0) > 0.01) {
                    ins.progress(user, f);
                    f0 = f;
                }
            }
            if (g <= decay) {
                n = i;
                break;
            }
        } else if (ins.progress && static_cast<double>(tf - f0) > 0.01) {
            ins.progress(user, tf);
            f0 = tf;
        }
        if (++i == count || ins.stop) {
            n = i;
            break;
        }
    }
    if (p > 0.0)
        for (uint64_t i = 0; i < n; ++i)
            buffer[i] *= 1.0 / p;
    return ins.stop ? 0 : n;
}

// A window that changes the per-sample parameters while the render runs:
// speed, the struck coordinate, and the sampling node, once to a node outside
// the object (which the loop must ignore).
void steering_progress(void *user, float fraction)
{
    auto *ins = static_cast<Instrument *>(user);
    if (fraction > 0.2f && fraction < 0.4f)
        ins->speed = 0.27;
    if (fraction > 0.4f)
        ins->actuation = ACTUATION_PERPENDICULAR;
    if (fraction > 0.5f)
        ins->sampling_node = 100000;
    if (fraction > 0.7f)
        ins->sampling_node = ins->actuation_node;
}

TEST(FastRender, RenderedSamplesMatchTheReferenceLoop)
{
    struct Case {
        int32_t type, a, b, rate, actuation;
        double decay;
        bool steer;
    };
    const Case cases[] = {
        {TYPE_TUBE, 10, 5, 44100, ACTUATION_COMPRESSION, 0.0, false},
        {TYPE_TUBE, 30, 30, 96000, ACTUATION_PERPENDICULAR, 0.0, false},
        {TYPE_TUBE, 3, 3, 8000, ACTUATION_PERPENDICULAR, -30.0, false},
        {TYPE_ROD, 5, 0, 48000, ACTUATION_COMPRESSION, -20.0, false},
        {TYPE_ROD, 200, 0, 22050, ACTUATION_PERPENDICULAR, 0.0, true},
        {TYPE_PLANE, 7, 9, 48000, ACTUATION_COMPRESSION, 0.0, true},
        {TYPE_PLANE, 30, 39, 96000, ACTUATION_COMPRESSION, -60.0, false},
        {TYPE_PLANE, 3, 3, 11025, ACTUATION_PERPENDICULAR, 0.0, false},
    };
    constexpr uint64_t count = 6000;
    for (const Case &c : cases) {
        Instrument ins = instrument_defaults();
        ins.type = c.type;
        (c.type == TYPE_TUBE ? ins.tube_height : c.type == TYPE_ROD ? ins.rod_length
                                                                    : ins.plane_length) = c.a;
        ins.tube_circumference = c.type == TYPE_TUBE ? c.b : ins.tube_circumference;
        ins.plane_width = c.type == TYPE_PLANE ? c.b : ins.plane_width;
        ins.actuation_node = instrument_reset_actuation_node(ins);
        ins.sampling_node = instrument_reset_sampling_node(ins);
        ins.actuation = c.actuation;
        ins.damping = 0.02;
        ins.progress = c.steer ? steering_progress : nullptr;
        Instrument twin = ins;
        std::vector<double> want(count, -1.0), got(count, -1.0);
        const uint64_t n_want = reference_render(&twin, c.rate, count, want.data(), &twin, c.decay);
        const uint64_t n_got = cw_metal_obj_render(&ins, c.rate, count, got.data(), &ins, c.decay);
        EXPECT_EQ(n_got, n_want) << "type " << c.type << " " << c.a << "x" << c.b;
        EXPECT_GT(n_got, 0u);
        size_t mismatch = count;
        for (size_t i = 0; i < count && mismatch == count; ++i)
            if (bits(got[i]) != bits(want[i]))
                mismatch = i;
        EXPECT_EQ(mismatch, count) << "type " << c.type << " " << c.a << "x" << c.b
                                   << " first differing sample";
    }
}

} // namespace

namespace {

// Asks for a stop once a third of the render is done.
void stop_at_a_third(void *user, float fraction)
{
    if (fraction > 0.33f)
        static_cast<Instrument *>(user)->stop = 1;
}

// Renders split across threads: the same samples as the reference loop; a
// stopped render leaves no worker behind, and the render after it is exact.
TEST(FastRender, ThreadsGiveTheSameSamplesAndAStopLeavesNoThread)
{
    Instrument ins = instrument_defaults();
    ins.type = TYPE_PLANE;
    ins.plane_length = 30;
    ins.plane_width = 39;
    ins.actuation_node = instrument_reset_actuation_node(ins);
    ins.sampling_node = instrument_reset_sampling_node(ins);
    constexpr uint64_t count = 2000;
    std::vector<double> want(count), got(count);
    Instrument twin = ins;
    ASSERT_EQ(reference_render(&twin, 96000, count, want.data(), nullptr, 0.0), count);
    const int before = thread_count();
    for (int32_t threads : {4, 2}) {
        set_render_threads(threads);
        EXPECT_EQ(render_threads(), threads);
        ins.progress = stop_at_a_third;
        EXPECT_EQ(cw_metal_obj_render(&ins, 96000, count, got.data(), &ins, 0.0), 0u);
        EXPECT_EQ(thread_count(), before) << threads << " threads";
        ins.progress = nullptr;
        std::fill(got.begin(), got.end(), -1.0);
        ASSERT_EQ(cw_metal_obj_render(&ins, 96000, count, got.data(), nullptr, 0.0), count);
        EXPECT_EQ(std::memcmp(got.data(), want.data(), count * sizeof(double)), 0)
            << threads << " threads";
        EXPECT_EQ(thread_count(), before) << threads << " threads";
    }
    set_render_threads(0);
    EXPECT_GE(render_threads(), 1);
    EXPECT_LE(render_threads(), render_threads_max);
}

} // namespace
