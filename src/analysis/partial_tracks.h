// Partials followed through time: the spectra of short overlapping frames
// over the whole sound, their peaks linked from frame to frame into tracks,
// and the spectrogram as a picture to draw. A partial of a struck metal
// object may glide while its motion dies down; a track follows it where the
// spectrum of the whole sound smears it. No GTK.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fft.h"

//! A peak of one frame: its frame's centre in seconds from the start of the
//! sound given, its frequency and its amplitude in dB of full scale.
struct TrackPoint {
    float t_s = 0.0f;
    float freq_hz = 0.0f;
    float level_db = 0.0f;
};

//! One partial's peaks, frame by frame; a missing frame or two (a beat, a
//! dip) leaves a gap in the times.
using PartialTrack = std::vector<TrackPoint>;

//! The spectrogram in `columns` × `rows` cells, row-major with row 0 the
//! lowest band: time across from `start_s` to `end_s`, frequency up on a
//! logarithmic scale from `low_hz` to `high_hz`, levels in dB relative to the
//! loudest cell (0 dB) down to `floor_db`.
struct SpectrogramPicture {
    double start_s = 0.0, end_s = 0.0;
    double low_hz = 0.0, high_hz = 0.0;
    int32_t columns = 0, rows = 0;
    float floor_db = -120.0f;
    std::vector<float> level_db;
    float at(int32_t column, int32_t row) const
    {
        return level_db[static_cast<size_t>(row) * static_cast<size_t>(columns) +
                        static_cast<size_t>(column)];
    }
};

struct TrackedSound {
    //! Every track of at least three frames whose loudest frame is within
    //! 70 dB of the loudest of all, in the order they started.
    std::vector<PartialTrack> tracks;
    SpectrogramPicture picture;
    double frame_s = 0.0; //!< length of one frame
    double hop_s = 0.0;   //!< time from one frame to the next
    //! How far a track may lie from a frequency at `f` and still be that
    //! frequency's track: a frame's resolution, at least 40 cents.
    double tolerance_hz(double f) const;
    double bin_hz = 0.0;
};

//! The tracks of `sound` (full scale ±1) taken at `rate`, with the times
//! counted from `start_s` (the sound's place in its file), in frames of
//! about `frame_s` (a power of two of samples; at least about 85 ms).
TrackedSound track_partials(std::span<const double> sound, double rate, double start_s,
                            double frame_s, FftPlans &plans);

//! When the loud partials have settled: the earliest time from `from_s` on
//! after which every track within 20 dB of the loudest stays within
//! `cents` of the frequency it ends at, over its frames within 40 dB of its
//! own loudest; at most `until_s`. Tracks of fewer than eight bins, whose
//! peaks the image below 0 Hz pulls, are not asked.
double settle_time(const TrackedSound &tracked, double from_s, double until_s, double cents);

//! The track that passes nearest to `freq_hz` within a frame of `t_s`, and
//! within the tolerance there; -1 when none does.
int32_t track_near(const TrackedSound &tracked, double t_s, double freq_hz);
