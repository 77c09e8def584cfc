// The live player's option table: rows of the renderer's table by name, and
// its own.
#include "live_options.h"

#include <glib.h>

#include <cstring>
#include <vector>

#include "intl.h"

namespace {

// JACK allows client names of up to this many bytes (jack_client_name_size()
// less the terminating zero, in JACK 1 and 2).
constexpr size_t client_name_max = 63;

// The renderer's options that describe the instrument, with the renderer's
// help. --rate is the server's and --decay, --length and the output belong
// to a rendered file, so they are not taken.
constexpr const char *sound_options[] = {
    "preset", "shape", "tube-height", "tube-circumference", "rod-length", "plane-length",
    "plane-width", "actuation-node", "sampling-node", "tension", "speed", "damping", "actuation",
    "velocity",
};

enum class Store { sound, name, connect };

struct LiveRow {
    OptionHelp help;
    Store store;
};

// The renderer's engine options, stored by the renderer's code, and the
// client's own; the help says what they do here.
const LiveRow own_rows[] = {
    {{"polyphony", 0, N_("N"), N_("Voices at once, 1 to 64 (default: 16)")}, Store::sound},
    {{"root", 0, N_("NOTE"),
      N_("The key that plays the sound as it is (default: the preset's note, else the note of "
         "the lowest partial)")},
     Store::sound},
    {{"release", 0, N_("SECONDS"), N_("Time from key-up to 60 dB down, 0.01 to 10 (default: 0.5)")},
     Store::sound},
    {{"bend-range", 0, N_("N"), N_("Semitones at full pitch bend, 0 to 24 (default: 2)")},
     Store::sound},
    {{"name", 0, N_("NAME"), N_("Name of the client on the JACK server (default: clangwright)")},
     Store::name},
    {{"connect", 0, nullptr,
      N_("Connect the outputs to the first two playback ports of the sound card and every MIDI "
         "input of the computer to midi_in")},
     Store::connect},
};

// Taken from the renderer's table after the client's own.
constexpr const char *general_options[] = {"quiet", "version"};

bool store_name(LiveOptions &o, const char *option, const char *text, std::string &error)
{
    if (*text == '\0' || std::strlen(text) > client_name_max || std::strchr(text, ':')) {
        gchar *message = g_strdup_printf(
            _("%s: '%s' is not a client name (valid: 1 to %d characters without ':')"), option,
            text, static_cast<int>(client_name_max));
        error = message;
        g_free(message);
        return false;
    }
    o.client_name = text;
    return true;
}

} // namespace

bool parse_live_options(int argc, char **argv, LiveOptions &options, std::string &error)
{
    std::vector<LiveRow> rows;
    for (const char *name : sound_options)
        rows.push_back({*render_option_help(name), Store::sound});
    rows.insert(rows.end(), std::begin(own_rows), std::end(own_rows));
    for (const char *name : general_options)
        rows.push_back({*render_option_help(name), Store::sound});
    std::vector<OptionHelp> help;
    for (const LiveRow &row : rows)
        help.push_back(row.help);

    const auto store = [&](size_t row, const char *option, const char *value, std::string &e) {
        switch (rows[row].store) {
        case Store::sound:
            return store_render_option(options.sound, option, value, e);
        case Store::name:
            return store_name(options, option, value, e);
        case Store::connect:
            options.connect = true;
            return true;
        }
        return false;
    };
    return parse_option_table(argc, argv, help,
                              N_("- play a percussion instrument from MIDI on a JACK server"),
                              store, error);
}
