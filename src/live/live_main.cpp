// clangwright-live: a JACK instrument. MIDI in at midi_in plays the
// instrument of --preset and the sound options through the voice engine, out
// at out_l and out_r, until SIGINT or SIGTERM (status 0) or until the server
// goes away (status 1).
//
// The engine is prepared at the server's rate for blocks of the server's
// buffer size; should the server switch to larger buffers later, each cycle
// is played in pieces of the prepared size (live_process), so no engine has
// to be rebuilt while playing.
#include <glib.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "install_paths.h"
#include "intl.h"
#include "jack_client.h"
#include "live_options.h"
#include "live_player.h"
#include "preset_library.h"
#include "score_render.h"
#include "voice_engine.h"

namespace {

constexpr const char *program_name = "clangwright-live";
constexpr int exit_failure = 1;
// How often the main thread looks whether the server has gone away.
constexpr long poll_interval_ns = 100'000'000;

void print_error(const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", program_name, text.c_str());
}

// What JACK's other threads tell the main thread.
struct ServerEvents {
    std::atomic<uint64_t> xruns{0};
    std::atomic<bool> gone{false};
};

int on_xrun(void *events)
{
    static_cast<ServerEvents *>(events)->xruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void on_shutdown(jack_status_t, const char *, void *events)
{
    static_cast<ServerEvents *>(events)->gone.store(true);
}

// The signals that end the program, blocked in every thread (JACK's threads
// inherit the mask of the thread that opens the client) and taken by the
// main thread alone with sigtimedwait, so no handler runs anywhere.
sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Waits for an ending signal or for the server to go away; true for the
// signal.
bool wait_for_end(const sigset_t &signals, const ServerEvents &events)
{
    const timespec interval{0, poll_interval_ns};
    while (!events.gone.load()) {
        if (sigtimedwait(&signals, nullptr, &interval) >= 0)
            return true;
    }
    return false;
}

bool make_instrument(const LiveOptions &options, Instrument &instrument, int &status)
{
    instrument = instrument_defaults();
    std::string message;
    if (!options.sound.preset_file.empty()) {
        switch (load_named_preset(options.sound.preset_file, instrument, message)) {
        case PRES_UNREADABLE:
            print_error(message);
            status = exit_failure;
            return false;
        case PRES_INCOMPLETE:
            std::fprintf(stderr, "%s: %s %s\n", program_name, _("warning:"), message.c_str());
            break;
        case PRES_LOADED:
            break;
        }
    }
    if (!apply_render_options(options.sound, instrument, message)) {
        print_error(message);
        status = exit_usage;
        return false;
    }
    return true;
}

// The ports of `player` on `client`; false when the server refuses one.
bool register_ports(jack_client_t *client, LivePlayer &player)
{
    player.midi_in = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE,
                                        JackPortIsInput | JackPortIsTerminal, 0);
    player.out_l = jack_port_register(client, "out_l", JACK_DEFAULT_AUDIO_TYPE,
                                      JackPortIsOutput | JackPortIsTerminal, 0);
    player.out_r = jack_port_register(client, "out_r", JACK_DEFAULT_AUDIO_TYPE,
                                      JackPortIsOutput | JackPortIsTerminal, 0);
    return player.midi_in && player.out_l && player.out_r;
}

int play(const LiveOptions &options, const Instrument &instrument)
{
    const sigset_t signals = ending_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::string error;
    JackClientPtr client = open_jack_client(options.client_name, error);
    if (!client) {
        print_error(error);
        return exit_failure;
    }
    const auto rate = static_cast<int32_t>(jack_get_sample_rate(client.get()));
    const auto block = static_cast<int32_t>(jack_get_buffer_size(client.get()));
    const std::unique_ptr<voice::VoiceEngine> engine = voice::VoiceEngine::prepare(
        instrument, rate, score_engine_settings(options.sound), block, error);
    if (!engine) {
        print_error(error);
        return exit_failure;
    }
    // The client moves into `running`, declared after what its callbacks
    // use, so that on every way out it is closed, and the callbacks stopped,
    // before the player and the engine go away.
    auto player = std::make_unique<LivePlayer>();
    player->engine = engine.get();
    player->max_block = static_cast<uint32_t>(block);
    ServerEvents events;
    JackClientPtr running = std::move(client);
    if (!register_ports(running.get(), *player)) {
        print_error(_("the JACK server refused to make the ports"));
        return exit_failure;
    }
    jack_set_process_callback(running.get(), live_process, player.get());
    jack_set_xrun_callback(running.get(), on_xrun, &events);
    jack_on_info_shutdown(running.get(), on_shutdown, &events);
    if (jack_activate(running.get()) != 0) {
        print_error(_("the JACK server refused to start the client"));
        return exit_failure;
    }
    const char *name = jack_get_client_name(running.get());
    if (options.connect) {
        for (const std::string &problem : connect_physical_ports(
                 running.get(), player->out_l, player->out_r, player->midi_in))
            std::fprintf(stderr, "%s: %s %s\n", program_name, _("warning:"), problem.c_str());
    }
    if (!options.sound.quiet) {
        std::printf(_("Playing as %s at %d Hz in blocks of %d frames, keys %d to %d, root %d; "
                      "Ctrl+C ends"),
                    name, rate, block, engine->lowest_key(), engine->highest_key(),
                    engine->root_key());
        std::putchar('\n');
        std::fflush(stdout);
    }

    const bool ended_by_signal = wait_for_end(signals, events);
    if (ended_by_signal)
        jack_deactivate(running.get());
    running.reset();
    if (!ended_by_signal)
        print_error(_("the JACK server has gone away"));
    if (!options.sound.quiet) {
        std::printf(_("Xruns: %llu"), static_cast<unsigned long long>(events.xruns.load()));
        std::putchar('\n');
        if (const uint64_t dropped = player->dropped_events.load(); dropped > 0) {
            std::printf(_("MIDI events dropped (too many in one cycle): %llu"),
                        static_cast<unsigned long long>(dropped));
            std::putchar('\n');
        }
    }
    return ended_by_signal ? 0 : exit_failure;
}

} // namespace

int main(int argc, char **argv)
{
    start_command_line_program(program_name);

    LiveOptions options;
    std::string error;
    if (!parse_live_options(argc, argv, options, error)) {
        print_error(error);
        return exit_usage;
    }
    if (options.sound.show_version) {
        std::printf("%s %s\n", program_name, CW_VERSION);
        return 0;
    }
    Instrument instrument;
    int status = 0;
    if (!make_instrument(options, instrument, status))
        return status;
    return play(options, instrument);
}
