#include "view_geometry.h"

#include <algorithm>

float view_rotation_step(float angle, double from, double to)
{
    const float pixels = static_cast<float>(from - to);
    return angle + pixels * view_degrees_per_pixel;
}

float view_wrap_angle(float angle)
{
    constexpr float full_turn = 360.0f;
    while (angle < 0.0f)
        angle += full_turn;
    while (angle > full_turn)
        angle -= full_turn;
    return angle;
}

ViewFrame view_frame(const MetalObj &obj)
{
    ViewFrame frame{};
    for (int32_t i = 0; i < obj.num_nodes; ++i) {
        const MetalObjNode *node = obj.nodes[i];
        if (!node)
            continue;
        const double position[3] = {node->x, node->y, node->z};
        for (int axis = 0; axis < 3; ++axis) {
            if (position[axis] < frame.min[axis])
                frame.min[axis] = static_cast<float>(position[axis]);
            if (position[axis] > frame.max[axis])
                frame.max[axis] = static_cast<float>(position[axis]);
        }
    }
    for (int axis = 0; axis < 3; ++axis)
        frame.centre[axis] = static_cast<float>((frame.min[axis] + frame.max[axis]) * 0.5);
    frame.low = std::min({frame.min[0], frame.min[1], frame.min[2]});
    frame.high = std::max({frame.max[0], frame.max[1], frame.max[2]});
    return frame;
}

float view_projection_scale(float low, float high)
{
    constexpr double half_view = 95.0; // of the 100 units to the object
    constexpr double margin = 1.2;
    const float extent = high - low;
    return static_cast<float>(half_view / (extent * 0.5 * margin));
}

float view_cube_half_size(double tension)
{
    constexpr float largest = 0.4f;
    const float half = static_cast<float>(0.4 * tension);
    return std::min(half, largest);
}

const ViewColour &view_node_colour(const MetalObjNode &node, int32_t index,
                                   int32_t actuation_node, int32_t sampling_node)
{
    if (node.fixed)
        return view_colour_fixed;
    if (index == actuation_node && index == sampling_node)
        return view_colour_both;
    if (index == actuation_node)
        return view_colour_actuation;
    if (index == sampling_node)
        return view_colour_sampling;
    return view_colour_other;
}

std::array<ViewFace, 6> view_cube_faces(double x, double y, double z, float half)
{
    const float x0 = static_cast<float>(x - half), x1 = static_cast<float>(x + half);
    const float y0 = static_cast<float>(y - half), y1 = static_cast<float>(y + half);
    const float z0 = static_cast<float>(z - half), z1 = static_cast<float>(z + half);
    return {{
        {{0, 0, -1}, {{{x0, y0, z0}, {x0, y1, z0}, {x1, y0, z0}, {x1, y1, z0}}}},
        {{1, 0, 0}, {{{x1, y0, z0}, {x1, y1, z0}, {x1, y0, z1}, {x1, y1, z1}}}},
        {{0, 0, 1}, {{{x1, y0, z1}, {x1, y1, z1}, {x0, y0, z1}, {x0, y1, z1}}}},
        {{-1, 0, 0}, {{{x0, y0, z1}, {x0, y1, z1}, {x0, y0, z0}, {x0, y1, z0}}}},
        {{0, -1, 0}, {{{x0, y0, z1}, {x0, y0, z0}, {x1, y0, z1}, {x1, y0, z0}}}},
        {{0, 1, 0}, {{{x0, y1, z0}, {x0, y1, z1}, {x1, y1, z0}, {x1, y1, z1}}}},
    }};
}
