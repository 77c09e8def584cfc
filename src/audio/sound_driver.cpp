// The driver registry: registration, selection, and the reporting of driver
// errors.
#include "sound_driver.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "intl.h"
#include "pulse_driver.h"

std::vector<const SoundDriver *> driver_list;
const SoundDriver *driver = nullptr;
int32_t driver_index = 0;
int32_t driver_rate = 0;

namespace {

void print_driver_error(const char *text)
{
    std::fprintf(stderr, "%s\n", text);
}

DriverErrorReporter error_reporter = print_driver_error;

} // namespace

void cwr_set_error_reporter(DriverErrorReporter reporter)
{
    error_reporter = reporter ? reporter : print_driver_error;
}

void cwr_driver_errmessage(int32_t code)
{
    if (!driver || !driver->error_message)
        return;
    const char *explanation = driver->error_message(code);
    // Held until the reporter returns, which for the window's dialog is when
    // the user has closed it.
    const std::string text =
        std::string(_("Sound driver error")) + ":\n" + (explanation ? explanation : "");
    error_reporter(text.c_str());
}

void cwr_set_driver(int32_t index, int32_t rate_hz)
{
    if (driver && driver->close)
        driver->close();
    driver = index >= 0 && static_cast<size_t>(index) < driver_list.size()
                 ? driver_list[static_cast<size_t>(index)]
                 : nullptr;
    driver_index = index;
    driver_rate = 0;
    if (driver && driver->open) {
        const int32_t result = driver->open(rate_hz);
        if (result < 0) {
            // Reported while `driver` still names the failed driver, so that
            // its own text explains the code.
            cwr_driver_errmessage(result);
            driver = nullptr;
            return;
        }
    }
    if (driver)
        driver_rate = rate_hz;
}

int32_t cwr_get_current_driver()
{
    return driver_index;
}

void cwr_register_driver(const SoundDriver *record)
{
    driver_list.push_back(record);
}

void cwr_register_builtin_drivers()
{
    if (std::find(driver_list.begin(), driver_list.end(), &driver_pulse) == driver_list.end())
        cwr_register_driver(&driver_pulse);
}

void cwr_init_drivers()
{
    for (const SoundDriver *d : driver_list)
        if (d->init)
            d->init();
}

int32_t cwr_choose_driver_index(std::optional<std::string_view> stored_name)
{
    driver_index = 0;
    if (!stored_name)
        return driver_index;
    // The stored name need not be terminated where the view ends.
    const std::string name(*stored_name);
    for (size_t i = 0; i < driver_list.size(); ++i)
        if (g_ascii_strcasecmp(driver_list[i]->name, name.c_str()) == 0)
            driver_index = static_cast<int32_t>(i); // the last match wins
    return driver_index;
}

const char *cwr_current_driver_name()
{
    return driver ? driver->name : nullptr;
}

void cwr_close_driver()
{
    if (driver && driver->close)
        driver->close();
    driver = nullptr;
    driver_rate = 0;
}

void cwr_reset_drivers()
{
    driver_list.clear();
    driver = nullptr;
    driver_rate = 0;
    driver_index = 0;
}
