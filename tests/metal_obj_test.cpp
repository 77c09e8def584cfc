// Geometry, wiring and integration step of the metal object library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "alloc.h"
#include "cw_metal_obj.h"
#include "metal_obj_ptr.h"

namespace {

std::vector<int> neighbour_indices(const MetalObj *obj, int node)
{
    std::vector<int> out;
    const MetalObjNode *n = obj->nodes[node];
    for (int s = 0; s < n->num_neighbours; ++s) {
        int found = -1;
        for (int i = 0; i < obj->num_nodes; ++i)
            if (obj->nodes[i] == n->neighbours[s])
                found = i;
        out.push_back(found);
    }
    return out;
}

std::vector<int> fixed_nodes(const MetalObj *obj)
{
    std::vector<int> out;
    for (int i = 0; i < obj->num_nodes; ++i)
        if (obj->nodes[i]->fixed)
            out.push_back(i);
    return out;
}

// Every spring is listed from both ends, and every slot is filled.
void expect_symmetric_wiring(const MetalObj *obj)
{
    for (int i = 0; i < obj->num_nodes; ++i) {
        ASSERT_NE(obj->nodes[i], nullptr);
        for (int j : neighbour_indices(obj, i)) {
            ASSERT_GE(j, 0) << "node " << i << " has a slot outside the object";
            auto back = neighbour_indices(obj, j);
            EXPECT_NE(std::find(back.begin(), back.end(), i), back.end())
                << "spring " << i << "-" << j << " listed on one side only";
        }
    }
}

// Exact snapshot of every node, for "nothing changed" comparisons.
std::vector<double> state_of(const MetalObj *obj)
{
    std::vector<double> s;
    for (int i = 0; i < obj->num_nodes; ++i) {
        const MetalObjNode *n = obj->nodes[i];
        s.insert(s.end(), {n->x, n->y, n->z, n->vx, n->vy, n->vz});
    }
    return s;
}

// Rounding residues of cos/sin at multiples of pi/2 stay below this.
constexpr double residue = 1e-15;

} // namespace

TEST(RodBuilder, DefaultRodLiesOnTheAxisWithFixedEnds)
{
    ObjPtr rod(cw_metal_obj_new_rod(5, 4.0));
    ASSERT_TRUE(rod);
    ASSERT_EQ(rod->num_nodes, 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(rod->nodes[i]->x, 0.0);
        EXPECT_EQ(rod->nodes[i]->y, 0.0);
        EXPECT_EQ(rod->nodes[i]->z, 4.0 * i);
    }
    EXPECT_EQ(fixed_nodes(rod.get()), (std::vector<int>{0, 4}));
    EXPECT_EQ(neighbour_indices(rod.get(), 0), (std::vector<int>{1}));
    EXPECT_EQ(neighbour_indices(rod.get(), 2), (std::vector<int>{1, 3}));
    EXPECT_EQ(neighbour_indices(rod.get(), 4), (std::vector<int>{3}));
    expect_symmetric_wiring(rod.get());
}

TEST(RodBuilder, RodOfTwoIsFixedAndNeverMoves)
{
    ObjPtr rod(cw_metal_obj_new_rod(2, 3.0));
    ASSERT_TRUE(rod);
    EXPECT_EQ(fixed_nodes(rod.get()), (std::vector<int>{0, 1}));
    EXPECT_EQ(neighbour_indices(rod.get(), 0), (std::vector<int>{1}));
    EXPECT_EQ(neighbour_indices(rod.get(), 1), (std::vector<int>{0}));
    const auto before = state_of(rod.get());
    for (int i = 0; i < 100; ++i)
        cw_metal_obj_perturb(rod.get(), 0.2, 0.99);
    EXPECT_EQ(state_of(rod.get()), before);
}

