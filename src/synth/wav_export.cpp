// WAV export of the rendered sound, through the program's WAV writer.
#include "wav_export.h"

#include <span>

#include "render.h"
#include "wav_frames.h"

namespace {

constexpr int32_t export_channels = 1;

} // namespace

int save_wav(Instrument *, const char *file_name, std::string &message, int32_t rate)
{
    if (!samples)
        return 0;
    return save_wav_pcm16(file_name, std::span<const int16_t>(samples, sample_count),
                          export_channels, rate, message);
}
