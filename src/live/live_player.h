// The audio thread's side of clangwright-live: JACK's process callback reads
// the cycle's MIDI events into an array made beforehand and plays them
// through the voice engine into the two output ports. Like the engine's
// process(), it allocates nothing and takes no lock, file or system call.
#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "voice_engine.h"

//! Channel messages kept per process cycle; more in one cycle are dropped
//! (and counted): at 64 frames per cycle, 32 messages a frame.
constexpr size_t max_cycle_events = 2048;

//! What the process callback works on: made, with the engine prepared,
//! before the client is activated; read by the other threads only through
//! the counters.
struct LivePlayer {
    jack_port_t *midi_in = nullptr;
    jack_port_t *out_l = nullptr, *out_r = nullptr;
    voice::VoiceEngine *engine = nullptr;
    //! The engine's largest block; a longer cycle is played in pieces of this.
    uint32_t max_block = 0;
    std::array<voice::VoiceEvent, max_cycle_events> events{};
    std::atomic<uint64_t> dropped_events{0};
};

//! Copies the channel messages of a cycle's MIDI buffer `midi` into
//! `events` (system messages skipped, frames clamped below `frames`); returns
//! how many there are, counting in `dropped` those that found no room.
size_t read_midi_events(void *midi, jack_nframes_t frames, std::span<voice::VoiceEvent> events,
                        std::atomic<uint64_t> &dropped);

//! JACK's process callback; `player` is a LivePlayer. Channel messages
//! (note on and off, key and channel pressure, controllers, program change,
//! pitch bend) reach the engine at their frames; system messages (SysEx,
//! clock, ...) are ignored. Always 0: the client keeps running.
int live_process(jack_nframes_t frames, void *player);