TEST(TubeBuilder, ThreeRingsOfFourHaveTheDocumentedGeometry)
{
    ObjPtr tube(cw_metal_obj_new_tube(3, 4, 2.0));
    ASSERT_TRUE(tube);
    ASSERT_EQ(tube->num_nodes, 12);
    const double r = 0.5 / std::cos(M_PI / 4);
    const double expect_xy[4][2] = {{r, 0}, {0, r}, {-r, 0}, {0, -r}};
    for (int ring = 0; ring < 3; ++ring) {
        for (int k = 0; k < 4; ++k) {
            const MetalObjNode *n = tube->nodes[ring * 4 + k];
            EXPECT_NEAR(n->x, expect_xy[k][0], residue);
            EXPECT_NEAR(n->y, expect_xy[k][1], residue);
            EXPECT_EQ(n->z, 2.0 * ring);
        }
    }
    EXPECT_EQ(fixed_nodes(tube.get()), (std::vector<int>{0, 1, 2, 3, 8, 9, 10, 11}));
    EXPECT_EQ(neighbour_indices(tube.get(), 0), (std::vector<int>{3, 1, 4}));
    EXPECT_EQ(neighbour_indices(tube.get(), 3), (std::vector<int>{2, 0, 7}));
    EXPECT_EQ(neighbour_indices(tube.get(), 4), (std::vector<int>{7, 5, 8, 0}));
    EXPECT_EQ(neighbour_indices(tube.get(), 5), (std::vector<int>{4, 6, 9, 1}));
    EXPECT_EQ(neighbour_indices(tube.get(), 8), (std::vector<int>{11, 9, 4}));
    EXPECT_EQ(neighbour_indices(tube.get(), 11), (std::vector<int>{10, 8, 7}));
    expect_symmetric_wiring(tube.get());
}

TEST(TubeBuilder, DefaultTubeFixesTheEndRings)
{
    ObjPtr tube(cw_metal_obj_new_tube(10, 5, 4.0));
    ASSERT_TRUE(tube);
    ASSERT_EQ(tube->num_nodes, 50);
    std::vector<int> expect{0, 1, 2, 3, 4, 45, 46, 47, 48, 49};
    EXPECT_EQ(fixed_nodes(tube.get()), expect);
    // Radius 0.5 / sin(pi / 5), about 0.851.
    EXPECT_NEAR(tube->nodes[0]->x, 0.5 / std::sin(M_PI / 5), 1e-12);
    EXPECT_NEAR(tube->nodes[0]->x, 0.851, 1e-3);
    expect_symmetric_wiring(tube.get());
}

TEST(TubeBuilder, NeighbouringRingNodesStartAtRestLength)
{
    for (int n = 2; n <= 30; ++n) {
        ObjPtr tube(cw_metal_obj_new_tube(3, n, 1.5));
        ASSERT_TRUE(tube);
        for (int k = 0; k < n; ++k) {
            const MetalObjNode *a = tube->nodes[k];
            const MetalObjNode *b = tube->nodes[(k + 1) % n];
            // Rounding of cos, sin and the radius stays far below 1e-12.
            EXPECT_NEAR(std::hypot(a->x - b->x, a->y - b->y), 1.0, 1e-12) << "n=" << n;
        }
    }
    ObjPtr triangle(cw_metal_obj_new_tube(3, 3, 1.0));
    EXPECT_NEAR(triangle->nodes[0]->x, 1.0 / std::sqrt(3.0), 1e-12);
}

TEST(TubeBuilder, TwoRingsHaveNoMovableNode)
{
    ObjPtr tube(cw_metal_obj_new_tube(2, 4, 2.0));
    ASSERT_TRUE(tube);
    EXPECT_EQ(fixed_nodes(tube.get()).size(), 8u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(neighbour_indices(tube.get(), k)[2], 4 + k);
        EXPECT_EQ(neighbour_indices(tube.get(), 4 + k)[2], k);
    }
}

