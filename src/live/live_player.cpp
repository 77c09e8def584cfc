// JACK's process callback for the voice engine.
#include "live_player.h"

#include <jack/midiport.h>

#include <algorithm>
#include <span>

namespace {

constexpr uint8_t status_bit = 0x80;
constexpr uint8_t first_system_status = 0xf0;
constexpr uint8_t program_change = 0xc0, channel_pressure = 0xd0;

// Bytes of a channel message with status `status`: program change and
// channel pressure have one data byte, the others two.
size_t message_size(uint8_t status)
{
    const auto kind = static_cast<uint8_t>(status & 0xf0);
    return kind == program_change || kind == channel_pressure ? 2 : 3;
}

} // namespace

size_t read_midi_events(void *midi, jack_nframes_t frames, std::span<voice::VoiceEvent> events,
                        std::atomic<uint64_t> &dropped)
{
    const uint32_t count = jack_midi_get_event_count(midi);
    size_t n = 0;
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, midi, i) != 0 || e.size == 0)
            continue;
        const uint8_t status = e.buffer[0];
        if (!(status & status_bit) || status >= first_system_status ||
            e.size < message_size(status))
            continue;
        if (n == events.size()) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        const uint8_t data2 = message_size(status) == 3 ? e.buffer[2] : 0;
        // JACK gives every event a frame of this cycle; the clamp only keeps
        // the engine's rule should a client have written one beyond it.
        events[n++] = {std::min<uint32_t>(e.time, frames - 1), status, e.buffer[1], data2};
    }
    return n;
}

int live_process(jack_nframes_t frames, void *player)
{
    auto &p = *static_cast<LivePlayer *>(player);
    void *midi = jack_port_get_buffer(p.midi_in, frames);
    auto *left = static_cast<float *>(jack_port_get_buffer(p.out_l, frames));
    auto *right = static_cast<float *>(jack_port_get_buffer(p.out_r, frames));
    const size_t n = read_midi_events(midi, frames, p.events, p.dropped_events);

    // JACK's events come sorted by frame, so each piece takes the next run.
    size_t next = 0;
    for (uint32_t at = 0; at < frames; at += p.max_block) {
        const uint32_t length = std::min(p.max_block, frames - at);
        const size_t first = next;
        while (next < n && p.events[next].frame < at + length) {
            p.events[next].frame = p.events[next].frame >= at ? p.events[next].frame - at : 0;
            ++next;
        }
        p.engine->process(std::span<const voice::VoiceEvent>(p.events.data() + first, next - first),
                          left + at, right + at, length);
    }
    return 0;
}
