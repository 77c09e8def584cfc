// Option table and value checks of the headless renderer.
#include "render_options.h"

#include <glib.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "intl.h"
#include "option_table.h"
#include "option_values.h"

namespace {

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct StrvDeleter {
    void operator()(gchar **v) const { g_strfreev(v); }
};

template <typename... Args> std::string format(const char *fmt, Args... args)
{
    const GCharPtr text(g_strdup_printf(fmt, args...));
    return text.get();
}

// Size options: each checked against the range its spin button allows.
template <std::optional<int32_t> RenderOptions::*Field, int32_t Lo, int32_t Hi>
bool store_int(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    int32_t v = 0;
    if (!parse_int(option, text, Lo, Hi, v, error))
        return false;
    o.*Field = v;
    return true;
}

template <std::optional<double> RenderOptions::*Field, double Lo, double Hi>
bool store_real(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    double v = 0.0;
    if (!parse_real(option, text, Lo, Hi, v, error))
        return false;
    o.*Field = v;
    return true;
}

// Node numbers: only their form is checked here; whether a node is movable
// depends on the shape and is checked once the instrument is complete.
template <std::optional<int32_t> RenderOptions::*Field>
bool store_node(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    gint64 v = 0;
    if (!g_ascii_string_to_signed(text, 10, G_MININT32, G_MAXINT32, &v, nullptr)) {
        error = format(_("%s: '%s' is not a node number (valid: a movable node of the shape)"),
                       option, text);
        return false;
    }
    o.*Field = static_cast<int32_t>(v);
    return true;
}

bool store_shape(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    static constexpr const char *names[] = {"tube", "rod", "plane"}; // index = shape value
    for (int32_t i = 0; i < 3; ++i) {
        if (std::strcmp(text, names[i]) == 0) {
            o.type = i;
            return true;
        }
    }
    error = format(_("%s: '%s' is not a shape (valid: tube, rod, plane)"), option, text);
    return false;
}

bool store_actuation(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    if (std::strcmp(text, "compression") == 0) {
        o.actuation = ACTUATION_COMPRESSION;
        return true;
    }
    if (std::strcmp(text, "perpendicular") == 0) {
        o.actuation = ACTUATION_PERPENDICULAR;
        return true;
    }
    error = format(_("%s: '%s' is not a type of actuation (valid: compression, perpendicular)"),
                   option, text);
    return false;
}

bool store_length(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    using namespace render_option_range;
    o.length_given = true;
    return parse_real(option, text, length_s_min, length_s_max, o.length_s, error);
}

bool store_bits(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    o.bits = wav_bits_from_text(text);
    if (!o.bits)
        error = format(_("%s: '%s' is not a sample format (valid: 16, 24, 32f)"), option, text);
    return o.bits.has_value();
}

bool store_stereo(RenderOptions &o, const char *, const char *, std::string &)
{
    o.stereo = true;
    return true;
}

bool store_channel(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    using namespace render_option_range;
    return parse_int(option, text, channel_min, channel_max, o.midi_channel, error);
}

bool store_polyphony(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    using namespace render_option_range;
    int32_t n = 0;
    if (!parse_int(option, text, polyphony_min, polyphony_max, n, error))
        return false;
    o.polyphony = n;
    return true;
}

bool store_root(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    if (!parse_note_hz(text, default_a4_hz) || std::strstr(text, "Hz")) {
        error = format(_("%s: '%s' is not a note (valid: a note such as C4, F#5 or Bb3)"),
                       option, text);
        return false;
    }
    o.root_note = text;
    return true;
}

bool store_release(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    using namespace render_option_range;
    double s = 0.0;
    if (!parse_real(option, text, release_s_min, release_s_max, s, error))
        return false;
    o.release_s = s;
    return true;
}

bool store_bend_range(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    using namespace render_option_range;
    double s = 0.0;
    if (!parse_real(option, text, bend_range_min, bend_range_max, s, error))
        return false;
    o.bend_range = s;
    return true;
}

bool store_normalise(RenderOptions &o, const char *, const char *, std::string &)
{
    o.normalise = true;
    return true;
}

bool store_rate(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    using namespace render_option_range;
    return parse_int(option, text, rate_hz_min, rate_hz_max, o.rate_hz, error);
}

bool store_threads(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    int32_t v = 0;
    if (!parse_int(option, text, render_option_range::threads_min, render_threads_max, v, error))
        return false;
    o.threads = v;
    return true;
}

bool store_file(std::string &field, const char *option, const char *text, std::string &error)
{
    if (*text == '\0') {
        error = format(_("%s: the file name is empty"), option);
        return false;
    }
    field = text;
    return true;
}

bool store_output(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    return store_file(o.output_file, option, text, error);
}

bool store_preset(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    return store_file(o.preset_file, option, text, error);
}

bool store_save_preset(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    return store_file(o.save_preset_file, option, text, error);
}

bool store_list_presets(RenderOptions &o, const char *, const char *, std::string &)
{
    o.list_presets = true;
    return true;
}

bool store_randomise(RenderOptions &o, const char *, const char *, std::string &)
{
    o.randomise = true;
    return true;
}

bool store_mutate(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    double v = 0.0;
    if (!parse_real(option, text, 0.0, 1.0, v, error))
        return false;
    o.mutate_amount = v;
    return true;
}

bool store_seed(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    guint64 v = 0;
    if (!g_ascii_string_to_unsigned(text, 10, 0, G_MAXUINT32, &v, nullptr)) {
        error = format(_("%s: '%s' is not a seed (valid: 0 to %u)"), option, text, G_MAXUINT32);
        return false;
    }
    o.seed = static_cast<uint32_t>(v);
    return true;
}

bool store_variations(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    using namespace render_option_range;
    return parse_int(option, text, variations_min, variations_max, o.variations, error);
}

bool store_lock(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    const std::unique_ptr<gchar *, StrvDeleter> names(g_strsplit(text, ",", -1));
    for (gchar **name = names.get(); *name; ++name) {
        const std::optional<LockGroup> group = lock_group_from_name(*name);
        if (!group) {
            error = format(_("%s: '%s' is not a group (valid: shape, nodes, tension, speed, "
                             "damping, actuation, velocity)"),
                           option, *name);
            return false;
        }
        o.locks[*group] = true;
    }
    return true;
}

bool store_play(RenderOptions &o, const char *, const char *, std::string &)
{
    o.play = true;
    return true;
}

bool store_analyse(RenderOptions &o, const char *, const char *, std::string &)
{
    o.analyse = true;
    return true;
}

bool store_json(RenderOptions &o, const char *, const char *, std::string &)
{
    o.analyse = true;
    o.json = true;
    return true;
}

bool store_midi(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    return store_file(o.midi_file, option, text, error);
}

bool store_plot(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    return store_file(o.plot_file, option, text, error);
}

bool store_spectrogram(RenderOptions &o, const char *option, const char *text,
                       std::string &error)
{
    return store_file(o.spectrogram_file, option, text, error);
}

bool store_tune(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    // Checked once --a4 is known; only the form here.
    if (!parse_note_hz(text, default_a4_hz)) {
        error = format(_("%s: '%s' is not a note (valid: a note such as A4, C#5 or Bb3, or a "
                         "frequency such as 440Hz)"),
                       option, text);
        return false;
    }
    o.tune_note = text;
    return true;
}

bool store_tune_partial(RenderOptions &o, const char *option, const char *text,
                        std::string &error)
{
    const std::optional<PartialChoice> choice = parse_partial_choice(text);
    if (!choice) {
        error = format(_("%s: '%s' is not a partial (valid: lowest, strongest, 1 to 32)"), option,
                       text);
        return false;
    }
    o.tune_partial = *choice;
    return true;
}

bool store_a4(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    return parse_real(option, text, a4_hz_min, a4_hz_max, o.a4_hz, error);
}

// A key given as a MIDI number (0 to 127) or a note name ("C4", "F#5").
std::optional<int32_t> parse_key(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    gint64 v = 0;
    if (g_ascii_isdigit(text[0]))
        return g_ascii_string_to_signed(text.c_str(), 10, 0, 127, &v, nullptr)
                   ? std::optional<int32_t>(static_cast<int32_t>(v))
                   : std::nullopt;
    if (text.find_first_of("Hhz") != std::string::npos)
        return std::nullopt;
    const std::optional<double> hz = parse_note_hz(text, default_a4_hz);
    if (!hz)
        return std::nullopt;
    const auto key = std::lround(69.0 + 12.0 * std::log2(*hz / default_a4_hz));
    if (key < 0 || key > 127)
        return std::nullopt;
    return static_cast<int32_t>(key);
}

bool store_sfz(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    return store_file(o.sfz_dir, option, text, error);
}

bool store_name(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    o.library_option = true;
    if (*text == '\0') {
        error = format(_("%s: the name is empty"), option);
        return false;
    }
    o.library_name = text;
    return true;
}

// LOW-HIGH: the dash that splits the text into two keys (a note such as
// "C-1" has a dash of its own).
bool store_keys(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    o.library_option = true;
    const std::string t = text;
    for (size_t dash = t.find('-', 1); dash != std::string::npos; dash = t.find('-', dash + 1)) {
        const std::optional<int32_t> low = parse_key(t.substr(0, dash));
        const std::optional<int32_t> high = parse_key(t.substr(dash + 1));
        if (!low || !high)
            continue;
        if (*low > *high) {
            error = format(_("%s: '%s' is an inverted key range (valid: LOW-HIGH with LOW at "
                             "most HIGH)"),
                           option, text);
            return false;
        }
        o.low_key = *low;
        o.high_key = *high;
        return true;
    }
    error = format(_("%s: '%s' is not a key range (valid: LOW-HIGH, keys 0 to 127 or notes "
                     "such as C4 and F#5)"),
                   option, text);
    return false;
}

bool store_every(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    o.library_option = true;
    using namespace render_option_range;
    return parse_int(option, text, every_min, every_max, o.every, error);
}

bool store_velocities(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    o.library_option = true;
    using namespace render_option_range;
    return parse_int(option, text, velocities_min, velocities_max, o.velocities, error);
}

bool store_takes(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    o.library_option = true;
    using namespace render_option_range;
    return parse_int(option, text, takes_min, takes_max, o.takes, error);
}

bool store_jobs(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    o.library_option = true;
    using namespace render_option_range;
    int32_t n = 0;
    if (!parse_int(option, text, jobs_min, jobs_max, n, error))
        return false;
    o.jobs = n;
    return true;
}

bool store_plan(RenderOptions &o, const char *, const char *, std::string &)
{
    o.library_option = true;
    o.plan = true;
    return true;
}

bool store_only_mapping(RenderOptions &o, const char *, const char *, std::string &)
{
    o.library_option = true;
    o.only_mapping = true;
    return true;
}

bool store_one_sample(RenderOptions &o, const char *option, const char *text, std::string &error)
{
    o.library_option = true;
    const std::unique_ptr<gchar *, StrvDeleter> parts(g_strsplit(text, ",", -1));
    std::array<int32_t, 3> v{};
    int n = 0;
    for (gchar **part = parts.get(); *part; ++part, ++n) {
        gint64 x = 0;
        if (n >= 3 || !g_ascii_string_to_signed(*part, 10, 0, 127, &x, nullptr)) {
            n = -1;
            break;
        }
        v[static_cast<size_t>(n)] = static_cast<int32_t>(x);
    }
    if (n != 3) {
        error = format(_("%s: '%s' is not a sample (valid: KEY,LAYER,TAKE as --plan prints them)"),
                       option, text);
        return false;
    }
    o.one_sample = v;
    return true;
}

bool store_quiet(RenderOptions &o, const char *, const char *, std::string &)
{
    o.quiet = true;
    return true;
}

bool store_version(RenderOptions &o, const char *, const char *, std::string &)
{
    o.show_version = true;
    return true;
}

using StoreFn = bool (*)(RenderOptions &, const char *option, const char *value, std::string &);

// One row per option, in the order --help lists them. A row without an
// argument description is a flag.
struct OptionRow : OptionHelp {
    StoreFn store;
};

namespace R = instrument_range;

const OptionRow option_rows[] = {
    {"preset", 0, N_("FILE"),
     N_("Load a preset file first; the other options override its values"), store_preset},
    {"list-presets", 0, nullptr,
     N_("List the presets installed with the program; --preset also takes their names "
        "(with --json: one JSON object per preset and line)"),
     store_list_presets},
    {"shape", 0, N_("tube|rod|plane"), N_("Shape of the metal object (default: tube)"),
     store_shape},
    {"tube-height", 0, N_("N"), N_("Rings of the tube, 3 to 30 (default: 10)"),
     store_int<&RenderOptions::tube_height, R::tube_height_min, R::tube_height_max>},
    {"tube-circumference", 0, N_("N"), N_("Nodes on each ring of the tube, 3 to 30 (default: 5)"),
     store_int<&RenderOptions::tube_circumference, R::tube_circumference_min,
               R::tube_circumference_max>},
    {"rod-length", 0, N_("N"), N_("Nodes of the rod, 3 to 200 (default: 5)"),
     store_int<&RenderOptions::rod_length, R::rod_length_min, R::rod_length_max>},
    {"plane-length", 0, N_("N"), N_("Rows of the plane, 3 to 30 (default: 7)"),
     store_int<&RenderOptions::plane_length, R::plane_length_min, R::plane_length_max>},
    {"plane-width", 0, N_("N"), N_("Nodes in each row of the plane, 3 to 39 (default: 9)"),
     store_int<&RenderOptions::plane_width, R::plane_width_min, R::plane_width_max>},
    {"actuation-node", 0, N_("N"),
     N_("Node that is struck: a movable node (default: the shape's reset node)"),
     store_node<&RenderOptions::actuation_node>},
    {"sampling-node", 0, N_("N"),
     N_("Node that is listened to: a movable node (default: the shape's reset node)"),
     store_node<&RenderOptions::sampling_node>},
    {"tension", 0, N_("X"), N_("Spring tension, 0.1 to 16 (default: 4)"),
     store_real<&RenderOptions::tension, R::tension_min, R::tension_max>},
    {"speed", 0, N_("X"), N_("Speed, 0 to 0.5 (default: 0.2)"),
     store_real<&RenderOptions::speed, R::speed_min, R::speed_max>},
    {"damping", 0, N_("X"), N_("Damping time in seconds, 0.005 to 0.5 (default: 0.05)"),
     store_real<&RenderOptions::damping, R::damping_min, R::damping_max>},
    {"actuation", 0, N_("compression|perpendicular"),
     N_("Type of actuation (default: compression)"), store_actuation},
    {"velocity", 0, N_("X"), N_("Velocity of the strike, 0 to 1 (default: 1)"),
     store_real<&RenderOptions::velocity, R::velocity_min, R::velocity_max>},
    {"decay", 0, N_("DB"),
     N_("Stop rendering once the sound has decayed to this level, -80 to -20 (default: off)"),
     store_real<&RenderOptions::decay_level, R::decay_level_min, R::decay_level_max>},
    {"length", 0, N_("SECONDS"), N_("Length of the sound, 0 to 10 (default: 1.0)"),
     store_length},
    {"rate", 0, N_("HZ"), N_("Sample rate, 8000 to 192000 (default: 48000)"), store_rate},
    {"threads", 0, N_("N"),
     N_("Threads that share the computation, 1 to 8 (default: the processors, at most 8)"),
     store_threads},
    {"output", 'o', N_("FILE"), N_("WAV file to write"),
     store_output},
    {"save-preset", 0, N_("FILE"),
     N_("Write the instrument described as a preset file (renders only with -o or --play)"),
     store_save_preset},
    {"randomise", 0, nullptr,
     N_("Draw a random instrument (the values given are kept where --lock says)"),
     store_randomise},
    {"mutate", 0, N_("AMOUNT"),
     N_("Change every value a little, 0 to 1 (0.1 is a small step)"), store_mutate},
    {"seed", 0, N_("N"),
     N_("Seed of --randomise, --mutate and --variations (default: a new one, printed)"),
     store_seed},
    {"variations", 0, N_("N"),
     N_("Make N takes, 1 to 999: mutations, or random instruments with --randomise; "
        "written as NAME-1.wav ... beside -o NAME.wav and PRESET-1.cwrp ... beside "
        "--save-preset"),
     store_variations},
    {"lock", 0, N_("GROUP,..."),
     N_("Keep these values: shape (and sizes), nodes, tension, speed, damping, actuation, "
        "velocity"),
     store_lock},
    {"play", 0, nullptr, N_("Play the sound through the sound driver"), store_play},
    {"analyse", 0, nullptr,
     N_("Print the sound's partials with their notes, its decay and its peak level"),
     store_analyse},
    {"json", 0, nullptr,
     N_("Print the analysis as one JSON object, and nothing else on standard output"),
     store_json},
    {"plot", 0, N_("FILE"), N_("Draw the waveform and the spectrum into a PNG picture"),
     store_plot},
    {"spectrogram", 0, N_("FILE"),
     N_("Draw the spectrogram with the partials' tracks into a PNG picture"), store_spectrogram},
    {"a4", 0, N_("HZ"), N_("Pitch of A4 for the note names, 400 to 480 (default: 440)"),
     store_a4},
    {"tune", 0, N_("NOTE"),
     N_("Tune the sound through its speed so that a partial lands on this note (A4, C#5, Bb3 "
        "or 440Hz)"),
     store_tune},
    {"tune-partial", 0, N_("lowest|strongest|N"),
     N_("The partial --tune tunes: the lowest, the strongest or the N-th from the lowest "
        "(default: lowest)"),
     store_tune_partial},
    {"bits", 0, N_("16|24|32f"),
     N_("Sample format of the WAV file (default: 24 for --midi, 16 otherwise)"), store_bits},
    {"stereo", 0, nullptr,
     N_("Write two channels: the sampling node and its mirror across the object"),
     store_stereo},
    {"midi", 0, N_("FILE"), N_("Play a Standard MIDI File with the instrument (stereo)"),
     store_midi},
    {"channel", 0, N_("N"), N_("With --midi: play only MIDI channel N, 1 to 16 (default: all)"),
     store_channel},
    {"polyphony", 0, N_("N"), N_("With --midi: voices at once, 1 to 64 (default: 16)"),
     store_polyphony},
    {"root", 0, N_("NOTE"),
     N_("With --midi: the key that plays the sound as it is; with --sfz: the note its "
        "partial nearest this note is tuned to (default: the preset's note, else the note "
        "of the lowest partial)"),
     store_root},
    {"release", 0, N_("SECONDS"),
     N_("With --midi: time from key-up to 60 dB down, 0.01 to 10 (default: 0.5)"),
     store_release},
    {"bend-range", 0, N_("N"),
     N_("With --midi: semitones at full pitch bend, 0 to 24 (default: 2)"), store_bend_range},
    {"normalise", 0, nullptr, N_("With --midi: scale the whole score to a peak of -1 dBFS"),
     store_normalise},
    {"sfz", 0, N_("DIR"),
     N_("Make a sample library: DIR/NAME.sfz and its samples in DIR/samples, every sample "
        "tuned to its key"),
     store_sfz},
    {"name", 0, N_("NAME"),
     N_("With --sfz: the library's name in its file names (default: the preset's name)"),
     store_name},
    {"keys", 0, N_("LOW-HIGH"),
     N_("With --sfz: the keys it plays, as numbers or notes, 36-84 or C2-C6 (default: two "
        "octaves around the sound's own note)"),
     store_keys},
    {"every", 0, N_("N"), N_("With --sfz: semitones between sampled keys, 1 to 24 (default: 3)"),
     store_every},
    {"velocities", 0, N_("N"), N_("With --sfz: velocity layers, 1 to 32 (default: 3)"),
     store_velocities},
    {"takes", 0, N_("N"),
     N_("With --sfz: round robins, 1 to 32; takes after the first are small mutations drawn "
        "from --seed (default: 1)"),
     store_takes},
    {"jobs", 0, N_("N"),
     N_("With --sfz: samples rendered at once, 1 to 256 (default: the processors)"), store_jobs},
    {"plan", 0, nullptr,
     N_("With --sfz: print one command per sample instead of rendering, for xargs -P, GNU "
        "parallel or a batch queue; then --only-mapping"),
     store_plan},
    {"only-mapping", 0, nullptr,
     N_("With --sfz: write only the SFZ file, for samples rendered by the commands of --plan"),
     store_only_mapping},
    {"sample", 0, N_("KEY,LAYER,TAKE"),
     N_("With --sfz: render only this sample of the library (what --plan prints)"),
     store_one_sample},
    {"quiet", 'q', nullptr, N_("Print nothing but errors"), store_quiet},
    {"version", 0, nullptr, N_("Print the version and exit"), store_version},
};

const OptionRow *find_row(const char *long_name)
{
    for (const OptionRow &row : option_rows)
        if (std::strcmp(long_name, row.long_name) == 0)
            return &row;
    return nullptr;
}

// Non-zero when the length gives no frame at the rate, as do_render counts.
bool has_frames(const RenderOptions &o)
{
    return static_cast<int32_t>(static_cast<double>(o.rate_hz) * o.length_s) > 0;
}

std::string movable_range_text(const Instrument &ins)
{
    switch (ins.type) {
    case TYPE_TUBE:
        return format(_("%d to %d"), ins.tube_circumference,
                      (ins.tube_height - 1) * ins.tube_circumference - 1);
    case TYPE_ROD:
        return format(_("%d to %d"), 1, ins.rod_length - 2);
    default: {
        const int32_t w = ins.plane_width, l = ins.plane_length;
        return format(_("%d to %d except %d and %d"), 1, l * w - 2, w - 1, (l - 1) * w);
    }
    }
}

const char *shape_name(int32_t type)
{
    switch (type) {
    case TYPE_TUBE:
        return "tube";
    case TYPE_ROD:
        return "rod";
    default:
        return "plane";
    }
}

bool check_node(const Instrument &ins, const char *option, int32_t node, std::string &error)
{
    if (instrument_node_is_movable(ins, node))
        return true;
    const std::string valid = movable_range_text(ins);
    const int32_t w = ins.plane_width, l = ins.plane_length;
    if (node < 0 || node >= instrument_node_count(ins))
        error = format(_("%s: %d is not a node of the %s (valid: %s)"), option, node,
                       shape_name(ins.type), valid.c_str());
    else if (ins.type == TYPE_PLANE && (node == w - 1 || node == (l - 1) * w))
        error = format(_("%s: %d is a corner of the plane (valid: %s)"), option, node,
                       valid.c_str());
    else
        error = format(_("%s: %d is an anchored node of the %s (valid: %s)"), option, node,
                       shape_name(ins.type), valid.c_str());
    return false;
}

// --sfz and its options: the library is all such a run makes.
bool check_library_options(const RenderOptions &o, std::string &error)
{
    if (o.sfz_dir.empty()) {
        error = _("--name, --keys, --every, --velocities, --takes, --jobs, --plan, "
                  "--only-mapping and --sample need --sfz");
        return false;
    }
    if (!o.midi_file.empty() || !o.output_file.empty() || o.play || o.analyse ||
        !o.plot_file.empty() || !o.spectrogram_file.empty() || !o.tune_note.empty() ||
        o.randomise || o.variations > 0 || o.stereo || !o.save_preset_file.empty() ||
        o.midi_channel != 0 || o.polyphony || o.release_s ||
        o.bend_range || o.normalise) {
        error = _("--sfz makes a library and nothing else: it excludes --output, --play, "
                  "--midi, --tune, --randomise, --variations, --save-preset, --stereo, the "
                  "analysis and the score's options but --root");
        return false;
    }
    if (static_cast<int>(o.plan) + static_cast<int>(o.only_mapping) +
            static_cast<int>(o.one_sample.has_value()) > 1) {
        error = _("--plan, --only-mapping and --sample exclude each other");
        return false;
    }
    if (o.takes == 1 && (o.seed || o.mutate_amount || o.locks.locked != Locks{}.locked)) {
        error = _("--seed, --mutate and --lock with --sfz need --takes 2 or more");
        return false;
    }
    if (o.takes > 1 && (o.only_mapping || o.one_sample) && !o.seed) {
        error = _("--only-mapping and --sample with --takes 2 or more need the --seed of the "
                  "plan");
        return false;
    }
    if (o.length_given && !has_frames(o)) {
        const std::string valid = range_text(1.0 / o.rate_hz, render_option_range::length_s_max);
        error = format(_("--length: %s s gives no frames at %d Hz (valid: %s)"),
                       number_text(o.length_s).c_str(), o.rate_hz, valid.c_str());
        return false;
    }
    return true;
}

} // namespace

