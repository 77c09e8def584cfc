// The plugin's ports and the sound they describe: one control port for every
// value of the window's sound and every engine setting, with the window's
// ranges and defaults. The plugin description, the library presets and the
// plugin itself are all made from this one table.
#pragma once

#include <array>
#include <cstdint>

#include "instrument.h"
#include "voice_engine.h"

namespace cw_lv2 {

constexpr const char *plugin_uri = "https://clangwright.org/lv2/clangwright";
//! The state key that holds the preset document.
constexpr const char *document_key = "https://clangwright.org/lv2/clangwright#document";

//! Port indices, in the order the description lists them.
enum Port : uint32_t {
    port_midi_in,
    port_out_l,
    port_out_r,
    // The sound, as the window has it.
    port_shape,
    port_tube_height,
    port_tube_circumference,
    port_rod_length,
    port_plane_length,
    port_plane_width,
    port_actuation_node,
    port_sampling_node,
    port_tension,
    port_speed,
    port_damping,
    port_actuation,
    port_velocity,
    // The engine.
    port_root_key,
    port_tuning,
    port_polyphony,
    port_release,
    port_one_shot,
    port_restrike,
    port_second_pickup,
    port_velocity_curve,
    port_bend_range,
    port_level,
    port_count
};

constexpr uint32_t first_control = port_shape;
constexpr uint32_t control_count = port_count - first_control;

enum class ControlKind { real, integer, toggle, enumeration };

//! One choice of an enumeration port, or a named value of an integer port.
struct ScalePoint {
    float value;
    const char *label;
};

//! One control port as the description states it. `unit` is a term of the
//! LV2 units vocabulary, or null.
struct ControlPort {
    Port index;
    const char *symbol;
    const char *name;
    ControlKind kind;
    float min, max, def;
    const char *unit;
    const ScalePoint *points;
    int32_t num_points;
};

//! The control ports, port_shape first.
const std::array<ControlPort, control_count> &control_ports();

//! Everything the plugin plays: the instrument and the engine's settings.
struct Sound {
    Instrument instrument;
    voice::EngineSettings settings;
};

//! The defaults: the window's instrument and the engine's settings.
Sound sound_defaults();

//! A port's value for `sound`: what the control shows for it. Nodes at the
//! shape's reset node and the mirror pickup show -1.
float control_value(const Sound &sound, Port port);

//! Sets the fields of the controls in `moved` (bit i: control first_control
//! + i) from `values` (indexed by port), each only when it no longer shows
//! the field (a control holds a float, a field may hold a double the float
//! rounds: an unmoved control keeps it). Values out of range are clamped,
//! integers rounded. A node that is not a movable node of the shape plays the
//! shape's reset node, and a second pickup that is not one the mirror; a
//! change of shape or size puts the nodes where their controls say. No
//! allocation: the audio thread calls it.
void apply_controls(Sound &sound, const float *values, uint64_t moved);

//! True when the two play the same mesh: shape, that shape's sizes, nodes
//! and physics.
bool same_instrument(const Instrument &a, const Instrument &b);

} // namespace cw_lv2
