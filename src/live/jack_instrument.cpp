// The window's JACK client.
#include "jack_instrument.h"

#include <algorithm>
#include <span>

std::unique_ptr<JackInstrument> JackInstrument::open(const std::string &name)
{
    std::string error;
    JackClientPtr client = open_jack_client(name, error);
    if (!client)
        return nullptr;
    std::unique_ptr<JackInstrument> j(new JackInstrument);
    const auto rate = static_cast<int32_t>(jack_get_sample_rate(client.get()));
    const auto block = static_cast<int32_t>(jack_get_buffer_size(client.get()));
    j->max_block_ = static_cast<uint32_t>(block);
    j->synth_ = std::make_unique<LiveSynth>(rate, block);
    j->midi_in_ = jack_port_register(client.get(), "midi_in", JACK_DEFAULT_MIDI_TYPE,
                                     JackPortIsInput | JackPortIsTerminal, 0);
    j->out_l_ = jack_port_register(client.get(), "out_l", JACK_DEFAULT_AUDIO_TYPE,
                                   JackPortIsOutput | JackPortIsTerminal, 0);
    j->out_r_ = jack_port_register(client.get(), "out_r", JACK_DEFAULT_AUDIO_TYPE,
                                   JackPortIsOutput | JackPortIsTerminal, 0);
    if (!j->midi_in_ || !j->out_l_ || !j->out_r_)
        return nullptr;
    jack_set_process_callback(client.get(), process, j.get());
    jack_on_info_shutdown(client.get(), shutdown, j.get());
    if (jack_activate(client.get()) != 0)
        return nullptr;
    // The window has no place to say what could not be connected: the ports
    // stay for the user's own connections.
    connect_physical_ports(client.get(), j->out_l_, j->out_r_, j->midi_in_);
    j->client_ = std::move(client);
    return j;
}

void JackInstrument::close()
{
    if (client_ && !server_gone())
        jack_deactivate(client_.get());
    client_.reset();
}

std::string JackInstrument::client_name() const
{
    return client_ ? jack_get_client_name(client_.get()) : "";
}

int JackInstrument::process(jack_nframes_t frames, void *self)
{
    auto &j = *static_cast<JackInstrument *>(self);
    void *midi = jack_port_get_buffer(j.midi_in_, frames);
    auto *left = static_cast<float *>(jack_port_get_buffer(j.out_l_, frames));
    auto *right = static_cast<float *>(jack_port_get_buffer(j.out_r_, frames));
    const size_t n = read_midi_events(midi, frames, j.events_, j.dropped_);
    // A server that switched to longer cycles is played in pieces of the
    // block the engines were prepared for.
    size_t next = 0;
    for (uint32_t at = 0; at < frames; at += j.max_block_) {
        const uint32_t length = std::min(j.max_block_, frames - at);
        const size_t first = next;
        while (next < n && j.events_[next].frame < at + length) {
            j.events_[next].frame = j.events_[next].frame >= at ? j.events_[next].frame - at : 0;
            ++next;
        }
        j.synth_->process(std::span<const voice::VoiceEvent>(j.events_.data() + first, next - first),
                          left + at, right + at, length);
    }
    return 0;
}

void JackInstrument::shutdown(jack_status_t, const char *, void *self)
{
    static_cast<JackInstrument *>(self)->gone_.store(true, std::memory_order_release);
}