bool parse_render_options(int argc, char **argv, RenderOptions &options, std::string &error)
{
    std::vector<OptionHelp> rows(std::begin(option_rows), std::end(option_rows));
    const auto store = [&](size_t row, const char *option, const char *value, std::string &e) {
        return option_rows[row].store(options, option, value, e);
    };
    if (!parse_option_table(argc, argv, rows, N_("- render one percussion sound to a WAV file"),
                            store, error))
        return false;
    if (options.show_version || options.list_presets)
        return true;
    if (!options.sfz_dir.empty() || options.library_option)
        return check_library_options(options, error);
    const bool score_option = options.midi_channel != 0 || options.polyphony ||
                              !options.root_note.empty() || options.release_s ||
                              options.bend_range || options.normalise;
    if (options.midi_file.empty() && score_option) {
        error = _("--channel, --polyphony, --root, --release, --bend-range and --normalise "
                  "need --midi");
        return false;
    }
    if (!options.midi_file.empty()) {
        if (explores(options) || !options.tune_note.empty() || options.play ||
            options.analyse || !options.plot_file.empty() || !options.spectrogram_file.empty()) {
            error = _("--midi and --randomise, --mutate, --variations, --tune, --play, "
                      "--analyse, --plot or --spectrogram exclude each other");
            return false;
        }
        if (options.output_file.empty()) {
            error = _("--output: no output file given (use -o FILE)");
            return false;
        }
        return true;
    }
    if (options.randomise && options.mutate_amount) {
        error = _("--randomise and --mutate exclude each other");
        return false;
    }
    if (!explores(options) && (options.seed || options.locks.locked != Locks{}.locked)) {
        error = _("--seed and --lock need --randomise, --mutate or --variations");
        return false;
    }
    if (!options.tune_note.empty()) {
        if (explores(options)) {
            error = _("--tune and --randomise, --mutate or --variations exclude each other");
            return false;
        }
        if (!has_frames(options)) {
            error = _("--tune: the sound has no frames to tune (see --length and --rate)");
            return false;
        }
    }
    const bool analysed =
        options.analyse || !options.plot_file.empty() || !options.spectrogram_file.empty();
    if (options.output_file.empty() && !options.play && !analysed) {
        if (!options.save_preset_file.empty())
            return true; // only the preset is written: nothing to render
        error = _("--output: no output file given (use -o FILE, --play or --save-preset FILE)");
        return false;
    }
    if (!has_frames(options)) {
        const std::string valid =
            range_text(1.0 / options.rate_hz, render_option_range::length_s_max);
        error = format(_("--length: %s s gives no frames at %d Hz (valid: %s)"),
                       number_text(options.length_s).c_str(), options.rate_hz, valid.c_str());
        return false;
    }
    return true;
}

