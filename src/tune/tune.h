// Tuning a sound to a note: `speed` only scales the model's time, so every
// partial's frequency follows it. The routine renders, measures the chosen
// partial where it settles, scales the speed by target / measured and
// measures the same partial again, until it lies within a cent of the note.
// A partial that never settles on one pitch is not tuned. No GTK.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "instrument.h"
#include "sound_analysis.h"

//! Which partial is tuned: the lowest, the strongest, or the n-th counted
//! from the lowest (1-based) as the analysis lists them.
struct PartialChoice {
    enum Kind { lowest, strongest, numbered } kind = lowest;
    int number = 0; // numbered only
};

//! "lowest", "strongest" or a partial number 1 to 32; none otherwise.
std::optional<PartialChoice> parse_partial_choice(const std::string &text);

//! The frequency of a note in scientific pitch notation ("A4", "C#5",
//! "Bb3", "e2", octaves -1 to 10) with A4 at `a4_hz`, or a frequency given
//! as such ("440Hz", "261.6 hz"); none when the text is neither or the
//! frequency is not above 0.
std::optional<double> parse_note_hz(const std::string &text, double a4_hz);

//! What a tuning did.
struct TuneOutcome {
    bool tuned = false;
    //! The speed that puts the partial on the note, at full precision; the
    //! given speed when not tuned.
    double speed = 0.0;
    //! The tuned partial as last measured: where it settles, and its glide
    //! from the onset to there in cents (positive: it starts sharp).
    double partial_hz = 0.0;
    double glide_cents = 0.0;
    NearestNote note;
    int renders = 0;
    //! When not tuned: one sentence that says why, naming the highest or
    //! lowest note the partial can reach where that is the reason.
    std::string message;
};

//! The result line of a tuning: "Tuned: 329.6 Hz, E4 -0.0 cents", or for a
//! partial that glides into its pitch "Tuned: 329.6 Hz, settles on E4 +0.4
//! cents; glides from 36 cents sharp"; `hz_format` prints the frequency.
std::string tuned_text(const TuneOutcome &outcome, const char *hz_format);

//! Tunes `instrument` (read only) rendered for `sample_length` s at `rate_hz`
//! so that the chosen partial settles on `target_hz`; refuses a partial that
//! is not steady where it settles. The speed moves a few
//! semitones at a time and the partial is followed from step to step. Uses
//! at most `max_rounds` steps after the first render. `progress`, when given, is called
//! as the render loop calls it (fraction of each render), with the
//! instrument being rendered as its user pointer: setting that one's `stop`
//! ends the tuning ("Tuning was stopped.").
TuneOutcome tune_speed(const Instrument &instrument, double sample_length, int32_t rate_hz,
                       double target_hz, PartialChoice which, double a4_hz,
                       SoundAnalyser &analyser, ProgressFn progress = nullptr,
                       int max_rounds = 16);
