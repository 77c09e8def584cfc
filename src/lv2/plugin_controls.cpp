// The control port table and how its values reach the sound.
#include "plugin_controls.h"

#include <algorithm>
#include <cmath>

namespace cw_lv2 {

namespace {

namespace r = instrument_range;
using K = ControlKind;

// The largest mesh has 30 x 39 nodes; -1 is the shape's own choice.
constexpr float node_max = 30 * 39 - 1;
constexpr float key_max = 127.0f;

constexpr ScalePoint shape_points[] = {{TYPE_TUBE, "Tube"}, {TYPE_ROD, "Rod"}, {TYPE_PLANE, "Plane"}};
constexpr ScalePoint actuation_points[] = {{ACTUATION_COMPRESSION, "Compression"},
                                           {ACTUATION_PERPENDICULAR, "Perpendicular"}};
constexpr ScalePoint node_points[] = {{-1.0f, "Reset node of the shape"}};
constexpr ScalePoint root_points[] = {{-1.0f, "From the sound"}};
constexpr ScalePoint pickup_points[] = {{-1.0f, "Mirror of the sampling node"}};

template <size_t N> constexpr int32_t count(const ScalePoint (&)[N]) { return N; }

// Defaults as instrument_defaults() and EngineSettings{} have them.
const std::array<ControlPort, control_count> ports = {{
    {port_shape, "shape", "Shape", K::enumeration, 0, 2, TYPE_TUBE, nullptr, shape_points,
     count(shape_points)},
    {port_tube_height, "tube_height", "Tube height", K::integer, r::tube_height_min,
     r::tube_height_max, 10, nullptr, nullptr, 0},
    {port_tube_circumference, "tube_circumference", "Tube circumference", K::integer,
     r::tube_circumference_min, r::tube_circumference_max, 5, nullptr, nullptr, 0},
    {port_rod_length, "rod_length", "Rod length", K::integer, r::rod_length_min,
     r::rod_length_max, 5, nullptr, nullptr, 0},
    {port_plane_length, "plane_length", "Plane length", K::integer, r::plane_length_min,
     r::plane_length_max, 7, nullptr, nullptr, 0},
    {port_plane_width, "plane_width", "Plane width", K::integer, r::plane_width_min,
     r::plane_width_max, 9, nullptr, nullptr, 0},
    {port_actuation_node, "actuation_node", "Struck node", K::integer, -1, node_max, -1, nullptr,
     node_points, count(node_points)},
    {port_sampling_node, "sampling_node", "Listening node", K::integer, -1, node_max, -1,
     nullptr, node_points, count(node_points)},
    {port_tension, "tension", "Spring tension", K::real, r::tension_min, r::tension_max, 4,
     nullptr, nullptr, 0},
    {port_speed, "speed", "Speed", K::real, r::speed_min, r::speed_max, 0.2f, nullptr, nullptr,
     0},
    {port_damping, "damping", "Damping time", K::real, r::damping_min, r::damping_max, 0.05f,
     "s", nullptr, 0},
    {port_actuation, "actuation", "Type of actuation", K::enumeration, 0, 1,
     ACTUATION_COMPRESSION, nullptr, actuation_points, count(actuation_points)},
    {port_velocity, "velocity", "Velocity", K::real, r::velocity_min, r::velocity_max, 1,
     nullptr, nullptr, 0},
    {port_root_key, "root_key", "Root key", K::integer, -1, key_max, -1, "midiNote", root_points,
     count(root_points)},
    {port_tuning, "tuning", "Tuning", K::real, -100, 100, 0, "cent", nullptr, 0},
    {port_polyphony, "polyphony", "Polyphony", K::integer, 1, voice::polyphony_max, 16, nullptr,
     nullptr, 0},
    {port_release, "release", "Release", K::real, 0.01f, 10, 0.5f, "s", nullptr, 0},
    {port_one_shot, "one_shot", "One-shot", K::toggle, 0, 1, 0, nullptr, nullptr, 0},
    {port_restrike, "restrike", "Restrike", K::toggle, 0, 1, 1, nullptr, nullptr, 0},
    {port_second_pickup, "second_pickup", "Second pickup", K::integer, -1, node_max, -1, nullptr,
     pickup_points, count(pickup_points)},
    {port_velocity_curve, "velocity_curve", "Velocity curve", K::real, 0.2f, 5, 1, nullptr,
     nullptr, 0},
    {port_bend_range, "bend_range", "Bend range", K::real, 0, 24, 2, "semitone12TET", nullptr, 0},
    {port_level, "level", "Level", K::real, -40, 12, 0, "db", nullptr, 0},
}};

bool is_size(Port p)
{
    return p >= port_shape && p <= port_plane_width;
}

// A node control's value on the mesh `ins` describes now.
int32_t node_from_control(const Instrument &ins, float value, int32_t reset)
{
    if (!(value >= 0.0f))
        return reset;
    const auto node = static_cast<int32_t>(std::lround(value));
    return node >= 0 && instrument_node_is_movable(ins, node) ? node : reset;
}

int32_t pickup_from_control(const Instrument &ins, float value)
{
    if (!(value >= 0.0f))
        return -1;
    const auto node = static_cast<int32_t>(std::lround(value));
    return node >= 0 && instrument_node_is_movable(ins, node) ? node : -1;
}

float node_value(int32_t node, int32_t reset)
{
    return node == reset ? -1.0f : static_cast<float>(node);
}

} // namespace

const std::array<ControlPort, control_count> &control_ports()
{
    return ports;
}

Sound sound_defaults()
{
    return Sound{instrument_defaults(), voice::EngineSettings{}};
}

float control_value(const Sound &sound, Port port)
{
    const Instrument &ins = sound.instrument;
    const voice::EngineSettings &s = sound.settings;
    switch (port) {
    case port_shape: return static_cast<float>(ins.type);
    case port_tube_height: return static_cast<float>(ins.tube_height);
    case port_tube_circumference: return static_cast<float>(ins.tube_circumference);
    case port_rod_length: return static_cast<float>(ins.rod_length);
    case port_plane_length: return static_cast<float>(ins.plane_length);
    case port_plane_width: return static_cast<float>(ins.plane_width);
    case port_actuation_node:
        return node_value(ins.actuation_node, instrument_reset_actuation_node(ins));
    case port_sampling_node:
        return node_value(ins.sampling_node, instrument_reset_sampling_node(ins));
    case port_tension: return static_cast<float>(ins.tension);
    case port_speed: return static_cast<float>(ins.speed);
    case port_damping: return static_cast<float>(ins.damping);
    case port_actuation: return static_cast<float>(ins.actuation);
    case port_velocity: return static_cast<float>(ins.velocity);
    case port_root_key: return static_cast<float>(s.root_key);
    case port_tuning: return static_cast<float>(s.tuning_cents);
    case port_polyphony: return static_cast<float>(s.polyphony);
    case port_release: return static_cast<float>(s.release_s);
    case port_one_shot: return s.one_shot ? 1.0f : 0.0f;
    case port_restrike: return s.restrike ? 1.0f : 0.0f;
    case port_second_pickup: return static_cast<float>(s.second_pickup);
    case port_velocity_curve: return static_cast<float>(s.velocity_curve);
    case port_bend_range: return static_cast<float>(s.bend_range);
    case port_level: return static_cast<float>(s.level_db);
    default: return 0.0f;
    }
}

void apply_controls(Sound &sound, const float *values, uint64_t moved)
{
    Instrument &ins = sound.instrument;
    voice::EngineSettings &s = sound.settings;
    bool reshaped = false;
    for (const ControlPort &c : ports) {
        if (!(moved >> (c.index - first_control) & 1))
            continue;
        float v = values[c.index];
        if (std::isnan(v) || v == control_value(sound, c.index))
            continue;
        v = std::clamp(v, c.min, c.max);
        const auto whole = static_cast<int32_t>(std::lround(v));
        reshaped = reshaped || is_size(c.index);
        switch (c.index) {
        case port_shape: ins.type = whole; break;
        case port_tube_height: ins.tube_height = whole; break;
        case port_tube_circumference: ins.tube_circumference = whole; break;
        case port_rod_length: ins.rod_length = whole; break;
        case port_plane_length: ins.plane_length = whole; break;
        case port_plane_width: ins.plane_width = whole; break;
        case port_actuation_node:
            ins.actuation_node = node_from_control(ins, v, instrument_reset_actuation_node(ins));
            break;
        case port_sampling_node:
            ins.sampling_node = node_from_control(ins, v, instrument_reset_sampling_node(ins));
            break;
        case port_tension: ins.tension = v; break;
        case port_speed: ins.speed = v; break;
        case port_damping: ins.damping = v; break;
        case port_actuation: ins.actuation = whole; break;
        case port_velocity: ins.velocity = v; break;
        case port_root_key: s.root_key = whole; break;
        case port_tuning: s.tuning_cents = v; break;
        case port_polyphony: s.polyphony = whole; break;
        case port_release: s.release_s = v; break;
        case port_one_shot: s.one_shot = v >= 0.5f; break;
        case port_restrike: s.restrike = v >= 0.5f; break;
        case port_second_pickup: s.second_pickup = pickup_from_control(ins, v); break;
        case port_velocity_curve: s.velocity_curve = v; break;
        case port_bend_range: s.bend_range = v; break;
        case port_level: s.level_db = v; break;
        default: break;
        }
    }
    if (!reshaped)
        return;
    // The nodes where their controls point on the new mesh.
    ins.actuation_node = node_from_control(ins, values[port_actuation_node],
                                           instrument_reset_actuation_node(ins));
    ins.sampling_node = node_from_control(ins, values[port_sampling_node],
                                          instrument_reset_sampling_node(ins));
    s.second_pickup = pickup_from_control(ins, values[port_second_pickup]);
}

bool same_instrument(const Instrument &a, const Instrument &b)
{
    if (a.type != b.type)
        return false;
    bool sizes = true;
    switch (a.type) {
    case TYPE_TUBE:
        sizes = a.tube_height == b.tube_height && a.tube_circumference == b.tube_circumference;
        break;
    case TYPE_ROD:
        sizes = a.rod_length == b.rod_length;
        break;
    default:
        sizes = a.plane_length == b.plane_length && a.plane_width == b.plane_width;
        break;
    }
    return sizes && a.actuation_node == b.actuation_node && a.sampling_node == b.sampling_node &&
           a.tension == b.tension && a.speed == b.speed && a.damping == b.damping &&
           a.actuation == b.actuation && a.velocity == b.velocity;
}

} // namespace cw_lv2
