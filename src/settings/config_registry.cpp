#include "config_registry.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

XmlpDocHandle config;
std::vector<ConfEntry> conf_table;
int32_t conf_count = 0;
int32_t conf_capacity = conf_initial_capacity;

namespace {

constexpr const char *settings_path = "settings/";
constexpr const char *legacy_behaviour_path = "behaviour/";
constexpr const char *paths_path = "paths/";

constexpr int32_t default_rate_hz = 48000;

//! Appends the record, grows the table when it is full, returns the index.
int32_t append(ConfEntry entry)
{
    const int32_t index = conf_count;
    conf_table.push_back(std::move(entry));
    conf_count += 1;
    if (conf_count >= conf_capacity) {
        conf_capacity += conf_capacity / 2;
        conf_table.reserve(static_cast<std::size_t>(conf_capacity));
    }
    return index;
}

ConfEntry new_entry(const char *path, const char *name, ConfKind kind)
{
    g_assert(config != NULL);
    ConfEntry entry{};
    entry.path = path;
    entry.name = name;
    entry.kind = kind;
    return entry;
}

ConfEntry &entry_at(int32_t index) { return conf_table[static_cast<std::size_t>(index)]; }

} // namespace

void conf_table_init()
{
    conf_table.clear();
    conf_count = 0;
    conf_capacity = conf_initial_capacity;
    conf_table.reserve(static_cast<std::size_t>(conf_capacity));
}

int32_t conf_subscribe_bool(const char *path, const char *name, int32_t fallback)
{
    ConfEntry entry = new_entry(path, name, CONF_BOOL);
    entry.int_value = xmlp_get_boolean_default(*config, path, name, fallback);
    return append(std::move(entry));
}

int32_t conf_subscribe_int(const char *path, const char *name, int32_t fallback)
{
    ConfEntry entry = new_entry(path, name, CONF_INT);
    entry.int_value = xmlp_get_int_default(*config, path, name, fallback);
    return append(std::move(entry));
}

int32_t conf_subscribe_string(const char *path, const char *name, const char *fallback)
{
    ConfEntry entry = new_entry(path, name, CONF_STRING);
    entry.string_value = xmlp_get_string_default(*config, path, name, fallback);
    return append(std::move(entry));
}

int32_t conf_subscribe_string_array(const char *path, const char *name, const char *fallback)
{
    ConfEntry entry = new_entry(path, name, CONF_STRING_ARRAY);
    entry.array_value = xmlp_get_array(*config, path, "string", name);
    if (entry.array_value.empty() && fallback != nullptr)
        entry.array_value.emplace_back(fallback);
    return append(std::move(entry));
}

int32_t conf_get_int(int32_t index) { return entry_at(index).int_value; }
int32_t conf_get_bool(int32_t index) { return entry_at(index).int_value; }
void conf_set_int(int32_t index, int32_t value) { entry_at(index).int_value = value; }
void conf_set_bool(int32_t index, int32_t value) { entry_at(index).int_value = value; }

std::optional<std::string> conf_get_string(int32_t index) { return entry_at(index).string_value; }

void conf_set_string(int32_t index, std::optional<std::string> text)
{
    entry_at(index).string_value = std::move(text);
}

XmlpStringList conf_get_string_array(int32_t index) { return entry_at(index).array_value; }

void conf_set_string_array(int32_t index, XmlpStringList list)
{
    entry_at(index).array_value = std::move(list);
}

void conf_change_path(int32_t index, const char *path) { entry_at(index).path = path; }
void conf_rename(int32_t index, const char *name) { entry_at(index).name = name; }

void conf_write_back()
{
    g_assert(config != NULL);
    for (const ConfEntry &entry : conf_table) {
        switch (entry.kind) {
        case CONF_INT:
            xmlp_set_int(*config, entry.path, entry.name, entry.int_value);
            break;
        case CONF_BOOL:
            xmlp_set_boolean(*config, entry.path, entry.name, entry.int_value);
            break;
        case CONF_STRING:
            xmlp_set_string(*config, entry.path, entry.name,
                            entry.string_value ? entry.string_value->c_str() : nullptr);
            break;
        case CONF_STRING_ARRAY:
            xmlp_set_array(*config, entry.path, "string", entry.name, entry.array_value);
            break;
        default:
            break;
        }
    }
}

ConfBehaviourIndexes conf_subscribe_behaviour_settings()
{
    g_assert(config != NULL);
    // Earlier versions kept the two file-dialog switches under "behaviour/";
    // they are read there and written back under "settings/".
    const bool legacy = config->legacy != 0;
    ConfBehaviourIndexes indexes{};
    indexes.auto_ext =
        conf_subscribe_bool(legacy ? legacy_behaviour_path : settings_path, "auto_ext", 1);
    if (legacy)
        conf_change_path(indexes.auto_ext, settings_path);
    indexes.overwrite_warning =
        conf_subscribe_bool(legacy ? legacy_behaviour_path : settings_path, "overwrite_warning", 1);
    if (legacy)
        conf_change_path(indexes.overwrite_warning, settings_path);
    indexes.rate = conf_subscribe_int(settings_path, "rate", default_rate_hz);
    indexes.export_rate = conf_subscribe_int(settings_path, "export_rate", default_rate_hz);
    return indexes;
}

int32_t conf_subscribe_sample_path()
{
    return conf_subscribe_string(paths_path, "sample_path", nullptr);
}

int32_t conf_subscribe_presets_path()
{
    g_assert(config != NULL);
    if (!config->legacy)
        return conf_subscribe_string(paths_path, "presets_path", nullptr);
    const int32_t index = conf_subscribe_string(paths_path, "instr_path", nullptr);
    conf_rename(index, "presets_path");
    return index;
}

ConfProgramIndexes conf_subscribe_program_settings()
{
    ConfProgramIndexes indexes{};
    indexes.behaviour = conf_subscribe_behaviour_settings();
    indexes.sample_path = conf_subscribe_sample_path();
    indexes.presets_path = conf_subscribe_presets_path();
    return indexes;
}

std::string conf_home_dir()
{
    const struct passwd *pw = getpwuid(getuid());
    if (pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] != '\0')
        return pw->pw_dir;
    return g_get_home_dir();
}

std::string conf_prepare_user_dir(const std::string &home_dir)
{
    const std::string dir = home_dir + "/.clangwright";
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0)
        mkdir(dir.c_str(), 0700);
    return dir + "/config";
}

void conf_open(const char *file_name)
{
    config = xmlp_get_doc(file_name, conf_root_name, conf_version);
    if (!config)
        config = xmlp_new_doc(file_name, conf_root_name, conf_version);
    conf_table_init();
}

std::optional<std::string> conf_stored_driver_name()
{
    g_assert(config != NULL);
    return xmlp_get_string(*config, conf_driver_path, conf_driver_name);
}

int conf_close(const char *driver_name)
{
    g_assert(config != NULL);
    if (config->legacy) {
        // Only what the registry holds survives from a document of an earlier
        // version.
        const std::string file_name = config->file_name;
        xmlp_free(std::move(config));
        config = xmlp_new_doc(file_name.c_str(), conf_root_name, conf_version);
    }
    conf_write_back();
    if (driver_name != nullptr)
        xmlp_set_string(*config, conf_driver_path, conf_driver_name, driver_name);
    return xmlp_sync(*config);
}
