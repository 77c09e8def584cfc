// The live PulseAudio stream and its thread.
#include "live_stream.h"

#include <pulse/simple.h>

#include <cmath>

namespace {
constexpr const char *application_name = "Clangwright live";
constexpr const char *stream_name = "keyboard";
constexpr uint32_t channels = 2;
constexpr uint32_t bytes_per_frame = channels * sizeof(float);
constexpr uint32_t server_chooses = static_cast<uint32_t>(-1);
} // namespace

void LiveStream::PaSimpleFree::operator()(pa_simple *s) const
{
    pa_simple_free(s);
}

std::unique_ptr<LiveStream> LiveStream::open(int32_t rate_hz, Render render, Idle idle,
                                             void *user)
{
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = static_cast<uint32_t>(rate_hz);
    spec.channels = channels;
    // A short target and requests of a block keep the latency near the
    // target; the server starts playing once it holds the target.
    pa_buffer_attr buffer{};
    buffer.maxlength = server_chooses;
    buffer.tlength = static_cast<uint32_t>(std::lround(target_ms / 1000.0 * rate_hz)) *
                     bytes_per_frame;
    buffer.prebuf = server_chooses;
    buffer.minreq = block_frames * bytes_per_frame;
    buffer.fragsize = server_chooses;
    std::unique_ptr<LiveStream> s(new LiveStream);
    s->stream_.reset(pa_simple_new(nullptr, application_name, PA_STREAM_PLAYBACK, nullptr,
                                   stream_name, &spec, nullptr, &buffer, nullptr));
    if (!s->stream_)
        return nullptr;
    s->rate_hz_ = rate_hz;
    s->render_ = render;
    s->idle_ = idle;
    s->user_ = user;
    s->left_.resize(block_frames);
    s->right_.resize(block_frames);
    s->interleaved_.resize(block_frames * channels);
    s->thread_ = std::thread(&LiveStream::run, s.get());
    return s;
}

void LiveStream::wake()
{
    wakes_.fetch_add(1, std::memory_order_release);
    wakes_.notify_one();
}

LiveStream::~LiveStream()
{
    stop_.store(true, std::memory_order_release);
    wake();
    if (thread_.joinable())
        thread_.join();
}

void LiveStream::run()
{
    while (!stop_.load(std::memory_order_acquire)) {
        // Read before the look at the synth: a wake after it is not lost.
        const uint32_t wakes = wakes_.load(std::memory_order_acquire);
        if (idle_(user_)) {
            wakes_.wait(wakes, std::memory_order_acquire);
            continue;
        }
        render_(user_, left_.data(), right_.data(), block_frames);
        for (uint32_t i = 0; i < block_frames; ++i) {
            interleaved_[2 * i] = left_[i];
            interleaved_[2 * i + 1] = right_[i];
        }
        // Blocks until the server has room for the block: the thread's pace.
        if (pa_simple_write(stream_.get(), interleaved_.data(), interleaved_.size() * sizeof(float),
                            nullptr) < 0) {
            failed_.store(true, std::memory_order_release);
            return;
        }
    }
}
