// cw-lv2-bundle OUT_DIR LIBRARY_DIR: writes the bundle's description at build
// time: manifest.ttl, clangwright.ttl (the ports, from the control table) and
// presets.ttl (every library preset, as the renderer's --preset loads it).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "plugin_controls.h"
#include "plugin_state.h"
#include "presets.h"
#include "tune.h"

namespace {

using namespace cw_lv2;
namespace fs = std::filesystem;

constexpr const char *binary_name = "clangwright.so";
constexpr const char *preset_uri_base = "https://clangwright.org/lv2/clangwright/preset/";
constexpr double a4_hz = 440.0;
constexpr int32_t a4_key = 69;

constexpr const char *prefixes = R"(@prefix atom: <http://lv2plug.in/ns/ext/atom#> .
@prefix doap: <http://usefulinc.com/ns/doap#> .
@prefix log: <http://lv2plug.in/ns/ext/log#> .
@prefix lv2: <http://lv2plug.in/ns/lv2core#> .
@prefix midi: <http://lv2plug.in/ns/ext/midi#> .
@prefix pset: <http://lv2plug.in/ns/ext/presets#> .
@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .
@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .
@prefix state: <http://lv2plug.in/ns/ext/state#> .
@prefix units: <http://lv2plug.in/ns/extensions/units#> .
@prefix urid: <http://lv2plug.in/ns/ext/urid#> .
@prefix work: <http://lv2plug.in/ns/ext/worker#> .

)";

// The shortest decimal that reads back as `v`, always with a point, so that
// Turtle reads it as a decimal.
std::string number(float v)
{
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*f", digits, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v)
            break;
    }
    std::string s = text;
    while (s.size() > 2 && s.back() == '0' && s[s.size() - 2] != '.')
        s.pop_back();
    return s;
}

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c; break;
        }
    }
    return out + "\"";
}

std::string control_port_text(const ControlPort &c)
{
    std::ostringstream o;
    const bool whole = c.kind != ControlKind::real;
    const auto value = [&](float v) {
        return whole ? std::to_string(std::lround(v)) : number(v);
    };
    o << "[\n        a lv2:InputPort , lv2:ControlPort ;\n"
      << "        lv2:index " << c.index << " ;\n"
      << "        lv2:symbol \"" << c.symbol << "\" ;\n"
      << "        lv2:name \"" << c.name << "\" ;\n"
      << "        lv2:default " << value(c.def) << " ;\n"
      << "        lv2:minimum " << value(c.min) << " ;\n"
      << "        lv2:maximum " << value(c.max);
    switch (c.kind) {
    case ControlKind::integer: o << " ;\n        lv2:portProperty lv2:integer"; break;
    case ControlKind::enumeration:
        o << " ;\n        lv2:portProperty lv2:integer , lv2:enumeration";
        break;
    case ControlKind::toggle: o << " ;\n        lv2:portProperty lv2:toggled"; break;
    case ControlKind::real: break;
    }
    if (c.unit)
        o << " ;\n        units:unit units:" << c.unit;
    for (int32_t i = 0; i < c.num_points; ++i)
        o << (i == 0 ? " ;\n        lv2:scalePoint " : " , ") << "[ rdfs:label \""
          << c.points[i].label << "\" ; rdf:value " << value(c.points[i].value) << " ]";
    o << "\n    ]";
    return o.str();
}

std::string plugin_text()
{
    std::ostringstream o;
    o << prefixes << "<" << plugin_uri << ">\n"
      << "    a lv2:Plugin , lv2:InstrumentPlugin ;\n"
      << "    doap:name \"Clangwright\" ;\n"
      << "    rdfs:comment \"Struck metal tubes, rods and plates, simulated as meshes of "
         "springs.\" ;\n"
      << "    lv2:minorVersion " << CW_VERSION_MINOR << " ;\n"
      << "    lv2:microVersion " << CW_VERSION_PATCH << " ;\n"
      << "    lv2:requiredFeature urid:map ;\n"
      << "    lv2:optionalFeature lv2:hardRTCapable , work:schedule , log:log ;\n"
      << "    lv2:extensionData work:interface , state:interface ;\n"
      << "    lv2:port [\n"
      << "        a lv2:InputPort , atom:AtomPort ;\n"
      << "        atom:bufferType atom:Sequence ;\n"
      << "        atom:supports midi:MidiEvent ;\n"
      << "        lv2:designation lv2:control ;\n"
      << "        lv2:index " << port_midi_in << " ;\n"
      << "        lv2:symbol \"midi_in\" ;\n"
      << "        lv2:name \"MIDI in\"\n"
      << "    ] , [\n"
      << "        a lv2:OutputPort , lv2:AudioPort ;\n"
      << "        lv2:index " << port_out_l << " ;\n"
      << "        lv2:symbol \"out_l\" ;\n"
      << "        lv2:name \"Left\"\n"
      << "    ] , [\n"
      << "        a lv2:OutputPort , lv2:AudioPort ;\n"
      << "        lv2:index " << port_out_r << " ;\n"
      << "        lv2:symbol \"out_r\" ;\n"
      << "        lv2:name \"Right\"\n"
      << "    ]";
    for (const ControlPort &c : control_ports())
        o << " , " << control_port_text(c);
    o << " .\n\n<" << document_key << ">\n"
      << "    a rdf:Property ;\n"
      << "    rdfs:label \"document\" ;\n"
      << "    rdfs:comment \"The sound as a Clangwright preset document.\" ;\n"
      << "    rdfs:range atom:String .\n";
    return o.str();
}

