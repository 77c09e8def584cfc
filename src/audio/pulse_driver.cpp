// The PulseAudio driver. The stream is opened at the playback rate by
// cwr_set_driver and stays open, idle between playbacks, until the next
// switch or exit; it is never drained or flushed at the end of a playback.
#include "pulse_driver.h"

#include <pulse/simple.h>

#include <memory>

namespace {

constexpr const char *application_name = "Clangwright";
constexpr const char *stream_name = "sound";
constexpr int32_t failure = -1;
constexpr size_t bytes_per_frame = sizeof(int16_t); // mono, 16 bits

struct PaSimpleFree {
    void operator()(pa_simple *stream) const { pa_simple_free(stream); }
};

// The open playback stream; empty before the first open, after a failed open
// and after close, so that a write then fails instead of using a freed stream.
std::unique_ptr<pa_simple, PaSimpleFree> s;

int32_t pulse_open(int32_t rate_hz)
{
    pa_sample_spec sample_format{};
    sample_format.format = PA_SAMPLE_S16LE;
    sample_format.rate = static_cast<uint32_t>(rate_hz);
    sample_format.channels = 1;
    // Server, sink, channel map and buffering are the server's defaults; the
    // server's own error code is not collected, every failure is one code.
    s.reset(pa_simple_new(nullptr, application_name, PA_STREAM_PLAYBACK, nullptr, stream_name,
                          &sample_format, nullptr, nullptr, nullptr));
    return s ? 0 : failure;
}

int32_t pulse_write(const int16_t *frames, int32_t count)
{
    if (!s)
        return failure;
    // Blocks until the server has taken the whole block.
    if (pa_simple_write(s.get(), frames, static_cast<size_t>(count) * bytes_per_frame, nullptr) < 0)
        return failure;
    return count;
}

void pulse_close()
{
    s.reset();
}

const char *pulse_error_message(int32_t /*code*/)
{
    return "Sorry, no diagnostics is available in Pulseaudio driver";
}

} // namespace

const SoundDriver driver_pulse = {
    "Pulseaudio",
    pulse_open,
    nullptr,
    pulse_write,
    nullptr,
    pulse_close,
    pulse_error_message,
    nullptr,
    nullptr,
    nullptr,
};

int32_t pulse_drain()
{
    if (!s)
        return failure;
    return pa_simple_drain(s.get(), nullptr) < 0 ? failure : 0;
}