TEST(TubeBuilder, TwoNodesPerRingListTheOtherNodeTwice)
{
    ObjPtr tube(cw_metal_obj_new_tube(3, 2, 1.0));
    ASSERT_TRUE(tube);
    EXPECT_NEAR(tube->nodes[0]->x, 0.5, residue);
    EXPECT_NEAR(tube->nodes[1]->x, -0.5, residue);
    EXPECT_EQ(neighbour_indices(tube.get(), 2), (std::vector<int>{3, 3, 4, 0}));
    EXPECT_EQ(neighbour_indices(tube.get(), 3), (std::vector<int>{2, 2, 5, 1}));
}

TEST(PlaneBuilder, ThreeByThreeHasTheDocumentedGeometry)
{
    ObjPtr plane(cw_metal_obj_new_plane(3, 3, 2.0));
    ASSERT_TRUE(plane);
    ASSERT_EQ(plane->num_nodes, 9);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const MetalObjNode *n = plane->nodes[r * 3 + c];
            EXPECT_EQ(n->x, 0.0);
            EXPECT_EQ(n->y, double(c));
            EXPECT_EQ(n->z, 2.0 * r);
        }
    EXPECT_EQ(fixed_nodes(plane.get()), (std::vector<int>{0, 2, 6, 8}));
    const std::vector<std::vector<int>> expect{
        {1, 3, 4}, {0, 2, 3, 4, 5}, {1, 4, 5}, {0, 1, 4, 6, 7}, {0, 1, 2, 3, 5, 6, 7, 8},
        {1, 2, 4, 7, 8}, {3, 4, 7}, {3, 4, 5, 6, 8}, {4, 5, 7}};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(neighbour_indices(plane.get(), i), expect[i]) << "node " << i;
}

TEST(PlaneBuilder, DefaultPlaneCornersAndNeighbours)
{
    ObjPtr plane(cw_metal_obj_new_plane(7, 9, 4.0));
    ASSERT_TRUE(plane);
    ASSERT_EQ(plane->num_nodes, 63);
    EXPECT_EQ(fixed_nodes(plane.get()), (std::vector<int>{0, 8, 54, 62}));
    EXPECT_EQ(neighbour_indices(plane.get(), 0), (std::vector<int>{1, 9, 10}));
    EXPECT_EQ(neighbour_indices(plane.get(), 62), (std::vector<int>{52, 53, 61}));
    EXPECT_EQ(neighbour_indices(plane.get(), 10), (std::vector<int>{0, 1, 2, 9, 11, 18, 19, 20}));
    expect_symmetric_wiring(plane.get());
}

TEST(PlaneBuilder, TwoRowsHaveOnlyThreeOrFiveNeighbours)
{
    ObjPtr plane(cw_metal_obj_new_plane(2, 5, 1.0));
    ASSERT_TRUE(plane);
    EXPECT_EQ(fixed_nodes(plane.get()), (std::vector<int>{0, 4, 5, 9}));
    for (int i = 0; i < 10; ++i) {
        const int slots = plane->nodes[i]->num_neighbours;
        EXPECT_TRUE(slots == 3 || slots == 5);
    }
    expect_symmetric_wiring(plane.get());
}

TEST(PlaneBuilder, EdgeNodesArePulledInwardOnTheFirstStep)
{
    // The diagonal springs start longer than the rest length, so node 3 (left
    // edge, middle row) feels (0, 2 * (sqrt(5) - 1), 0) without any strike.
    ObjPtr plane(cw_metal_obj_new_plane(3, 3, 2.0));
    cw_metal_obj_perturb(plane.get(), 1.0, 1.0);
    const MetalObjNode *n = plane->nodes[3];
    EXPECT_EQ(n->vx, 0.0);
    EXPECT_NEAR(n->vy, 2.0 * (std::sqrt(5.0) - 1.0), 1e-12);
    EXPECT_NEAR(n->vy, 2.472, 1e-3);
    EXPECT_EQ(n->vz, 0.0);
    EXPECT_GT(plane->nodes[3]->y, 0.0);
    EXPECT_LT(plane->nodes[5]->y, 2.0);
}

