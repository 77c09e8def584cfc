// clangwright-live's JACK client: its owner, opening it without starting a
// server, and the connections of --connect.
#pragma once

#include <jack/jack.h>

#include <memory>
#include <string>
#include <vector>

struct JackClientCloser {
    void operator()(jack_client_t *client) const { jack_client_close(client); }
};
//! Closing the client deactivates it and unregisters its ports.
using JackClientPtr = std::unique_ptr<jack_client_t, JackClientCloser>;

struct JackPortListFree {
    void operator()(const char **ports) const { jack_free(ports); }
};
//! A list of port names from jack_get_ports, ending with null.
using JackPortList = std::unique_ptr<const char *, JackPortListFree>;

//! Opens a client named `name` (JACK adds a number when the name is taken)
//! on the server JACK_DEFAULT_SERVER names, else the default one, and never
//! starts a server. libjack's own messages are silenced, so that every
//! failure is said in one line. Null with `error` set when it fails.
JackClientPtr open_jack_client(const std::string &name, std::string &error);

//! --connect: `out_l` and `out_r` to the first two physical playback ports,
//! every physical MIDI capture port to `midi_in`. Returns one line for each
//! connection that could not be made or had no port to go to.
std::vector<std::string> connect_physical_ports(jack_client_t *client, jack_port_t *out_l,
                                                jack_port_t *out_r, jack_port_t *midi_in);
