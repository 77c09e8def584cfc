// A change of sound while notes ring.
#include "engine_pair.h"

#include <algorithm>

namespace voice {

namespace {
constexpr uint8_t status_note_on = 0x90;
// Events a block may pass on to the ringing engine.
constexpr size_t events_kept = 1024;
} // namespace

EnginePair::EnginePair(int32_t max_block)
    : left_(static_cast<size_t>(max_block)), right_(static_cast<size_t>(max_block))
{
    released_.reserve(events_kept);
}

void EnginePair::process(std::span<const VoiceEvent> events, float *left, float *right,
                         uint32_t frames)
{
    if (current_)
        current_->process(events, left, right, frames);
    else {
        std::fill_n(left, frames, 0.0f);
        std::fill_n(right, frames, 0.0f);
    }
    if (!ringing_)
        return;
    released_.clear();
    for (const VoiceEvent &e : events)
        if (((e.status & 0xf0) != status_note_on || e.data2 == 0) &&
            released_.size() < released_.capacity())
            released_.push_back(e);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(frames - done, static_cast<uint32_t>(left_.size()));
        // Events for later chunks are passed with the first: the ringing
        // engine only ends notes, so a chunk's lateness does not matter
        // beyond the block of a host, whose blocks fit in one chunk.
        ringing_->process(done == 0 ? std::span<const VoiceEvent>(released_)
                                    : std::span<const VoiceEvent>(),
                          left_.data(), right_.data(), n);
        for (uint32_t i = 0; i < n; ++i) {
            left[done + i] += left_[i];
            right[done + i] += right_[i];
        }
        done += n;
    }
}

VoiceEngine *EnginePair::swap_in(VoiceEngine *next)
{
    VoiceEngine *to_free = ringing_;
    ringing_ = current_;
    current_ = next;
    return to_free;
}

VoiceEngine *EnginePair::take_finished()
{
    if (!ringing_ || ringing_->active_voices() > 0)
        return nullptr;
    VoiceEngine *done = ringing_;
    ringing_ = nullptr;
    return done;
}

} // namespace voice
