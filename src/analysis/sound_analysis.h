// What a sound holds, found from its 16-bit frames: the partials with their
// frequencies, onset levels, notes and decays; the peak level, the length and
// the overall decay; and reduced pictures of the waveform and the spectrum to
// draw. No GTK: the window, the command line and the tests read the same
// plain results.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fft.h"
#include "notes.h"
#include "partial_tracks.h"

//! One partial, followed through the sound.
struct Partial {
    //! The frequency it settles at: its frequency over the sound's body,
    //! after any glide.
    double freq_hz = 0.0;
    //! Its frequency at the onset, and the glide from there to where it
    //! settles in cents (positive: it started sharp).
    double onset_hz = 0.0;
    double glide_cents = 0.0;
    //! Its frequency stays within 5 cents of where it settles over its
    //! loudest 20 dB in the body.
    bool steady = true;
    //! Amplitude at the start of the sound, from the fit of its decay, in dB
    //! relative to the partial that starts loudest (0 dB); -40 to 0 for a
    //! partial heard at the onset, lower for one heard only later.
    double level_db = 0.0;
    //! Mean level over the sound's body in dB relative to the partial
    //! loudest there (0 dB): what the ear hears of it; -infinity when it
    //! died before the body.
    double body_db = 0.0;
    std::string note;   //!< nearest equal-tempered note, e.g. "C#5"
    double cents = 0.0; //!< distance from that note, -50 to +50
    //! Time to decay by 60 dB, from the fit; empty when the fit falls less than
    //! 20 dB over the sound.
    std::optional<double> t60_s;
    //! Its track in SoundAnalysis::tracks; -1 when no frame followed it.
    int32_t track = -1;
};

//! The waveform in columns: the lowest and highest frame of each column,
//! full scale +-1. Columns split the whole sound evenly.
struct WavePicture {
    std::vector<float> low, high;
};

//! The spectrum of the whole sound at logarithmically spaced frequencies
//! from low_hz to high_hz: the highest level in each step, in dB relative to
//! the highest level of the picture (0 dB).
struct SpectrumPicture {
    double low_hz = 0.0, high_hz = 0.0;
    std::vector<float> level_db;
};

struct SoundAnalysis {
    int32_t rate_hz = 0;
    uint64_t frames = 0;
    double length_s = 0.0;
    //! Largest magnitude of a frame, 0 to 32768; 0 is a silent sound.
    int32_t peak = 0;
    //! 20 log10(peak / 32768): 0 for full scale, -infinity for silence.
    double peak_dbfs = 0.0;
    //! Time the envelope of the whole sound takes to decay by 60 dB; empty
    //! when it falls less than 20 dB within the sound.
    std::optional<double> t60_s;
    //! Where the sound starts (the first frame within 40 dB of its peak) and
    //! where its body starts, in seconds from the first frame.
    double onset_s = 0.0, body_start_s = 0.0;
    //! At most 32, by frequency: the partials between 20 Hz and 0.45 x the
    //! rate within 40 dB of the loudest at the onset or over the body.
    std::vector<Partial> partials;
    //! The lowest partial within 30 dB of the strongest over the body; empty
    //! without partials.
    std::optional<double> lowest_hz;
    //! The partial loudest over the body (at the onset for a sound too short
    //! to have one); empty without partials.
    std::optional<double> strongest_hz;
    //! The partials' tracks, frame by frame, and the spectrogram.
    std::vector<PartialTrack> tracks;
    SpectrogramPicture spectrogram;
    double a4_hz = default_a4_hz; //!< reference of the note names
    WavePicture wave;
    SpectrumPicture spectrum;
};

//! Analyses sounds. Keeps its Fourier plans for the next sound, so one
//! analyser serves a whole run. Not shared between threads; separate
//! analysers may run in separate threads.
class SoundAnalyser {
public:
    //! Analyses `frames` (16-bit mono, read and never written) taken at
    //! `rate_hz` (> 0), naming notes with A4 at `a4_hz`. Any length works: an
    //! empty or silent sound has no partials and no decay. Throws
    //! std::bad_alloc when memory runs out.
    SoundAnalysis analyse(std::span<const int16_t> frames, int32_t rate_hz,
                          double a4_hz = default_a4_hz);

private:
    FftPlans plans_;
    std::vector<double> sound_; // kept for the next sound, as the plans' arrays are
};