TEST(Builders, SizesBelowTwoAreRefused)
{
    for (int n : {-5, 0, 1}) {
        EXPECT_EQ(cw_metal_obj_new_rod(n, 1.0), nullptr);
        EXPECT_EQ(cw_metal_obj_new_tube(n, 5, 1.0), nullptr);
        EXPECT_EQ(cw_metal_obj_new_tube(5, n, 1.0), nullptr);
        EXPECT_EQ(cw_metal_obj_new_plane(n, 5, 1.0), nullptr);
        EXPECT_EQ(cw_metal_obj_new_plane(5, n, 1.0), nullptr);
    }
    EXPECT_EQ(cw_metal_obj_new_tube(INT32_MAX, 3, 1.0), nullptr);
    EXPECT_EQ(cw_metal_obj_new(-1), nullptr);
    EXPECT_EQ(cw_metal_obj_node_new(-1), nullptr);
}

TEST(IntegrationStep, ThreeNodeRodIsAtRestAndStepsAsComputedByHand)
{
    ObjPtr rod(cw_metal_obj_new_rod(3, 2.0));
    const auto rest = state_of(rod.get());
    for (int i = 0; i < 10; ++i)
        cw_metal_obj_perturb(rod.get(), 0.2, 0.9);
    // The two spring terms cancel exactly: nothing moves, not even by rounding.
    EXPECT_EQ(state_of(rod.get()), rest);

    rod->nodes[1]->x = 1.0;
    cw_metal_obj_perturb(rod.get(), 0.2, 1.0);
    // Each spring has L = sqrt(5); F = (2 (1 - sqrt 5), 0, 0), about -2.472.
    const double f = 2.0 * (1.0 - std::sqrt(5.0));
    EXPECT_DOUBLE_EQ(rod->nodes[1]->vx, f * 0.2);
    EXPECT_NEAR(rod->nodes[1]->vx, -0.494, 1e-3);
    EXPECT_NEAR(rod->nodes[1]->x, 0.901, 1e-3);
    EXPECT_EQ(rod->nodes[1]->vz, 0.0);
    EXPECT_EQ(rod->nodes[1]->z, 2.0);
    EXPECT_EQ(rod->nodes[0]->x, 0.0);
    EXPECT_EQ(rod->nodes[2]->x, 0.0);
    EXPECT_EQ(rod->nodes[0]->vx, 0.0);
}

TEST(IntegrationStep, RodAtUnitSpacingRestsUntilStruck)
{
    ObjPtr rod(cw_metal_obj_new_rod(6, 1.0));
    const auto rest = state_of(rod.get());
    cw_metal_obj_perturb(rod.get(), 0.3, 0.99);
    EXPECT_EQ(state_of(rod.get()), rest);
}

TEST(IntegrationStep, ZeroStepAndUnitDampChangeNothing)
{
    for (MetalObj *raw : {cw_metal_obj_new_rod(7, 2.5), cw_metal_obj_new_tube(6, 5, 3.0),
                          cw_metal_obj_new_plane(5, 6, 1.7)}) {
        ObjPtr obj(raw);
        obj->nodes[obj->num_nodes / 2]->x += 0.7;
        for (int i = 0; i < 20; ++i)
            cw_metal_obj_perturb(obj.get(), 0.1, 0.999);
        const auto before = state_of(obj.get());
        cw_metal_obj_perturb(obj.get(), 0.0, 1.0);
        EXPECT_EQ(state_of(obj.get()), before);

        // dt 0 alone keeps positions and scales every movable velocity by damp.
        cw_metal_obj_perturb(obj.get(), 0.0, 0.5);
        for (int i = 0; i < obj->num_nodes; ++i) {
            const MetalObjNode *n = obj->nodes[i];
            EXPECT_EQ(n->x, before[6 * i]);
            EXPECT_EQ(n->vx, n->fixed ? before[6 * i + 3] : before[6 * i + 3] * 0.5);
        }
    }
}

