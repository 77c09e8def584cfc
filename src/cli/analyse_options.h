// Command-line options of the sound analyser, parsed into a plain record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "notes.h"

//! What the command line asked for.
struct AnalyseOptions {
    bool json = false;              // one JSON object per file instead of the table
    double a4_hz = default_a4_hz;   // reference of the note names
    std::string plot_file;          // empty: no picture
    std::string spectrogram_file;   // empty: no spectrogram
    std::vector<std::string> files; // the WAV files, in the order given
    bool show_version = false;
};

//! Exit status for a command line or a value that is refused.
constexpr int analyse_exit_usage = 2;

//! Parses the command line (argv[0] is the program). Returns true on
//! success; otherwise sets `error` to one line naming the option and the
//! valid values. At least one file must be given unless --version is.
//! --help prints the help and exits the process with status 0, as GLib does.
bool parse_analyse_options(int argc, char **argv, AnalyseOptions &options, std::string &error);

//! The picture of the `index`-th (from 0) of `count` files: --plot's (or
//! --spectrogram's) name itself for a single file; for several, the name with "-1", "-2", ...
//! before its extension ("out.png" gives "out-1.png").
std::string plot_file_for(const std::string &plot_file, size_t index, size_t count);
