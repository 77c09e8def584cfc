// The window as a JACK instrument: a client with midi_in, out_l and out_r
// whose process callback plays a LiveSynth, the MIDI of midi_in and the
// window's keyboard together. Opened only when a server runs; never starts
// one.
#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "jack_client.h"
#include "live_player.h"
#include "live_synth.h"

class JackInstrument {
public:
    //! Opens the client `name` on the server JACK_DEFAULT_SERVER names (else
    //! the default one), makes the ports and a synth at the server's rate and
    //! block size, starts it and connects it to the physical ports. Null when
    //! no server runs or the server refuses any of it; libjack says nothing.
    static std::unique_ptr<JackInstrument> open(const std::string &name);
    //! Closes the client: no callback runs once this returns; the synth
    //! stays until the instrument is destroyed.
    void close();
    ~JackInstrument() { close(); }

    LiveSynth &synth() { return *synth_; }
    //! The client's name on the server (JACK may have added a number).
    std::string client_name() const;
    //! True once the server has gone away (the synth is silent then).
    bool server_gone() const { return gone_.load(std::memory_order_acquire); }

private:
    JackInstrument() = default;
    static int process(jack_nframes_t frames, void *self);
    static void shutdown(jack_status_t, const char *, void *self);

    std::unique_ptr<LiveSynth> synth_;
    jack_port_t *midi_in_ = nullptr, *out_l_ = nullptr, *out_r_ = nullptr;
    uint32_t max_block_ = 0;
    std::array<voice::VoiceEvent, max_cycle_events> events_{};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> gone_{false};
    // Last, so that it closes first: no callback runs on what is freed.
    JackClientPtr client_;
};