TEST(IntegrationStep, CoincidentAndUnitDistanceNeighboursExertNoForce)
{
    ObjPtr obj(cw_metal_obj_new(3));
    for (int i = 0; i < 3; ++i)
        obj->nodes[i] = cw_metal_obj_node_new(i == 0 ? 2 : 0);
    obj->nodes[1]->fixed = obj->nodes[2]->fixed = 1;
    obj->nodes[0]->neighbours[0] = obj->nodes[1];
    obj->nodes[0]->neighbours[1] = obj->nodes[2];
    obj->nodes[2]->y = 1.0; // node 1 sits on node 0, node 2 at distance 1
    cw_metal_obj_perturb(obj.get(), 0.5, 1.0);
    EXPECT_EQ(obj->nodes[0]->vx, 0.0);
    EXPECT_EQ(obj->nodes[0]->vy, 0.0);
    EXPECT_FALSE(std::isnan(obj->nodes[0]->vy));
}

TEST(IntegrationStep, NodeWithoutNeighboursCoasts)
{
    ObjPtr obj(cw_metal_obj_new(1));
    obj->nodes[0] = cw_metal_obj_node_new(0);
    obj->nodes[0]->vz = 2.0;
    cw_metal_obj_perturb(obj.get(), 0.5, 0.5);
    EXPECT_EQ(obj->nodes[0]->vz, 1.0);
    EXPECT_EQ(obj->nodes[0]->z, 0.5);
}

TEST(Release, NullAndPartlyFilledObjectsAreReleased)
{
    cw_metal_obj_free(nullptr);
    cw_metal_obj_node_free(nullptr);
    MetalObj *obj = cw_metal_obj_new(4);
    obj->nodes[0] = cw_metal_obj_node_new(1);
    obj->nodes[1] = cw_metal_obj_node_new(2);
    cw_metal_obj_free(obj); // slots 2 and 3 are still empty
    SUCCEED();
}

namespace {
int allocations_left = 0;
void *failing_alloc(std::size_t size)
{
    if (allocations_left-- <= 0)
        return nullptr;
    return std::malloc(size);
}

struct FailingAllocator {
    explicit FailingAllocator(int succeed) { allocations_left = succeed; cwphymod::set_allocator_for_testing(failing_alloc); }
    ~FailingAllocator() { cwphymod::set_allocator_for_testing(nullptr); }
};
} // namespace

// Every builder gives up cleanly at every allocation: run under valgrind or
// ASan these release everything made so far.
TEST(AllocationFailure, EveryBuilderReleasesWhatItMadeAndReturnsNull)
{
    struct Shape {
        const char *name;
        MetalObj *(*build)();
        int allocations; // the object plus its nodes
    };
    const Shape shapes[] = {
        {"rod", [] { return cw_metal_obj_new_rod(5, 4.0); }, 1 + 5},
        {"tube", [] { return cw_metal_obj_new_tube(10, 5, 4.0); }, 1 + 50},
        {"plane", [] { return cw_metal_obj_new_plane(7, 9, 4.0); }, 1 + 63},
    };
    for (const Shape &s : shapes) {
        for (int ok = 0; ok < s.allocations; ++ok) {
            FailingAllocator guard(ok);
            EXPECT_EQ(s.build(), nullptr) << s.name << " with " << ok << " allocations";
        }
        FailingAllocator guard(s.allocations);
        ObjPtr whole(s.build());
        EXPECT_TRUE(whole) << s.name;
    }
}

TEST(AllocationFailure, RodWhoseThirdNodeFailsIsReleased)
{
    FailingAllocator guard(1 + 2);
    EXPECT_EQ(cw_metal_obj_new_rod(5, 1.0), nullptr);
    EXPECT_EQ(allocations_left, -1);
}
