// The sound driver record, the list of registered drivers and the current one.
//
// Everything here runs on the program's main thread, but cwr_set_driver may be
// called from inside a running playback (the setup dialog runs nested in the
// playback pump's event processing): the pump reads `driver` afresh after
// every event run.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The driver's own settings widget; an opaque toolkit widget, so that this
// module needs no toolkit headers.
struct _GtkWidget;

//! A sound driver: its name and nine operations in fixed order. Any operation
//! but `write` may be null and is then skipped as if it had succeeded;
//! `error_message` must be present whenever an operation can fail. Negative
//! results are error codes that only this driver's `error_message` explains.
struct SoundDriver {
    const char *name;                                       // shown and stored, compared ignoring ASCII case
    int32_t (*open)(int32_t rate_hz);                       // prepare 16-bit mono output
    int32_t (*start)(int32_t rate_hz);                      // before the first block of a playback
    int32_t (*write)(const int16_t *frames, int32_t count); // frames consumed (0..count) or negative
    void (*finish)();                                       // once when a playback ends after start
    void (*close)();                                        // release what open acquired
    const char *(*error_message)(int32_t code);             // text of a negative code; stays the driver's
    _GtkWidget *(*settings_widget)();                       // the driver's settings in the setup dialog
    void (*init)();                                         // once at start-up, before any open
    void (*setup_done)(int32_t applied_and_selected);       // after every run of the setup dialog
};

//! The registered drivers in registration order; a driver's position is its
//! index everywhere. The records are static data of their driver modules.
extern std::vector<const SoundDriver *> driver_list;
//! The current (open) driver, or null when none is open.
extern const SoundDriver *driver;
//! The index most recently passed to cwr_set_driver, kept when its open failed.
extern int32_t driver_index;
//! The rate in Hz the current driver was opened at; 0 when none is open.
extern int32_t driver_rate;

//! Closes the current driver and opens the one at `index` at `rate_hz`; an
//! index outside the list leaves no driver current. The driver is closed and
//! reopened even when `index` is the current one (so a new rate takes effect).
//! A failing open is reported through the error reporter and leaves `driver`
//! null while `driver_index` keeps `index`.
void cwr_set_driver(int32_t index, int32_t rate_hz);

//! Returns `driver_index`.
int32_t cwr_get_current_driver();

//! Reports the current driver's explanation of `code` as "Sound driver
//! error:\n<driver text>". Requires a current driver; without one it does
//! nothing.
void cwr_driver_errmessage(int32_t code);

//! Shows a driver error text to the user; `text` stays the caller's and is
//! valid only during the call.
using DriverErrorReporter = void (*)(const char *text);

//! Installs the function that shows driver errors; null restores the default,
//! which prints the text and a newline on stderr (the headless renderer's).
//! The window installs one that shows the text in its error dialog.
void cwr_set_error_reporter(DriverErrorReporter reporter);

// Start-up and shutdown duties, in the order start-up calls them.

//! Appends every built-in driver to `driver_list` (only the PulseAudio one).
//! Call once, right after the toolkit is initialised; a second call adds
//! nothing.
void cwr_register_builtin_drivers();

//! Appends `record` to `driver_list`; it must outlive the run.
void cwr_register_driver(const SoundDriver *record);

//! Calls the `init` operation of every registered driver in list order. Call
//! once, after the configuration document is open and the configuration
//! registry can take subscriptions.
void cwr_init_drivers();

//! Chooses the start-up index from the driver name stored in the
//! configuration ("driver/" "current"), std::nullopt when none is stored: 0,
//! or the position of the last driver whose name matches ignoring ASCII case.
//! Stores the result in `driver_index` and returns it.
int32_t cwr_choose_driver_index(std::optional<std::string_view> stored_name);

//! Name of the current driver, to be stored at shutdown; null when none is
//! open (then nothing is stored).
const char *cwr_current_driver_name();

//! Closes the current driver if it has `close`, and leaves none current. The
//! last step of shutdown.
void cwr_close_driver();

//! Empties the registry without calling any driver operation: no driver
//! registered or current, index 0. For tests.
void cwr_reset_drivers();
