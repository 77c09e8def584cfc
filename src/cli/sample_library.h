// Sample libraries: an instrument rendered through the voice engine at a
// range of keys, velocity layers and round-robin takes, each sample tuned to
// its key, and the SFZ mapping that lets any sampler play them.
//
// Two halves: the layout (which samples, their names, the mapping text),
// which is plain arithmetic, and the rendering of one sample, which any
// thread may run, each sample on an engine of its own so that its bytes do
// not depend on what was rendered before it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "instrument.h"

//! What a library samples.
struct LibraryLayout {
    int32_t low_key = 0, high_key = 0; //!< the keys it plays, low <= high
    int32_t every = 3;                 //!< semitones between sampled keys
    int32_t velocities = 3;            //!< velocity layers
    int32_t takes = 1;                 //!< round robins
};

//! One sample and the keys and velocities it plays.
struct LibrarySample {
    int32_t key = 0;            //!< the key it is rendered at (pitch_keycenter)
    int32_t lokey = 0, hikey = 0;
    int32_t layer = 1;          //!< 1 = the softest
    int32_t velocity = 127;     //!< rendered at the top of its layer
    int32_t lovel = 1, hivel = 127;
    int32_t take = 1;           //!< 1 to takes
};

//! The sampled keys: low, every `every` semitones on, and high.
std::vector<int32_t> sampled_keys(const LibraryLayout &layout);

//! Every sample, key by key, layer by layer, take by take: the keys each
//! covers reach half way to its neighbours, the layers split 1 to 127.
std::vector<LibrarySample> library_samples(const LibraryLayout &layout);

//! A name fit for file names: letters, digits, '-', '_' and '.' kept, every
//! other byte '_'; "clangwright" for an empty name.
std::string library_file_name(const std::string &name);

//! "NAME_KEY_vVEL_rTAKE.wav", the key and velocity three digits wide.
std::string sample_file_name(const std::string &name, const LibrarySample &sample);

//! The SFZ text: the comment lines `header` (each written after "// "), then
//! one region per sample with its file under "samples/". `velocity_curve`
//! is the engine's (strike = velocity x (v / 127)^curve): each region's
//! amplitude curve follows it between its layer's velocities.
std::string sfz_text(const std::vector<std::string> &header, const std::string &name,
                     const std::vector<LibrarySample> &samples, int32_t takes,
                     double velocity_curve);

//! A key's name: 60 is "C4", 61 "C#4".
std::string key_name(int32_t key);

//! One take's instrument and how the engine plays it in tune: with
//! `root_key` and `tuning_cents` the partial the engine tunes by sounds the
//! equal-tempered pitch of every key.
struct TakeTuning {
    Instrument instrument{};
    int32_t root_key = 60;
    double tuning_cents = 0.0;
    int32_t lowest_key = 0, highest_key = -1; //!< the keys it reaches
    double tuned_hz = 0.0; //!< the tuned partial in the instrument's own note
};

//! Works out how the engine plays `instrument` at `rate_hz` in tune (A4 =
//! `a4_hz`): the partial tuned is the one of the instrument's own note (its
//! root key at full velocity, as the engine plays it) nearest `tuned_near_hz`
//! when given (a preset tuned to a note, or the first take's partial for the
//! others), else its lowest. False with `error` (one sentence) when the
//! engine cannot be made or the sound has no pitch.
bool tune_take(const Instrument &instrument, int32_t rate_hz, double a4_hz, double max_s,
               std::optional<double> tuned_near_hz, TakeTuning &take, std::string &error,
               const std::atomic<bool> *cancel = nullptr);

//! A rendered sample: interleaved stereo frames at the engine's gain, and
//! how far its partial settles from the key's pitch.
struct RenderedSample {
    std::vector<double> frames;
    double cents_off = 0.0;
    bool measured = false; // false: the partial was not found to check it
};

//! Renders `sample` of `take`: the key struck at the sample's velocity and
//! left to ring for at most `max_s` seconds, cut where it has rung down to
//! 90 dB below its peak. The settled partial is measured and the sample
//! rendered again, retuned, while it lies more than a third of a cent off.
//! Any thread. False with `error` when the engine cannot play it.
bool render_library_sample(const TakeTuning &take, const LibrarySample &sample, int32_t rate_hz,
                           double max_s, double a4_hz, RenderedSample &out, std::string &error,
                           const std::atomic<bool> *cancel = nullptr);
