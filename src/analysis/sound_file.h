// Reading a sound to analyse from a WAV file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

//! The first channel of a WAV file.
struct SoundFile {
    std::vector<int16_t> frames;
    int32_t rate_hz = 0;
};

//! Reads `file_name`, a WAV file with 16-bit samples (any number of
//! channels: the first is taken) through libaudiofile. Refuses a file that
//! cannot be opened, is no WAV file, holds samples of another width or
//! floating-point samples, holds no frame, or is silent (every frame 0):
//! returns nothing and sets `error` to one line, translated, that starts with
//! the file name. Main thread only (libaudiofile's error handler is global).
std::optional<SoundFile> read_sound_file(const std::string &file_name, std::string &error);
