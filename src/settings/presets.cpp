#include "presets.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <glib.h>

#include "intl.h"
#include "xml_property_store.h"

namespace {

constexpr const char *preset_root = pres_root_name;
constexpr const char *legacy_preset_root = "cwrinstr";
constexpr const char *preset_version = pres_version;
constexpr const char *root_path = ""; // every key is a child of the root

//! Shape names by InstrumentType.
constexpr const char *type_names[] = {"tube", "rod", "plane"};

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};

std::string format_with_file(const char *format, const char *file_name)
{
    std::unique_ptr<char, GFreeDeleter> text(g_strdup_printf(format, file_name ? file_name : ""));
    return text.get();
}

bool is_shape(int32_t type) { return type >= TYPE_TUBE && type <= TYPE_PLANE; }

double clamp_double(double value, double low, double high)
{
    if (std::isnan(value))
        return low;
    return std::clamp(value, low, high);
}

} // namespace

XmlpDocHandle pres_document(const Instrument &instrument, const char *file_name)
{
    const Instrument *ins = &instrument;
    g_assert(is_shape(ins->type));
    XmlpDocHandle doc = xmlp_new_doc(file_name, preset_root, preset_version);
    xmlp_set_string(*doc, root_path, "type", type_names[ins->type]);
    switch (ins->type) {
    case TYPE_TUBE:
        xmlp_set_int(*doc, root_path, "height", ins->tube_height);
        xmlp_set_int(*doc, root_path, "circumference", ins->tube_circumference);
        break;
    case TYPE_ROD:
        xmlp_set_int(*doc, root_path, "length", ins->rod_length);
        break;
    case TYPE_PLANE:
        xmlp_set_int(*doc, root_path, "length", ins->plane_length);
        xmlp_set_int(*doc, root_path, "width", ins->plane_width);
        break;
    }
    xmlp_set_double(*doc, root_path, "tension", ins->tension);
    xmlp_set_double(*doc, root_path, "speed", ins->speed);
    xmlp_set_double(*doc, root_path, "damping", ins->damping);
    xmlp_set_int(*doc, root_path, "actuation", ins->actuation);
    xmlp_set_double(*doc, root_path, "velocity", ins->velocity);
    return doc;
}

int save_pres(Instrument *ins, const char *file_name, std::string &message)
{
    XmlpDocHandle doc = pres_document(*ins, file_name);
    int error = 0;
    if (xmlp_sync(*doc, &error) < 0) {
        message = format_with_file(_("Could not write file %s"), file_name);
        return error > 0 ? error : -1;
    }
    return 0;
}

PresLoadResult load_pres_result(Instrument *ins, const char *file_name, std::string &message)
{
    XmlpDocHandle doc = xmlp_get_doc(file_name, preset_root, preset_version);
    if (!doc)
        doc = xmlp_get_doc(file_name, legacy_preset_root, preset_version);
    if (!doc) {
        message = format_with_file(_("Could not open file %s, not a CWR presets or parsing error"),
                                   file_name);
        return PRES_UNREADABLE;
    }

    if (pres_read_document(*doc, ins))
        return PRES_LOADED;
    message = _("Incorrect or incomplete presets file. Some values may be missing.");
    return PRES_INCOMPLETE;
}

bool pres_read_document(const XmlpDoc &doc, Instrument *ins)
{
    // Each value is stored as soon as it is found, so an incomplete preset is
    // applied as far as it goes; "type" itself is never missing.
    const std::string type = xmlp_get_string_default(doc, root_path, "type", "tube").value();
    bool complete = true;
    auto read_int = [&](const char *name, int32_t *field) {
        complete = xmlp_get_int(doc, root_path, name, field) != 0 && complete;
    };
    auto read_double = [&](const char *name, double *field) {
        complete = xmlp_get_double(doc, root_path, name, field) != 0 && complete;
    };
    if (g_ascii_strcasecmp(type.c_str(), "rod") == 0) {
        ins->type = TYPE_ROD;
        read_int("length", &ins->rod_length);
    } else if (g_ascii_strcasecmp(type.c_str(), "plane") == 0) {
        ins->type = TYPE_PLANE;
        read_int("length", &ins->plane_length);
        read_int("width", &ins->plane_width);
    } else {
        // "tube", and any shape this version does not know.
        ins->type = TYPE_TUBE;
        read_int("height", &ins->tube_height);
        read_int("circumference", &ins->tube_circumference);
    }
    read_double("tension", &ins->tension);
    read_double("speed", &ins->speed);
    read_double("damping", &ins->damping);
    read_int("actuation", &ins->actuation);
    read_double("velocity", &ins->velocity);
    return complete;
}

int load_pres(Instrument *ins, const char *file_name, std::string &message)
{
    return load_pres_result(ins, file_name, message) == PRES_LOADED ? 0 : -1;
}

void clamp_pres(Instrument *ins)
{
    namespace r = instrument_range;
    g_assert(is_shape(ins->type));
    switch (ins->type) {
    case TYPE_TUBE:
        ins->tube_height = std::clamp(ins->tube_height, r::tube_height_min, r::tube_height_max);
        ins->tube_circumference = std::clamp(ins->tube_circumference, r::tube_circumference_min,
                                             r::tube_circumference_max);
        break;
    case TYPE_ROD:
        ins->rod_length = std::clamp(ins->rod_length, r::rod_length_min, r::rod_length_max);
        break;
    case TYPE_PLANE:
        ins->plane_length = std::clamp(ins->plane_length, r::plane_length_min, r::plane_length_max);
        ins->plane_width = std::clamp(ins->plane_width, r::plane_width_min, r::plane_width_max);
        break;
    }
    ins->tension = clamp_double(ins->tension, r::tension_min, r::tension_max);
    ins->speed = clamp_double(ins->speed, r::speed_min, r::speed_max);
    ins->damping = clamp_double(ins->damping, r::damping_min, r::damping_max);
    ins->velocity = clamp_double(ins->velocity, r::velocity_min, r::velocity_max);
    ins->actuation = std::clamp<int32_t>(ins->actuation, ACTUATION_COMPRESSION,
                                         ACTUATION_PERPENDICULAR);
}

void reset_pres_nodes(Instrument *ins)
{
    ins->actuation_node = instrument_reset_actuation_node(*ins);
    ins->sampling_node = instrument_reset_sampling_node(*ins);
}

void apply_loaded_pres(Instrument *ins)
{
    clamp_pres(ins);
    reset_pres_nodes(ins);
}
