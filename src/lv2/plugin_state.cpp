// The plugin's state document, written and read strictly: a song that comes
// back damaged must not play a sound nobody made.
#include "plugin_state.h"

#include <cmath>
#include <cstring>

#include "intl.h"
#include "presets.h"
#include "xml_property_store.h"

namespace cw_lv2 {

namespace {

constexpr const char *root_path = "";
constexpr const char *state_name = "state";
constexpr const char *shape_names[] = {"tube", "rod", "plane"};

const ControlPort &port_of(Port p)
{
    return control_ports()[p - first_control];
}

bool in_range(double v, Port p)
{
    const ControlPort &c = port_of(p);
    return std::isfinite(v) && v >= c.min && v <= c.max;
}

} // namespace

std::string sound_document(const Sound &sound)
{
    const Instrument &ins = sound.instrument;
    const voice::EngineSettings &s = sound.settings;
    XmlpDocHandle doc = pres_document(ins, state_name);
    xmlp_set_int(*doc, root_path, "actuation-node", ins.actuation_node);
    xmlp_set_int(*doc, root_path, "sampling-node", ins.sampling_node);
    xmlp_set_int(*doc, root_path, "root-key", s.root_key);
    xmlp_set_double(*doc, root_path, "tuning", s.tuning_cents);
    xmlp_set_int(*doc, root_path, "polyphony", s.polyphony);
    xmlp_set_double(*doc, root_path, "release", s.release_s);
    xmlp_set_boolean(*doc, root_path, "one-shot", s.one_shot);
    xmlp_set_boolean(*doc, root_path, "restrike", s.restrike);
    xmlp_set_int(*doc, root_path, "second-pickup", s.second_pickup);
    xmlp_set_double(*doc, root_path, "velocity-curve", s.velocity_curve);
    xmlp_set_double(*doc, root_path, "bend-range", s.bend_range);
    xmlp_set_double(*doc, root_path, "level", s.level_db);
    return xmlp_serialise(*doc).value_or(std::string());
}

std::optional<Sound> read_sound_document(const char *data, size_t size, std::string &fault)
{
    // An atom string carries its terminating zero.
    if (size > 0 && data[size - 1] == '\0')
        --size;
    if (size == 0 || std::memchr(data, '\0', size)) {
        fault = _("the state holds no document");
        return std::nullopt;
    }
    const XmlpDocHandle doc =
        xmlp_get_doc_from_memory(data, size, state_name, pres_root_name, pres_version);
    if (!doc) {
        fault = _("the state is not a preset document");
        return std::nullopt;
    }
    const std::optional<std::string> type = xmlp_get_string(*doc, root_path, "type");
    bool known = false;
    for (const char *name : shape_names)
        known = known || (type && *type == name);
    if (!known) {
        fault = _("the state names no shape");
        return std::nullopt;
    }
    Sound sound = sound_defaults();
    Instrument &ins = sound.instrument;
    voice::EngineSettings &s = sound.settings;
    bool whole = pres_read_document(*doc, &ins);
    int32_t one_shot = 0, restrike = 0;
    const auto read_int = [&](const char *name, int32_t *field) {
        whole = xmlp_get_int(*doc, root_path, name, field) != 0 && whole;
    };
    const auto read_double = [&](const char *name, double *field) {
        whole = xmlp_get_double(*doc, root_path, name, field) != 0 && whole;
    };
    read_int("actuation-node", &ins.actuation_node);
    read_int("sampling-node", &ins.sampling_node);
    read_int("root-key", &s.root_key);
    read_double("tuning", &s.tuning_cents);
    read_int("polyphony", &s.polyphony);
    read_double("release", &s.release_s);
    whole = xmlp_get_boolean(*doc, root_path, "one-shot", &one_shot) != 0 && whole;
    whole = xmlp_get_boolean(*doc, root_path, "restrike", &restrike) != 0 && whole;
    read_int("second-pickup", &s.second_pickup);
    read_double("velocity-curve", &s.velocity_curve);
    read_double("bend-range", &s.bend_range);
    read_double("level", &s.level_db);
    s.one_shot = one_shot != 0;
    s.restrike = restrike != 0;
    if (!whole) {
        fault = _("a value of the state is missing");
        return std::nullopt;
    }

    const auto size_ok = [&](int32_t v, Port p) { return in_range(v, p); };
    bool ranges = true;
    switch (ins.type) {
    case TYPE_TUBE:
        ranges = size_ok(ins.tube_height, port_tube_height) &&
                 size_ok(ins.tube_circumference, port_tube_circumference);
        break;
    case TYPE_ROD:
        ranges = size_ok(ins.rod_length, port_rod_length);
        break;
    default:
        ranges = size_ok(ins.plane_length, port_plane_length) &&
                 size_ok(ins.plane_width, port_plane_width);
        break;
    }
    ranges = ranges && in_range(ins.tension, port_tension) && in_range(ins.speed, port_speed) &&
             in_range(ins.damping, port_damping) && in_range(ins.actuation, port_actuation) &&
             in_range(ins.velocity, port_velocity) && in_range(s.root_key, port_root_key) &&
             in_range(s.tuning_cents, port_tuning) && in_range(s.polyphony, port_polyphony) &&
             in_range(s.release_s, port_release) &&
             in_range(s.velocity_curve, port_velocity_curve) &&
             in_range(s.bend_range, port_bend_range) && in_range(s.level_db, port_level);
    if (!ranges) {
        fault = _("a value of the state lies out of its range");
        return std::nullopt;
    }
    if (!instrument_node_is_movable(ins, ins.actuation_node) ||
        !instrument_node_is_movable(ins, ins.sampling_node) ||
        (s.second_pickup != -1 && !instrument_node_is_movable(ins, s.second_pickup))) {
        fault = _("a node of the state is not a movable node of the shape");
        return std::nullopt;
    }
    return sound;
}

} // namespace cw_lv2
