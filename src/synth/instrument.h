// The parameter set of one sound, with its defaults, the ranges the window
// allows, and the node rules every shape follows.
#pragma once

#include <cstdint>

enum InstrumentType : int32_t { TYPE_TUBE = 0, TYPE_ROD = 1, TYPE_PLANE = 2 };

enum Actuation : int32_t { ACTUATION_COMPRESSION = 0, ACTUATION_PERPENDICULAR = 1 };

//! Progress report of a render: fraction 0 to 1 in single precision. The
//! window's callback also runs pending toolkit events, so anything may happen
//! inside it (a Stop, a parameter change).
using ProgressFn = void (*)(void *user, float fraction);

//! Everything that describes one sound, plus the stop request and the progress
//! hook through which a running render is steered.
struct Instrument {
    int32_t type;           // InstrumentType
    int32_t decay_stop;     // non-zero: end the render once decayed to decay_level
    double decay_level;     // dB below the loudest envelope so far, negative
    int32_t tube_height;    // rings
    int32_t tube_circumference; // nodes per ring
    int32_t rod_length;     // nodes
    int32_t plane_length;   // rows
    int32_t plane_width;    // nodes per row
    int32_t actuation_node; // node struck
    int32_t sampling_node;  // node listened to
    double tension;         // axial spacing, in spring rest lengths
    double speed;           // step size at 44100 Hz
    double damping;         // seconds for velocities to halve
    int32_t actuation;      // Actuation: which coordinate is struck and sampled
    double velocity;        // displacement given at the strike
    int32_t stop;           // stop request, polled by render and playback
    ProgressFn progress;    // may be null
};

// Ranges the window allows; the headless renderer checks against the same.
namespace instrument_range {
constexpr int32_t tube_height_min = 3, tube_height_max = 30;
constexpr int32_t tube_circumference_min = 3, tube_circumference_max = 30;
constexpr int32_t rod_length_min = 3, rod_length_max = 200;
constexpr int32_t plane_length_min = 3, plane_length_max = 30;
constexpr int32_t plane_width_min = 3, plane_width_max = 39;
constexpr double tension_min = 0.1, tension_max = 16.0;
constexpr double speed_min = 0.0, speed_max = 0.5;
constexpr double damping_min = 0.005, damping_max = 0.5;
constexpr double velocity_min = 0.0, velocity_max = 1.0;
constexpr double decay_level_min = -80.0, decay_level_max = -20.0;
} // namespace instrument_range

//! The defaults: a tube of 10 rings of 5 nodes struck at node 7, sampled at
//! node 40. `progress` is left null; the window installs its own.
Instrument instrument_defaults();

//! Number of nodes of the shape selected by `type`.
int32_t instrument_node_count(const Instrument &ins);

//! The node numbers a size change of the current shape resets to:
//! tube c + c/2 and (h-2)*c, rod 1 and n-2, plane 1 and (L-1)*W-1.
int32_t instrument_reset_actuation_node(const Instrument &ins);
int32_t instrument_reset_sampling_node(const Instrument &ins);

//! True when `node` is a movable node of the current shape: inside the
//! object, not on an anchored ring or rod end, not a plane corner.
bool instrument_node_is_movable(const Instrument &ins, int32_t node);

//! The node opposite `node` through the object's centre: the other end of a
//! rod, the other side of a tube's opposite ring, the point reflection on a
//! plane. A movable node's mirror is movable.
int32_t instrument_mirror_node(const Instrument &ins, int32_t node);
