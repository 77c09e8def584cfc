// clangwright-render: renders one sound to a WAV file without a window,
// through the same do_render and save_wav as the window's Save WAV, so the
// same parameters give the same bytes either way.
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <vector>
#include <string>

#include "analysis_report.h"
#include "explore.h"
#include "install_paths.h"
#include "intl.h"
#include "library_command.h"
#include "playback.h"
#include "preset_library.h"
#include "presets.h"
#include "sound_driver.h"
#include "sound_plot.h"
#include "spectrogram_plot.h"
#include "tune.h"
#include "render.h"
#include "render_options.h"
#include "score_render.h"
#include "wav_export.h"
#include "wav_frames.h"

namespace {

constexpr const char *program_name = "clangwright-render";
constexpr int exit_failure = 1;
constexpr int progress_bar_width = 40;
constexpr double percent = 100.0;
constexpr double microseconds_per_second = 1e6;
constexpr int plot_width = 1200, plot_height = 800;

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
// both). A file by that name wins over a preset of the library with that
// name. An incomplete preset is a warning; an unreadable one ends the run.
bool load_preset(const std::string &given, Instrument &instrument)
{
    std::string message;
    switch (load_named_preset(given, instrument, message)) {
    case PRES_UNREADABLE:
        print_error(message);
        return false;
    case PRES_INCOMPLETE:
        print_warning(message);
        break;
    case PRES_LOADED:
        break;
    }
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

// Prints the analysis of the rendered sound and draws its picture, as
// clangwright-analyse does for the WAV file of the same sound.
int analyse_sound(const RenderOptions &options)
{
    SoundAnalyser analyser;
    const SoundAnalysis analysis = analyser.analyse(
        std::span<const int16_t>(samples, sample_count), options.rate_hz, options.a4_hz);
    if (analysis.peak == 0) {
        print_error(_("the sound is silent; there is nothing to analyse"));
        return exit_failure;
    }
    if (options.json) {
        std::optional<std::string> file;
        if (!options.output_file.empty())
            file = options.output_file;
        std::printf("%s\n", analysis_json(analysis, file).c_str());
    } else if (options.analyse) {
        const std::string title =
            options.output_file.empty() ? _("Rendered sound") : options.output_file;
        std::fputs(analysis_text(analysis, title).c_str(), stdout);
    }
    std::fflush(stdout);
    if (!options.plot_file.empty()) {
        std::string message;
        const int r = save_sound_png(options.plot_file.c_str(), analysis, plot_width, plot_height,
                                     message);
        if (r != 0) {
            print_action_error(r, message);
            return exit_failure;
        }
    }
    if (!options.spectrogram_file.empty()) {
        std::string message;
        const int r = save_spectrogram_png(options.spectrogram_file.c_str(), analysis,
                                           plot_width, plot_height, message);
        if (r != 0) {
            print_action_error(r, message);
            return exit_failure;
        }
    }
    return 0;
}

// A plain render in another sample format, or in stereo: the left channel is
// the sound as rendered, the right one the same render listened to at the
// mirror of the sampling node, each at full scale.
int save_plain_frames(const RenderOptions &options, const Instrument &instrument,
                      uint64_t frames, std::string &message)
{
    const int32_t channels = options.stereo ? 2 : 1;
    std::vector<double> out(frames * static_cast<uint64_t>(channels));
    std::vector<double> right;
    if (options.stereo) {
        Instrument mirrored = instrument;
        mirrored.progress = nullptr;
        mirrored.sampling_node = instrument_mirror_node(instrument, instrument.sampling_node);
        right.resize(frames);
        cw_metal_obj_render(&mirrored, options.rate_hz, frames, right.data(), nullptr, 0.0);
    }
    for (uint64_t i = 0; i < frames; ++i) {
        out[i * channels] = render_buffer[i];
        if (options.stereo)
            out[i * channels + 1] = right[i];
    }
    return save_wav_frames(options.output_file.c_str(), out, channels, options.rate_hz,
                           options.bits.value_or(WavBits::pcm16), nullptr, message);
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
            options.bits || options.stereo
                ? save_plain_frames(options, instrument, frames, message)
                : save_wav(&instrument, options.output_file.c_str(), message, options.rate_hz);
        if (r != 0) {
            print_action_error(r, message);
            return exit_failure;
        }
    }

    // With --json the analysis is all that goes to standard output.
    if (!options.quiet && !options.json) {
        // As the window's status area shows it, in single precision.
        const float real_length_s =
            static_cast<float>(frames) / static_cast<float>(options.rate_hz);
        std::printf(_("Real length: %.1f s"), static_cast<double>(real_length_s));
        std::putchar('\n');
        std::printf(_("Render time: %.3f s"),
                    static_cast<double>(end_us - start_us) / microseconds_per_second);
        std::putchar('\n');
    }
    if (options.analyse || !options.plot_file.empty() || !options.spectrogram_file.empty()) {
        if (const int r = analyse_sound(options); r != 0)
            return r;
    }
    return options.play ? play_to_end(instrument, options.rate_hz) : 0;
}

// Writes the preset when one is asked for, then renders, writes and plays
// as the options say.
int save_and_render(const RenderOptions &options, Instrument &instrument)
{
    if (!options.save_preset_file.empty()) {
        std::string message;
        const int r = save_pres(&instrument, options.save_preset_file.c_str(), message);
        if (r != 0) {
            print_action_error(r, message);
            return exit_failure;
        }
    }
    if (options.output_file.empty() && !options.play && !options.analyse &&
        options.plot_file.empty() && options.spectrogram_file.empty())
        return 0; // only a preset was asked for
    return render_sound(options, instrument);
}

// Tunes the instrument's speed so that the chosen partial lands on the note
// of --tune, and says where it landed. A note out of reach is explained on
// stderr and nothing is written.
bool tune(const RenderOptions &options, Instrument &instrument)
{
    const double target_hz = *parse_note_hz(options.tune_note, options.a4_hz);
    SoundAnalyser analyser;
    const TuneOutcome outcome =
        tune_speed(instrument, options.length_s, options.rate_hz, target_hz,
                   options.tune_partial, options.a4_hz, analyser);
    if (!outcome.tuned) {
        print_error(outcome.message);
        return false;
    }
    instrument.speed = outcome.speed;
    if (!options.quiet && !options.json) {
        char speed[G_ASCII_DTOSTR_BUF_SIZE];
        g_ascii_dtostr(speed, sizeof speed, outcome.speed);
        std::printf(_("%s; speed %s\n"), tuned_text(outcome, "%.2f").c_str(), speed);
    }
    return true;
}

// The file of take `take`: "-" and the take number, padded with zeros to
// the width of the number of takes, before the extension `ext` (when the
// name has it) or at the end.
std::string take_file(const std::string &file, const char *ext, int32_t take, int32_t takes)
{
    if (file.empty())
        return file;
    const int width = static_cast<int>(std::to_string(takes).size());
    char number[16];
    std::snprintf(number, sizeof number, "-%0*d", width, static_cast<int>(take));
    const size_t n = std::strlen(ext);
    if (file.size() > n && g_ascii_strcasecmp(file.c_str() + file.size() - n, ext) == 0)
        return file.substr(0, file.size() - n) + number + file.substr(file.size() - n);
    return file + number;
}

// One random or mutated instrument, or --variations takes of them. The
// length and the decay stop come from the command line and are never drawn,
// and the nodes are the shape's reset nodes unless locked, so that each
// take's preset (which keeps none of these), rendered with the same options,
// gives the take's bytes again.
int explore_and_render(const RenderOptions &options, const Instrument &base_instrument)
{
    const uint32_t seed = options.seed ? *options.seed : g_random_int();
    if (!options.seed && !options.quiet)
        std::printf(_("Seed: %u\n"), seed);
    Locks locks = options.locks;
    locks[LockGroup::length_decay] = true;
    locks.nodes_follow_shape = true;
    const ExploreKind kind = options.randomise ? ExploreKind::randomise : ExploreKind::mutate;
    const double amount = options.mutate_amount.value_or(default_mutate_amount);
    const SoundParams base{base_instrument, options.length_s};
    const int32_t takes = std::max(options.variations, 1);
    for (int32_t take = 1; take <= takes; ++take) {
        const ExploreResult drawn = explore(kind, base, locks, amount, seed,
                                            static_cast<uint32_t>(take), options.rate_hz);
        if (!drawn.accepted) {
            gchar *text = g_strdup_printf(_("no sound that plays was found in %d tries; lock "
                                            "fewer values or try another seed"),
                                          drawn.attempts);
            print_error(text);
            g_free(text);
            return exit_failure;
        }
        RenderOptions take_options = options;
        if (options.variations > 0) {
            take_options.output_file = take_file(options.output_file, ".wav", take, takes);
            take_options.save_preset_file =
                take_file(options.save_preset_file, ".cwrp", take, takes);
            if (!options.quiet && !take_options.output_file.empty())
                std::printf("%s\n", take_options.output_file.c_str());
        }
        Instrument instrument = drawn.params.instrument;
        const int status = save_and_render(take_options, instrument);
        if (status != 0)
            return status;
    }
    return 0;
}

// Prints the installed library, as a table or as JSON lines.
int list_presets(const RenderOptions &options)
{
    const std::string folder = preset_library_folder();
    const std::vector<LibraryPreset> presets = list_library(folder);
    if (presets.empty()) {
        gchar *text = g_strdup_printf(_("no presets found in %s"), folder.c_str());
        print_error(text);
        g_free(text);
        return exit_failure;
    }
    const std::string text = options.json ? library_json(presets) : library_text(presets);
    std::fputs(text.c_str(), stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    start_command_line_program(program_name);

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
    if (options.list_presets)
        return list_presets(options);
    Instrument instrument = instrument_defaults();
    if (!options.preset_file.empty() && !load_preset(options.preset_file, instrument))
        return exit_failure;
    if (!apply_render_options(options, instrument, error)) {
        print_error(error);
        return exit_usage;
    }
    if (!options.sfz_dir.empty())
        return make_sample_library(options, instrument);
    if (!options.midi_file.empty())
        return render_score(options, instrument);
    if (explores(options))
        return explore_and_render(options, instrument);
    if (!options.tune_note.empty() && !tune(options, instrument))
        return exit_failure;
    return save_and_render(options, instrument);
}
