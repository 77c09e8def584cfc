// clangwright-render: renders one sound to a WAV file without a window,
// through the same do_render and save_wav as the window's Save WAV, so the
// same parameters give the same bytes either way.
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <string>

#include "install_paths.h"
#include "intl.h"
#include "playback.h"
#include "presets.h"
#include "sound_driver.h"
#include "render.h"
#include "render_options.h"
#include "wav_export.h"

namespace {

constexpr const char *program_name = "clangwright-render";
constexpr int exit_failure = 1;
constexpr int progress_bar_width = 40;
constexpr double percent = 100.0;
constexpr double microseconds_per_second = 1e6;

void print_error(const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", program_name, text.c_str());
}

// A file action's failure: -1 is explained by its message alone, any other
// result is a system error number whose text follows the message.
void print_action_error(int result, const std::string &message)
{
    print_error(result == -1 ? message : message + ": " + g_strerror(result));
}

void print_warning(const std::string &text)
{
    std::fprintf(stderr, "%s: %s %s\n", program_name, _("warning:"), text.c_str());
}

// The bar on stderr, redrawn in place; only installed when stderr is a terminal.
void on_progress(void *, float fraction)
{
    // With the decay stop on, the last report may lie beyond 1.
    const float f = fraction >= 0.0f ? std::min(fraction, 1.0f) : 0.0f;
    const int filled = static_cast<int>(f * progress_bar_width);
    const std::string bar = std::string(filled, '#') + std::string(progress_bar_width - filled, '-');
    std::fprintf(stderr, "\r%s [%s] %3d%%", _("Rendering"), bar.c_str(),
                 static_cast<int>(f * percent));
    std::fflush(stderr);
}

void clear_progress()
{
    std::fputs("\r\033[K", stderr); // back to the line start, erase to its end
    std::fflush(stderr);
}

// Loads a preset as the window does: sizes clamped to the window's ranges and
// the nodes on the loaded shape's reset values (options given later override
// both). An incomplete preset is a warning; an unreadable one ends the run.
bool load_preset(const std::string &file, Instrument &instrument)
{
    std::string message;
    switch (load_pres_result(&instrument, file.c_str(), message)) {
    case PRES_UNREADABLE:
        print_error(message);
        return false;
    case PRES_INCOMPLETE:
        print_warning(message);
        break;
    case PRES_LOADED:
        break;
    }
    apply_loaded_pres(&instrument);
    return true;
}

// True when the mesh blew up: a step too large for the rate (speed times
// 44100 / rate) makes the integration unstable, its values overflow to
// infinity and NaN, and the normalised signal is garbage (NaN frames become 0).
bool diverged(uint64_t frames)
{
    for (uint64_t i = 0; i < frames; ++i)
        if (!std::isfinite(render_buffer[i]))
            return true;
    return false;
}

// Plays the rendered sound through the first registered driver and returns
// once the server has played it out. Driver errors are printed on stderr by
// the registry's default reporter.
int play_to_end(Instrument &instrument, int32_t rate_hz)
{
    cwr_register_builtin_drivers();
    cwr_init_drivers();
    cwr_choose_driver_index(std::nullopt);
    cwr_set_driver(driver_index, rate_hz);
    if (!driver)
        return exit_failure;
    const int32_t status = play_and_drain(&instrument, rate_hz);
    cwr_close_driver();
    return status == 0 ? 0 : exit_failure;
}

int render_sound(const RenderOptions &options, Instrument &instrument)
{
    const bool show_bar = !options.quiet && isatty(STDERR_FILENO);
    instrument.progress = show_bar ? on_progress : nullptr;
    sample_length = options.length_s;
    if (options.threads)
        set_render_threads(*options.threads);

    const gint64 start_us = g_get_monotonic_time();
    const uint64_t frames = do_render(&instrument, options.rate_hz);
    const gint64 end_us = g_get_monotonic_time();
    if (show_bar)
        clear_progress();
    if (frames == 0) {
        print_error(_("nothing was rendered; no file written"));
        return exit_failure;
    }
    if (diverged(frames))
        print_warning(_("the simulation became unstable and the sound is broken; "
                        "lower --speed or raise --rate"));

    if (!options.output_file.empty()) {
        std::string message;
        const int r =
            save_wav(&instrument, options.output_file.c_str(), message, options.rate_hz);
        if (r != 0) {
            print_action_error(r, message);
            return exit_failure;
        }
    }

    if (!options.quiet) {
        // As the window's status area shows it, in single precision.
        const float real_length_s =
            static_cast<float>(frames) / static_cast<float>(options.rate_hz);
        std::printf(_("Real length: %.1f s"), static_cast<double>(real_length_s));
        std::putchar('\n');
        std::printf(_("Render time: %.3f s"),
                    static_cast<double>(end_us - start_us) / microseconds_per_second);
        std::putchar('\n');
    }
    return options.play ? play_to_end(instrument, options.rate_hz) : 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    // The catalogue below the prefix this program runs from, so that an
    // install under any prefix finds its own translations.
    bindtextdomain(CW_TEXT_DOMAIN, cw_install_path("share/locale").c_str());
    bind_textdomain_codeset(CW_TEXT_DOMAIN, "UTF-8");
    g_set_prgname(program_name);

    RenderOptions options;
    std::string error;
    if (!parse_render_options(argc, argv, options, error)) {
        print_error(error);
        return exit_usage;
    }
    if (options.show_version) {
        std::printf("%s %s\n", program_name, CW_VERSION);
        return 0;
    }
    Instrument instrument = instrument_defaults();
    if (!options.preset_file.empty() && !load_preset(options.preset_file, instrument))
        return exit_failure;
    if (!apply_render_options(options, instrument, error)) {
        print_error(error);
        return exit_usage;
    }
    if (!options.save_preset_file.empty()) {
        std::string message;
        const int r = save_pres(&instrument, options.save_preset_file.c_str(), message);
        if (r != 0) {
            print_action_error(r, message);
            return exit_failure;
        }
    }
    if (options.output_file.empty() && !options.play)
        return 0; // only a preset was asked for
    return render_sound(options, instrument);
}
