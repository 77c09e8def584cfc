#include "preset_library.h"

#include <glib.h>
#include <json-glib/json-glib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "glib_owners.h"
#include "install_paths.h"
#include "intl.h"
#include "presets.h"

namespace {

struct DirClose {
    void operator()(GDir *d) const { g_dir_close(d); }
};
using DirPtr = std::unique_ptr<GDir, DirClose>;

constexpr const char *preset_ext = ".cwrp";

bool ends_with(const std::string &text, const char *end)
{
    const size_t n = std::strlen(end);
    return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

std::string join(const std::string &folder, const std::string &name)
{
    const GCharPtr path(g_build_filename(folder.c_str(), name.c_str(), nullptr));
    return path.get();
}

bool is_folder(const std::string &path)
{
    return g_file_test(path.c_str(), G_FILE_TEST_IS_DIR);
}

std::vector<std::string> sorted_entries(const std::string &folder)
{
    std::vector<std::string> names;
    const DirPtr dir(g_dir_open(folder.c_str(), 0, nullptr));
    if (!dir)
        return names;
    while (const char *name = g_dir_read_name(dir.get()))
        names.emplace_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

// The shape as the renderer's --shape names it, read from the file.
std::string shape_of(const std::string &file)
{
    Instrument ins = instrument_defaults();
    std::string message;
    if (load_pres_result(&ins, file.c_str(), message) == PRES_UNREADABLE)
        return {};
    switch (ins.type) {
    case TYPE_TUBE:
        return "tube";
    case TYPE_ROD:
        return "rod";
    case TYPE_PLANE:
        return "plane";
    default:
        return {};
    }
}

} // namespace

std::string preset_library_folder()
{
    return cw_install_path("share/clangwright/presets");
}

std::string note_of_name(const std::string &name)
{
    const size_t dash = name.rfind('-');
    if (dash == std::string::npos)
        return {};
    const std::string note = name.substr(dash + 1);
    size_t i = 0;
    if (i >= note.size() || note[i] < 'A' || note[i] > 'G')
        return {};
    ++i;
    if (i < note.size() && (note[i] == '#' || note[i] == 'b'))
        ++i;
    if (i + 1 != note.size() || !g_ascii_isdigit(note[i]))
        return {};
    return note;
}

std::vector<LibraryPreset> list_library(const std::string &folder)
{
    std::vector<LibraryPreset> presets;
    for (const std::string &group : sorted_entries(folder)) {
        const std::string group_folder = join(folder, group);
        if (!is_folder(group_folder))
            continue;
        for (const std::string &entry : sorted_entries(group_folder)) {
            if (!ends_with(entry, preset_ext))
                continue;
            LibraryPreset p;
            p.name = entry.substr(0, entry.size() - std::strlen(preset_ext));
            p.group = group;
            p.file = join(group_folder, entry);
            p.shape = shape_of(p.file);
            p.note = note_of_name(p.name);
            presets.push_back(std::move(p));
        }
    }
    return presets;
}

std::string resolve_preset(const std::string &given, const std::string &folder)
{
    if (g_file_test(given.c_str(), G_FILE_TEST_EXISTS) ||
        given.find(G_DIR_SEPARATOR) != std::string::npos || ends_with(given, preset_ext))
        return given;
    for (const std::string &group : sorted_entries(folder)) {
        const std::string file = join(join(folder, group), given + preset_ext);
        if (g_file_test(file.c_str(), G_FILE_TEST_IS_REGULAR))
            return file;
    }
    return given;
}

std::string library_text(const std::vector<LibraryPreset> &presets)
{
    // Widths of the columns before the file, at least their headings'.
    const char *headings[] = {_("Name"), _("Group"), _("Shape"), _("Note")};
    size_t width[4];
    for (int c = 0; c < 4; ++c)
        width[c] = g_utf8_strlen(headings[c], -1);
    for (const LibraryPreset &p : presets) {
        width[0] = std::max(width[0], p.name.size());
        width[1] = std::max(width[1], p.group.size());
        width[2] = std::max(width[2], p.shape.size());
        width[3] = std::max(width[3], p.note.size());
    }
    std::string text;
    const auto cell = [&](const std::string &value, int c) {
        text += value;
        const size_t shown = g_utf8_strlen(value.c_str(), -1);
        text += std::string(width[c] - std::min(width[c], shown) + 2, ' ');
    };
    for (int c = 0; c < 4; ++c)
        cell(headings[c], c);
    text += _("File");
    text += '\n';
    for (const LibraryPreset &p : presets) {
        cell(p.name, 0);
        cell(p.group, 1);
        cell(p.shape, 2);
        cell(p.note.empty() ? "-" : p.note, 3);
        text += p.file + '\n';
    }
    return text;
}

std::string library_json(const std::vector<LibraryPreset> &presets)
{
    std::string text;
    for (const LibraryPreset &p : presets) {
        const GObjectPtr<JsonBuilder> owner(json_builder_new());
        JsonBuilder *b = owner.get();
        json_builder_begin_object(b);
        const auto member = [b](const char *name, const std::string &value) {
            json_builder_set_member_name(b, name);
            if (value.empty())
                json_builder_add_null_value(b);
            else
                json_builder_add_string_value(b, value.c_str());
        };
        member("name", p.name);
        member("group", p.group);
        member("shape", p.shape);
        member("note", p.note);
        member("file", p.file);
        json_builder_end_object(b);
        const JsonNodePtr root(json_builder_get_root(b));
        const GObjectPtr<JsonGenerator> generator(json_generator_new());
        json_generator_set_root(generator.get(), root.get());
        const GCharPtr line(json_generator_to_data(generator.get(), nullptr));
        text += line.get();
        text += '\n';
    }
    return text;
}

PresLoadResult load_named_preset(const std::string &given, Instrument &instrument,
                                 std::string &message)
{
    const std::string file = resolve_preset(given, preset_library_folder());
    const PresLoadResult result = load_pres_result(&instrument, file.c_str(), message);
    if (result != PRES_UNREADABLE)
        apply_loaded_pres(&instrument);
    return result;
}
