// Synthetic sounds of known partials for the analysis tests, and WAV files of
// them in the formats a user may hand the analyser.
#pragma once

#include <audiofile.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

//! One decaying sine: frequency, amplitude at t = 0 in dB relative to the
//! others, time to decay by 60 dB (none: steady).
struct SineSpec {
    double freq_hz;
    double level_db;
    std::optional<double> t60_s;
};

//! The sum of the sines over `length_s`, scaled so that the sum of their
//! amplitudes is `peak` of full scale, as 16-bit frames. The phases differ
//! from sine to sine so that their peaks do not line up.
inline std::vector<int16_t> decaying_sines(int32_t rate, double length_s,
                                           const std::vector<SineSpec> &sines, double peak = 0.9)
{
    double total = 0.0;
    for (const SineSpec &s : sines)
        total += std::pow(10.0, s.level_db / 20.0);
    const auto count = static_cast<size_t>(std::lround(rate * length_s));
    std::vector<int16_t> frames(count);
    for (size_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / rate;
        double v = 0.0;
        for (size_t k = 0; k < sines.size(); ++k) {
            const SineSpec &s = sines[k];
            // A 60 dB fall is a factor of 1000: e^(-t ln(1000) / T60).
            const double decay = s.t60_s ? std::exp(-t * std::log(1000.0) / *s.t60_s) : 1.0;
            v += std::pow(10.0, s.level_db / 20.0) * decay *
                 std::sin(2.0 * std::numbers::pi * s.freq_hz * t + 0.7 * static_cast<double>(k));
        }
        frames[n] = static_cast<int16_t>(std::lround(v / total * peak * 32767.0));
    }
    return frames;
}

//! Writes a WAV (or, with `format`, another) file through libaudiofile:
//! `frames` holds `channels` interleaved samples per frame in the sample
//! format and width given, in this machine's byte order. Returns false on
//! failure.
inline bool write_audio_file(const std::string &path, int32_t rate, const void *frames,
                             long frame_count, int channels = 1,
                             int sample_format = AF_SAMPFMT_TWOSCOMP, int width = 16,
                             int file_format = AF_FILE_WAVE)
{
    AFfilesetup setup = afNewFileSetup();
    afInitFileFormat(setup, file_format);
    afInitSampleFormat(setup, AF_DEFAULT_TRACK, sample_format, width);
    afInitChannels(setup, AF_DEFAULT_TRACK, channels);
    afInitRate(setup, AF_DEFAULT_TRACK, rate);
    AFfilehandle handle = afOpenFile(path.c_str(), "w", setup);
    afFreeFileSetup(setup);
    if (!handle)
        return false;
    const AFframecount written =
        frame_count > 0 ? afWriteFrames(handle, AF_DEFAULT_TRACK, frames, frame_count) : 0;
    return afCloseFile(handle) == 0 && written == frame_count;
}

inline bool write_wav(const std::string &path, int32_t rate, const std::vector<int16_t> &frames)
{
    return write_audio_file(path, rate, frames.data(), static_cast<long>(frames.size()));
}
