// WAV files of interleaved sample frames: mono or stereo, 16-bit or 24-bit
// integer or 32-bit float. The one WAV writer of the program; save_wav
// (wav_export.h) writes the rendered sound through it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

//! Sample formats of a WAV file: 16-bit or 24-bit two's complement, or IEEE
//! 32-bit float.
enum class WavBits { pcm16, pcm24, float32 };

//! Parses "16", "24" or "32f" (nothing around them); nullopt otherwise.
std::optional<WavBits> wav_bits_from_text(std::string_view text);

//! The most frames a WAV file with `channels` (1 or 2) of `bits` can hold:
//! the RIFF sizes are 32 bits. 0 for another channel count.
uint64_t wav_frames_max(int32_t channels, WavBits bits);

//! Writes `frames` (interleaved, `channels` 1 or 2 values per frame, channel
//! 0 left, full scale +-1) to `file_name` as a RIFF WAVE file at `rate` Hz
//! (> 0) with `bits`. pcm16 converts as pcm_from_double (render.h), pcm24 by
//! the same rule at 24 bits: both clamp to full scale and write NaN as 0.
//! Unless `clipped` is null, `*clipped` is set to the samples outside [-1, 1]
//! or NaN, which the integer formats could not write as they are; float32
//! writes every value rounded to float (NaN and infinities too) and sets 0.
//! The count is complete only when the file was written.
//! Returns 0, a system error number, or -1 for a failure without one: also,
//! with no file touched, for a channel count other than 1 or 2, a sample
//! count that is not whole frames and more frames than wav_frames_max. On
//! failure `message` is set to "Could not write file <file_name>" (translated).
//! Saved through file_save as save_wav saves: a failure leaves an existing
//! file as it was. `frames` is only read. Main thread only: the audio file
//! library's error handler is global.
int save_wav_frames(const char *file_name, std::span<const double> frames, int32_t channels,
                    int32_t rate, WavBits bits, uint64_t *clipped, std::string &message);

//! save_wav_frames for frames already in 16-bit PCM, written as they are.
int save_wav_pcm16(const char *file_name, std::span<const int16_t> frames, int32_t channels,
                   int32_t rate, std::string &message);