bool store_render_option(RenderOptions &options, const char *option, const char *value,
                         std::string &error)
{
    const OptionRow *row = std::strncmp(option, "--", 2) == 0 ? find_row(option + 2) : nullptr;
    if (!row) {
        error = format(_("Unknown option %s"), option);
        return false;
    }
    return row->store(options, option, value, error);
}

const OptionHelp *render_option_help(const char *long_name)
{
    return find_row(long_name);
}

bool explores(const RenderOptions &o)
{
    return o.randomise || o.mutate_amount || o.variations > 0;
}

bool apply_render_options(const RenderOptions &o, Instrument &ins, std::string &error)
{
    bool reset_nodes = false;
    if (o.type) {
        ins.type = *o.type;
        reset_nodes = true;
    }
    // A size of the shape being rendered resets the nodes, as in the window;
    // sizes of the other shapes are kept for them and change nothing else.
    const auto set_size = [&](const std::optional<int32_t> &given, int32_t &field, int32_t shape) {
        if (!given)
            return;
        field = *given;
        reset_nodes = reset_nodes || ins.type == shape;
    };
    set_size(o.tube_height, ins.tube_height, TYPE_TUBE);
    set_size(o.tube_circumference, ins.tube_circumference, TYPE_TUBE);
    set_size(o.rod_length, ins.rod_length, TYPE_ROD);
    set_size(o.plane_length, ins.plane_length, TYPE_PLANE);
    set_size(o.plane_width, ins.plane_width, TYPE_PLANE);

    if (reset_nodes) {
        ins.actuation_node = instrument_reset_actuation_node(ins);
        ins.sampling_node = instrument_reset_sampling_node(ins);
    }
    if (o.actuation_node)
        ins.actuation_node = *o.actuation_node;
    if (o.sampling_node)
        ins.sampling_node = *o.sampling_node;

    if (o.tension)
        ins.tension = *o.tension;
    if (o.speed)
        ins.speed = *o.speed;
    if (o.damping)
        ins.damping = *o.damping;
    if (o.actuation)
        ins.actuation = *o.actuation;
    if (o.velocity)
        ins.velocity = *o.velocity;
    if (o.decay_level) {
        ins.decay_stop = 1;
        ins.decay_level = *o.decay_level;
    }

    return check_node(ins, "--actuation-node", ins.actuation_node, error) &&
           check_node(ins, "--sampling-node", ins.sampling_node, error);
}
