// The 3D view's arithmetic, without OpenGL or widgets: how a drag turns the
// object, how the object is framed (bounding box, centre, projection scale),
// how big and which colour each node's cube is, and the cube's six faces.
//
// The precision of every step is fixed (single or double as noted) so that
// the view turns and frames the object identically wherever it runs.
#pragma once

#include <array>
#include <cstdint>

#include "cw_metal_obj.h"

//! Degrees the object turns per pixel of drag.
constexpr float view_degrees_per_pixel = 0.25f;

//! One drag step about one axis: `angle` + (`from` - `to`) x 0.25 degrees.
//! The pixel difference is taken in double, converted to single and scaled
//! in single precision, so moving left or up (to < from) increases the angle.
float view_rotation_step(float angle, double from, double to);

//! Brings an angle in degrees into 0..360: below 0 adds 360 until it is not
//! below 0, above 360 subtracts 360 until it is not above 360. 0 and 360
//! themselves stay. `angle` must be finite.
float view_wrap_angle(float angle);

//! The framing of an object in the view: its bounding box (which always holds
//! the origin), the box's centre, and the least and greatest coordinate over
//! all three axes.
struct ViewFrame {
    std::array<float, 3> min;    // x, y, z
    std::array<float, 3> max;    // x, y, z
    std::array<float, 3> centre; // (min + max) / 2 per axis
    float low;                   // least of the three minima
    float high;                  // greatest of the three maxima
};

//! Frames `obj`: the box starts at the origin and grows by every node in
//! index order, comparing in double and keeping each new extreme in single
//! precision. Empty node slots are passed over. An object without nodes gives
//! the box of the origin alone.
ViewFrame view_frame(const MetalObj &obj);

//! Scale of the projection that fits the object into the view:
//! 95 / ((high - low) x 0.5 x 1.2), the difference in single precision, the
//! products in double, the quotient in single precision. The frustum is
//! 2 wide at distance 1, the object sits 100 away: 95 / 100 of the half-view
//! for the object's half-extent with a 20 % margin.
float view_projection_scale(float low, float high);

//! Half the edge of a node's cube: 0.4 x tension in single precision, at most
//! 0.4, so neighbouring cubes along the axis never touch (the spacing is the
//! tension) and cubes across (spacing 1) stay apart.
float view_cube_half_size(double tension);

//! RGBA diffuse colour of a node's cube.
using ViewColour = std::array<float, 4>;
inline constexpr ViewColour view_colour_fixed{1.0f, 0.0f, 0.0f, 1.0f};      // red
inline constexpr ViewColour view_colour_both{0.0f, 1.0f, 1.0f, 1.0f};       // cyan
inline constexpr ViewColour view_colour_actuation{0.0f, 1.0f, 0.0f, 1.0f};  // green
inline constexpr ViewColour view_colour_sampling{0.0f, 0.0f, 1.0f, 1.0f};   // blue
inline constexpr ViewColour view_colour_other{1.0f, 1.0f, 1.0f, 1.0f};      // white

//! Colour of node `index`, decided in this order: fixed red; struck and
//! sampled cyan; struck green; sampled blue; any other white.
const ViewColour &view_node_colour(const MetalObjNode &node, int32_t index,
                                   int32_t actuation_node, int32_t sampling_node);

//! One face of a node's cube: its outward normal and the four corners of its
//! triangle strip.
struct ViewFace {
    std::array<float, 3> normal;
    std::array<std::array<float, 3>, 4> strip;
};

//! The six faces of the cube of half size `half` around (x, y, z), in the
//! order -z, +x, +z, -x, -y, +y. Corners are computed in double and handed
//! out in single precision; each face's first triangle is counter-clockwise
//! seen from outside, so culling back faces hides the faces turned away.
std::array<ViewFace, 6> view_cube_faces(double x, double y, double z, float half);
