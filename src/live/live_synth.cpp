// The audio side of live play in the window.
#include "live_synth.h"

#include <algorithm>

namespace {
constexpr uint8_t status_control = 0xb0;
constexpr uint8_t cc_all_sound_off = 120;
} // namespace

LiveSynth::LiveSynth(int32_t rate_hz, int32_t max_block)
    : rate_hz_(rate_hz), max_block_(max_block), pair_(max_block)
{
}

LiveSynth::~LiveSynth()
{
    collect();
    delete incoming_.exchange(nullptr);
    // The pair owns neither engine: the first swap gives back the ringing
    // one, the second the one that was current.
    delete pair_.swap_in(nullptr);
    delete pair_.swap_in(nullptr);
}

void LiveSynth::offer(std::unique_ptr<voice::VoiceEngine> engine)
{
    delete incoming_.exchange(engine.release(), std::memory_order_acq_rel);
    collect();
}

void LiveSynth::collect()
{
    voice::VoiceEngine *done = nullptr;
    while (retired_.pop(done))
        delete done;
}

void LiveSynth::retire(voice::VoiceEngine *engine)
{
    // The caller made sure of the room.
    if (engine)
        retired_.push(engine);
}

void LiveSynth::process(std::span<const voice::VoiceEvent> events, float *left, float *right,
                        uint32_t frames)
{
    // A new engine only when the engines it may push out can be handed back.
    if (retired_.room() >= 2 && incoming_.load(std::memory_order_relaxed)) {
        if (voice::VoiceEngine *next = incoming_.exchange(nullptr, std::memory_order_acq_rel)) {
            retire(pair_.swap_in(next));
            taken_.fetch_add(1, std::memory_order_release);
        }
    }
    if (retired_.room() >= 1)
        retire(pair_.take_finished());

    size_t n = 0;
    if (silence_.exchange(false, std::memory_order_acq_rel))
        events_[n++] = {0, status_control, cc_all_sound_off, 0};
    KeyMessage key{};
    while (n < events_.size() && keys_.pop(key))
        events_[n++] = {0, key.status, key.data1, key.data2};
    for (const voice::VoiceEvent &e : events) {
        if (n == events_.size()) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        events_[n++] = e;
    }

    // The pair renders a current engine's longer blocks in pieces itself;
    // the ringing one is given blocks of its size.
    pair_.process(std::span<const voice::VoiceEvent>(events_.data(), n), left, right, frames);
    int32_t active = 0;
    if (pair_.current())
        active += pair_.current()->active_voices();
    if (pair_.ringing())
        active += pair_.ringing()->active_voices();
    active_.store(active, std::memory_order_relaxed);
}
