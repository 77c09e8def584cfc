// Where the installed data files are: below the prefix the program is
// installed under, so that an install under any prefix finds its own files.
// A program run from the build tree (not from "<prefix>/bin") uses the prefix
// it was configured for.
#pragma once

#include <string>

//! The install prefix: the folder above "bin" holding the running program,
//! else the configured prefix.
std::string cw_install_prefix();

//! `relative` (e.g. "share/pixmaps/clangwright.png") below cw_install_prefix().
std::string cw_install_path(const char *relative);

//! What a command-line program does first: the user's locale, the message
//! catalogue below cw_install_prefix() (so an install under any prefix finds
//! its own translations), and `name` as GLib's program name.
void start_command_line_program(const char *name);
