// Opening the JACK client and connecting it to the physical ports.
#include "jack_client.h"

#include <glib.h>

#include <cerrno>

#include "intl.h"

namespace {

void ignore_message(const char *) {}

std::string printf_text(const char *format, const char *a, const char *b = "")
{
    gchar *text = g_strdup_printf(format, a, b);
    std::string s = text;
    g_free(text);
    return s;
}

// True when `source` feeds `destination` now or already did.
bool connect_ports(jack_client_t *client, const char *source, const char *destination,
                   std::vector<std::string> &problems)
{
    const int r = jack_connect(client, source, destination);
    if (r == 0 || r == EEXIST)
        return true;
    problems.push_back(printf_text(_("could not connect %s to %s"), source, destination));
    return false;
}

} // namespace

JackClientPtr open_jack_client(const std::string &name, std::string &error)
{
    // libjack prints its reasons on stderr by itself, several lines for a
    // missing server; the status says all of it.
    jack_set_error_function(ignore_message);
    jack_set_info_function(ignore_message);
    jack_status_t status{};
    JackClientPtr client(jack_client_open(name.c_str(), JackNoStartServer, &status));
    if (!client) {
        if (status & JackServerFailed)
            error = _("no JACK server is running; start one first (jackd, or PipeWire's JACK)");
        else if (status & JackVersionError)
            error = _("the JACK server speaks another version of the protocol");
        else
            error = printf_text(_("the JACK server refused the client %s"), name.c_str());
    }
    return client;
}

std::vector<std::string> connect_physical_ports(jack_client_t *client, jack_port_t *out_l,
                                                jack_port_t *out_r, jack_port_t *midi_in)
{
    std::vector<std::string> problems;
    // A playback port takes sound in; a capture port gives MIDI out.
    const JackPortList playback(jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsPhysical | JackPortIsInput));
    jack_port_t *outputs[] = {out_l, out_r};
    size_t connected = 0;
    for (size_t i = 0; i < 2 && playback && playback.get()[i]; ++i, ++connected)
        connect_ports(client, jack_port_name(outputs[i]), playback.get()[i], problems);
    if (connected == 0)
        problems.push_back(_("there is no playback port to connect the outputs to"));

    const JackPortList capture(jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                              JackPortIsPhysical | JackPortIsOutput));
    if (!capture || !capture.get()[0])
        problems.push_back(_("there is no MIDI input to connect midi_in to"));
    for (size_t i = 0; capture && capture.get()[i]; ++i)
        connect_ports(client, capture.get()[i], jack_port_name(midi_in), problems);
    return problems;
}
