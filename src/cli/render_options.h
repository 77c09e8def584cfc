// Command-line options of the headless renderer, parsed into a plain record
// and applied over an Instrument. New options are added to RenderOptions, to
// the entry table in render_options.cpp and, when they shape the sound, to
// apply_render_options.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "explore.h"
#include "tune.h"
#include "instrument.h"
#include "notes.h"
#include "option_table.h"
#include "render.h"
#include "wav_frames.h"

// Limits of the renderer's own values. The sound's values use the window's
// ranges (instrument_range).
namespace render_option_range {
constexpr double length_s_min = 0.0, length_s_max = 10.0; // the "Sample Length" scale
constexpr int32_t rate_hz_min = 8000, rate_hz_max = 192000;
constexpr int32_t variations_min = 1, variations_max = 999;
constexpr int32_t threads_min = 1; // the most is render_threads_max
constexpr int32_t channel_min = 1, channel_max = 16;
constexpr int32_t polyphony_min = 1, polyphony_max = 64;
constexpr double release_s_min = 0.01, release_s_max = 10.0;
constexpr double bend_range_min = 0.0, bend_range_max = 24.0;
constexpr int32_t every_min = 1, every_max = 24;
constexpr int32_t velocities_min = 1, velocities_max = 32;
constexpr int32_t takes_min = 1, takes_max = 32;
constexpr int32_t jobs_min = 1, jobs_max = 256;
} // namespace render_option_range

//! Default length and rate of the rendered sound.
constexpr double default_length_s = 1.0;
constexpr int32_t default_rate_hz = 48000;

//! What the command line asked for. An empty optional was not given, so the
//! base instrument's value (the defaults) stays.
struct RenderOptions {
    std::optional<int32_t> type;
    std::optional<int32_t> tube_height, tube_circumference, rod_length, plane_length, plane_width;
    std::optional<int32_t> actuation_node, sampling_node;
    std::optional<double> tension, speed, damping, velocity;
    std::optional<int32_t> actuation;
    std::optional<double> decay_level; // given: the decay stop is on
    double length_s = default_length_s;
    int32_t rate_hz = default_rate_hz;
    std::optional<int32_t> threads; // not given: the render loop's default
    std::string output_file; // empty: not given
    std::string preset_file; // a file or a library name, loaded before the other options
    bool list_presets = false; // list the installed library and render nothing
    std::string save_preset_file; // the instrument described is written here
    bool play = false; // play through the sound driver after rendering
    // Exploring: one random instrument, one mutation, or several takes of
    // either; each drawn from the seed (printed when not given).
    bool randomise = false;
    std::optional<double> mutate_amount; // given: mutate by this amount
    std::optional<uint32_t> seed;
    int32_t variations = 0; // 0: one sound as usual
    Locks locks;            // groups that randomise and mutate keep
    bool analyse = false; // print the analysis of the rendered sound
    bool json = false;    // the analysis as one JSON object, alone on stdout
    std::string plot_file; // the analysis drawn as a PNG picture here
    std::string spectrogram_file; // the spectrogram drawn as a PNG picture here
    double a4_hz = default_a4_hz; // reference of the analysis' note names
    std::string tune_note;         // given: tune the chosen partial to this note
    PartialChoice tune_partial;    // which partial --tune tunes (default: the lowest)
    bool quiet = false;
    bool show_version = false;
    bool length_given = false;
    std::optional<WavBits> bits; // not given: 24 for a score, 16 otherwise
    bool stereo = false;         // a plain render's second channel from the mirror node
    // Playing a score through the voice engine.
    std::string midi_file;       // given: render this Standard MIDI File
    int32_t midi_channel = 0;    // 0: every channel
    std::optional<int32_t> polyphony;
    std::string root_note;       // given: the key that plays the instrument's own speed
    std::optional<double> release_s, bend_range;
    bool normalise = false;      // the whole score to a peak of -1 dBFS
    // A sample library (SFZ) written into a folder.
    std::string sfz_dir;          // given: make a library there
    std::string library_name;     // empty: the preset's name, else "clangwright"
    std::optional<int32_t> low_key, high_key; // not given: two octaves around the root
    int32_t every = 3;            // semitones between sampled keys
    int32_t velocities = 3;       // velocity layers
    int32_t takes = 1;            // round robins
    std::optional<int32_t> jobs;  // not given: the online processors
    bool plan = false;            // print one command per sample instead
    bool only_mapping = false;    // write the SFZ of samples already rendered
    // Render only this sample: key, layer, take (what --plan prints).
    std::optional<std::array<int32_t, 3>> one_sample;
    bool library_option = false;  // one of the options above besides --sfz
};

//! Exit status for a command line or a value that is refused.
constexpr int exit_usage = 2;

//! Parses the command line (argv[0] is the program). Every value is checked
//! for its form and its range here; the nodes, which depend on the shape, are
//! checked by apply_render_options. --json implies --analyse. Returns true
//! on success; otherwise sets
//! `error` to one line naming the option and the valid values. --help prints
//! the help and exits the process with status 0, as GLib does.
bool parse_render_options(int argc, char **argv, RenderOptions &options, std::string &error);

//! Stores one of the renderer's options, given as `option` ("--shape") with
//! `value` ("" for a flag), checked as the renderer checks it: how other
//! programs take the same sound options. Returns false with `error` set to
//! one line (also for an option the renderer does not have).
bool store_render_option(RenderOptions &options, const char *option, const char *value,
                         std::string &error);

//! The renderer's help for the option `long_name` ("shape"); null when it has
//! no such option.
const OptionHelp *render_option_help(const char *long_name);

//! True when the command line asks for a random or mutated instrument.
bool explores(const RenderOptions &options);

//! Writes the given values into `instrument`. When the shape or a size of the
//! resulting shape was given and a node was not, that node takes the shape's
//! reset value. Then both nodes must be movable nodes of the shape. Returns
//! true on success; otherwise sets `error` to one line.
bool apply_render_options(const RenderOptions &options, Instrument &instrument, std::string &error);
