// Command-line options of clangwright-live: the renderer's sound options
// (--preset, the shape, sizes, nodes and physics) and its options for playing
// through the voice engine, stored as the renderer stores them, and the
// options of the JACK client.
#pragma once

#include <string>

#include "render_options.h"

//! The client's name on the JACK server unless --name says otherwise.
constexpr const char *default_client_name = "clangwright";

//! What the command line asked for.
struct LiveOptions {
    RenderOptions sound; // the instrument and the engine's settings, as the renderer takes them
    std::string client_name = default_client_name;
    bool connect = false; // connect to the physical ports once running
};

//! Parses the command line (argv[0] is the program); values are checked as
//! the renderer checks them, the nodes later by apply_render_options. Returns
//! true on success; otherwise sets `error` to one line. --help prints the
//! help and exits the process with status 0.
bool parse_live_options(int argc, char **argv, LiveOptions &options, std::string &error);
