// The program's settings while it runs: each is subscribed once with its place
// in the configuration document, read from `config` or given its default, and
// named by an index from then on. At shutdown every setting is written back.
//
// Keys of the configuration document (root "cwrconfig", version "0.1.0"):
//   "settings/" "auto_ext"          bool    true   (legacy: under "behaviour/")
//   "settings/" "overwrite_warning" bool    true   (legacy: under "behaviour/")
//   "settings/" "rate"              int     48000
//   "settings/" "export_rate"       int     48000
//   "paths/"    "sample_path"       string  none
//   "paths/"    "presets_path"      string  none   (legacy: named "instr_path")
//   "driver/"   "current"           string, read and written outside the registry
//
// All calls come from the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "xml_property_store.h"

enum ConfKind : int32_t {
    CONF_INT = 0,
    CONF_BOOL = 1,
    CONF_STRING = 2,
    CONF_STRING_ARRAY = 3,
};

//! One setting. `path` and `name` are kept, not copied: callers pass texts
//! that live for the whole run. Only the value member of `kind` is used.
struct ConfEntry {
    const char *path;
    const char *name;
    int32_t kind;                            // ConfKind
    int32_t int_value;                       // CONF_INT, CONF_BOOL (0 or 1)
    std::optional<std::string> string_value; // CONF_STRING
    XmlpStringList array_value;              // CONF_STRING_ARRAY
};

//! The open configuration document. Opened before anything subscribes.
extern XmlpDocHandle config;

//! The records, index 0 first. Indexes stay valid for the whole run; pointers
//! and references into the table do not survive a subscription.
extern std::vector<ConfEntry> conf_table;
extern int32_t conf_count;
//! Room in the table; starts at 256 and grows by half when full
//! (256, 384, 576, 864, ...), so there is always room for the next record.
extern int32_t conf_capacity;

constexpr int32_t conf_initial_capacity = 256;

// Names of the configuration document and its driver key.
constexpr const char *conf_root_name = "cwrconfig";
constexpr const char *conf_version = "0.1.0";
constexpr const char *conf_driver_path = "driver/";
constexpr const char *conf_driver_name = "current";

//! Makes an empty table: conf_count 0, conf_capacity 256. Called once at
//! start-up, after `config` is open.
void conf_table_init();

//! Subscribe a setting: reads it from `config` (or takes the default) and
//! returns its index. `config` must be open ("config != NULL" otherwise ends
//! the program). A stored number that does not convert reads as 0.
int32_t conf_subscribe_bool(const char *path, const char *name, int32_t fallback);
int32_t conf_subscribe_int(const char *path, const char *name, int32_t fallback);
//! The stored text; when none, a copy of `fallback` (none for null).
int32_t conf_subscribe_string(const char *path, const char *name, const char *fallback);
//! The stored list; when it is empty and `fallback` is not null, a list of
//! one entry, `fallback`.
int32_t conf_subscribe_string_array(const char *path, const char *name, const char *fallback);

//! Integer and boolean settings share one storage; the index must come from
//! a subscription of the matching kind.
int32_t conf_get_int(int32_t index);
int32_t conf_get_bool(int32_t index);
void conf_set_int(int32_t index, int32_t value);
void conf_set_bool(int32_t index, int32_t value);
//! A copy of the stored text, std::nullopt for none.
std::optional<std::string> conf_get_string(int32_t index);
//! Replaces the stored text (the old one is released here).
void conf_set_string(int32_t index, std::optional<std::string> text);
XmlpStringList conf_get_string_array(int32_t index);
void conf_set_string_array(int32_t index, XmlpStringList list);

//! Where the value is written back: a new path or name, kept without copying.
void conf_change_path(int32_t index, const char *path);
void conf_rename(int32_t index, const char *name);

//! Writes every record into `config` in index order: ints, "TRUE"/"FALSE",
//! texts (none as value=""), lists of "string" items.
void conf_write_back();

//! Registry indexes of the four behaviour settings the main window keeps.
struct ConfBehaviourIndexes {
    int32_t auto_ext;
    int32_t overwrite_warning;
    int32_t rate;
    int32_t export_rate;
};

//! Subscribes "auto_ext", "overwrite_warning", "rate" and "export_rate" in
//! this order. In a legacy document the first two are read under
//! "behaviour/" and moved to "settings/".
ConfBehaviourIndexes conf_subscribe_behaviour_settings();
//! Subscribes "paths/" "sample_path" (the Save WAV folder).
int32_t conf_subscribe_sample_path();
//! Subscribes "paths/" "presets_path" (both preset dialogs' folder); in a
//! legacy document it is read as "instr_path" and renamed.
int32_t conf_subscribe_presets_path();

//! All six program settings, in the order the main window subscribes them.
struct ConfProgramIndexes {
    ConfBehaviourIndexes behaviour;
    int32_t sample_path;
    int32_t presets_path;
};
ConfProgramIndexes conf_subscribe_program_settings();

// ---- Start-up and shutdown, without the toolkit and the drivers ----

//! The user's home directory from the user database (falling back to GLib's
//! idea of it when the database has no entry).
std::string conf_home_dir();

//! Makes "<home>/.clangwright" with mode 0700 when `stat` fails on it (the
//! outcome is not examined) and returns the configuration file name
//! "<home>/.clangwright/config".
std::string conf_prepare_user_dir(const std::string &home_dir);

//! Start-up: `config` becomes the document in `file_name`, or a new empty one
//! when it is missing, unreadable or of another kind; then the table is made.
void conf_open(const char *file_name);

//! The stored driver name ("driver/" "current"), std::nullopt when none.
std::optional<std::string> conf_stored_driver_name();

//! Shutdown: a legacy document is replaced by a new empty one for the same
//! file, every record is written back, `driver_name` (when not null) is stored
//! under "driver/" "current", and the document is saved. Returns xmlp_sync's
//! result; an atomic save leaves the old file untouched when it fails.
int conf_close(const char *driver_name);