struct LibraryPreset {
    std::string name, group;
    Sound sound;
};

// The root a tuned preset's name ends in, as the renderer's --preset takes it.
int32_t root_of(const std::string &name)
{
    const size_t dash = name.find_last_of('-');
    if (dash == std::string::npos)
        return -1;
    const std::optional<double> hz = parse_note_hz(name.substr(dash + 1), a4_hz);
    if (!hz)
        return -1;
    const auto key = static_cast<int32_t>(std::lround(a4_key + 12.0 * std::log2(*hz / a4_hz)));
    return key >= 0 && key <= 127 ? key : -1;
}

std::optional<std::vector<LibraryPreset>> read_library(const fs::path &dir)
{
    std::vector<LibraryPreset> presets;
    std::error_code ec;
    for (const fs::directory_entry &group : fs::directory_iterator(dir, ec)) {
        if (!group.is_directory())
            continue;
        for (const fs::directory_entry &file : fs::directory_iterator(group.path(), ec)) {
            if (file.path().extension() != ".cwrp")
                continue;
            LibraryPreset p{file.path().stem().string(), group.path().filename().string(),
                            sound_defaults()};
            std::string message;
            if (load_pres(&p.sound.instrument, file.path().c_str(), message) != 0) {
                std::fprintf(stderr, "cw-lv2-bundle: %s\n", message.c_str());
                return std::nullopt;
            }
            apply_loaded_pres(&p.sound.instrument);
            p.sound.settings.root_key = root_of(p.name);
            presets.push_back(p);
        }
    }
    if (ec) {
        std::fprintf(stderr, "cw-lv2-bundle: %s: %s\n", dir.c_str(), ec.message().c_str());
        return std::nullopt;
    }
    std::sort(presets.begin(), presets.end(),
              [](const auto &a, const auto &b) { return a.name < b.name; });
    return presets;
}

std::string presets_text(const std::vector<LibraryPreset> &presets)
{
    std::ostringstream o;
    o << prefixes;
    for (const LibraryPreset &p : presets) {
        o << "<" << preset_uri_base << p.name << ">\n"
          << "    a pset:Preset ;\n"
          << "    lv2:appliesTo <" << plugin_uri << "> ;\n"
          << "    rdfs:label \"" << p.name << "\" ;\n"
          << "    rdfs:comment \"" << p.group << "\" ;\n"
          << "    lv2:port ";
        bool first = true;
        for (const ControlPort &c : control_ports()) {
            const float v = control_value(p.sound, c.index);
            o << (first ? "" : " , ") << "[ lv2:symbol \"" << c.symbol << "\" ; pset:value "
              << number(v) << " ]";
            first = false;
        }
        // The document keeps the speed's every digit, which a control's float
        // would round.
        o << " ;\n    state:state [ <" << document_key << "> "
          << quoted(sound_document(p.sound)) << " ] .\n\n";
    }
    return o.str();
}

std::string manifest_text(const std::vector<LibraryPreset> &presets)
{
    std::ostringstream o;
    o << prefixes << "<" << plugin_uri << ">\n"
      << "    a lv2:Plugin ;\n"
      << "    lv2:binary <" << binary_name << "> ;\n"
      << "    rdfs:seeAlso <clangwright.ttl> .\n";
    for (const LibraryPreset &p : presets)
        o << "\n<" << preset_uri_base << p.name << ">\n"
          << "    a pset:Preset ;\n"
          << "    lv2:appliesTo <" << plugin_uri << "> ;\n"
          << "    rdfs:seeAlso <presets.ttl> .\n";
    return o.str();
}

bool write(const fs::path &file, const std::string &text)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "cw-lv2-bundle: cannot write %s\n", file.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: cw-lv2-bundle OUT_DIR LIBRARY_DIR\n");
        return 2;
    }
    const fs::path out = argv[1];
    const std::optional<std::vector<LibraryPreset>> presets = read_library(argv[2]);
    if (!presets || presets->empty())
        return 1;
    std::error_code ec;
    fs::create_directories(out, ec);
    return write(out / "manifest.ttl", manifest_text(*presets)) &&
                   write(out / "clangwright.ttl", plugin_text()) &&
                   write(out / "presets.ttl", presets_text(*presets))
               ? 0
               : 1;
}
