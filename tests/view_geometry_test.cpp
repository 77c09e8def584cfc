// The 3D view's arithmetic without a display: drag steps and angle wrapping,
// framing an object, cube size, node colours and the cube's faces.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "metal_obj_ptr.h"
#include "view_geometry.h"

namespace {

// A free-standing object with the given node positions (no springs).
ObjPtr object_at(std::initializer_list<std::array<double, 3>> positions)
{
    ObjPtr obj(cw_metal_obj_new(static_cast<int32_t>(positions.size())));
    int32_t i = 0;
    for (const auto &p : positions) {
        MetalObjNode *node = cw_metal_obj_node_new(0);
        node->x = p[0];
        node->y = p[1];
        node->z = p[2];
        obj->nodes[i++] = node;
    }
    return obj;
}

TEST(ViewRotation, FortyPixelsLeftOrUpTurnTenDegreesForward)
{
    // Left: the pointer's x decreases from the remembered 100 to 60.
    EXPECT_EQ(view_rotation_step(90.0f, 100.0, 60.0), 100.0f);
    // Down: y increases, the angle decreases and wraps to 350.
    EXPECT_EQ(view_wrap_angle(view_rotation_step(0.0f, 100.0, 140.0)), 350.0f);
    // Sub-pixel positions (from a tablet) turn by a quarter of them.
    EXPECT_EQ(view_rotation_step(10.0f, 0.5, 0.0), 10.125f);
}

TEST(ViewRotation, PixelDifferenceIsRoundedToSinglePrecisionBeforeScaling)
{
    // 1 + 2^-30 pixels is 1 in single precision, so the step is 0.25 and
    // 0.25 + 2^-26 is a tie that rounds to even: 0.25. Done in double, the
    // extra 2^-32 would break the tie upward to 0.25 + 2^-25.
    const double from = 1.0 + std::ldexp(1.0, -30);
    const float start = std::ldexp(1.0f, -26);
    EXPECT_EQ(view_rotation_step(start, from, 0.0), 0.25f);
    EXPECT_NE(static_cast<float>(start + (from - 0.0) * 0.25), 0.25f);
}

TEST(ViewRotation, WrapKeepsZeroAndFullTurnAndFoldsTheRest)
{
    EXPECT_EQ(view_wrap_angle(0.0f), 0.0f);
    EXPECT_EQ(view_wrap_angle(360.0f), 360.0f);
    EXPECT_EQ(view_wrap_angle(-10.0f), 350.0f);
    EXPECT_EQ(view_wrap_angle(370.0f), 10.0f);
    EXPECT_EQ(view_wrap_angle(-720.0f), 0.0f);
    EXPECT_EQ(view_wrap_angle(1080.0f), 360.0f);
    EXPECT_EQ(view_wrap_angle(-0.25f), 359.75f);
}

TEST(ViewFrame, BoxAlwaysHoldsTheOrigin)
{
    // All coordinates positive: centred between the origin and the far
    // corner, not on the object's own middle.
    ObjPtr positive = object_at({{1, 2, 3}, {3, 4, 9}});
    ViewFrame f = view_frame(*positive);
    EXPECT_EQ(f.min, (std::array<float, 3>{0, 0, 0}));
    EXPECT_EQ(f.max, (std::array<float, 3>{3, 4, 9}));
    EXPECT_EQ(f.centre, (std::array<float, 3>{1.5f, 2, 4.5f}));
    EXPECT_EQ(f.low, 0.0f);
    EXPECT_EQ(f.high, 9.0f);

    ObjPtr negative = object_at({{-2, -6, -1}});
    f = view_frame(*negative);
    EXPECT_EQ(f.max, (std::array<float, 3>{0, 0, 0}));
    EXPECT_EQ(f.centre, (std::array<float, 3>{-1, -3, -0.5f}));
    EXPECT_EQ(f.low, -6.0f);
    EXPECT_EQ(f.high, 0.0f);

    ObjPtr empty(cw_metal_obj_new(0));
    f = view_frame(*empty);
    EXPECT_EQ(f.low, 0.0f);
    EXPECT_EQ(f.high, 0.0f);
}

TEST(ViewFrame, ExtremesAreKeptInSinglePrecision)
{
    // 0.1 and a value a hair above it: both round to the same float, and the
    // second does not replace the first only because the comparison is made
    // in double against the stored float.
    const double a = 0.1, b = std::nextafter(0.1, 1.0);
    ObjPtr obj = object_at({{a, 0, 0}, {b, 0, 0}});
    const ViewFrame f = view_frame(*obj);
    EXPECT_EQ(f.max[0], 0.1f);
    EXPECT_EQ(f.centre[0], static_cast<float>(0.1f * 0.5));
}

TEST(ViewFrame, DefaultTubeIsCentredHalfWayAlongItsLength)
{
    // 10 rings of 5 nodes, 4 apart: z from 0 to 36; the ring's lowest y is
    // -R sin(72 degrees), R = 0.5 / sin(36 degrees).
    ObjPtr tube(cw_metal_obj_new_tube(10, 5, 4.0));
    const ViewFrame f = view_frame(*tube);
    const double radius = 0.5 / std::sin(M_PI / 5);
    EXPECT_FLOAT_EQ(f.centre[2], 18.0f);
    EXPECT_FLOAT_EQ(f.low, static_cast<float>(-radius * std::sin(2 * M_PI / 5)));
    EXPECT_FLOAT_EQ(f.high, 36.0f);
    // The whole length fits within 95 % of the half view at distance 100.
    const float s = view_projection_scale(f.low, f.high);
    EXPECT_NEAR(s * (f.high - f.low) * 0.5 / 100.0, 0.95 / 1.2, 1e-6);
}

TEST(ViewCube, HalfSizeFollowsTensionUpToPointFour)
{
    EXPECT_FLOAT_EQ(view_cube_half_size(0.5), 0.2f);
    EXPECT_FLOAT_EQ(view_cube_half_size(0.1), 0.04f);
    EXPECT_EQ(view_cube_half_size(1.0), 0.4f);
    EXPECT_EQ(view_cube_half_size(4.0), 0.4f);
    EXPECT_EQ(view_cube_half_size(16.0), 0.4f);
}

TEST(ViewCube, EveryFaceLiesOnItsSideAndTurnsItsFrontOutward)
{
    const double cx = 1.5, cy = -2.0, cz = 7.0;
    const float half = 0.25f;
    std::set<std::array<float, 3>> normals;
    for (const ViewFace &face : view_cube_faces(cx, cy, cz, half)) {
        normals.insert(face.normal);
        const double centre[3] = {cx, cy, cz};
        int axis = 0;
        while (face.normal[axis] == 0.0f)
            ++axis;
        // All four corners on the plane of the face, at the cube's corners.
        for (const auto &v : face.strip) {
            EXPECT_DOUBLE_EQ(v[axis], centre[axis] + face.normal[axis] * half);
            for (int a = 0; a < 3; ++a)
                EXPECT_DOUBLE_EQ(std::fabs(v[a] - centre[a]), half);
        }
        // Both triangles of the strip (the second with swapped winding, as a
        // strip draws it) are counter-clockwise seen from outside.
        auto winding = [&](const auto &p, const auto &q, const auto &r) {
            const double u[3] = {q[0] - p[0], q[1] - p[1], q[2] - p[2]};
            const double w[3] = {r[0] - p[0], r[1] - p[1], r[2] - p[2]};
            const double n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2],
                                 u[0] * w[1] - u[1] * w[0]};
            return n[0] * face.normal[0] + n[1] * face.normal[1] + n[2] * face.normal[2];
        };
        EXPECT_GT(winding(face.strip[0], face.strip[1], face.strip[2]), 0.0);
        EXPECT_GT(winding(face.strip[2], face.strip[1], face.strip[3]), 0.0);
    }
    EXPECT_EQ(normals.size(), 6u);
}

TEST(ViewColours, FixedFirstThenBothThenStruckThenSampled)
{
    MetalObjNode movable{};
    MetalObjNode fixed{};
    fixed.fixed = 1;
    EXPECT_EQ(&view_node_colour(fixed, 3, 3, 3), &view_colour_fixed);
    EXPECT_EQ(&view_node_colour(fixed, 0, 7, 40), &view_colour_fixed);
    EXPECT_EQ(&view_node_colour(movable, 7, 7, 7), &view_colour_both);
    EXPECT_EQ(&view_node_colour(movable, 7, 7, 40), &view_colour_actuation);
    EXPECT_EQ(&view_node_colour(movable, 40, 7, 40), &view_colour_sampling);
    EXPECT_EQ(&view_node_colour(movable, 8, 7, 40), &view_colour_other);
    EXPECT_EQ(view_colour_both, (ViewColour{0, 1, 1, 1}));
    EXPECT_EQ(view_colour_fixed, (ViewColour{1, 0, 0, 1}));
}

} // namespace
