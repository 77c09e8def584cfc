// A program's options as a table parsed through GLib: each row names an
// option, the form of its value and its help, and a handler stores every
// option given. The renderer and the live player share their sound's options
// this way.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

//! One option as --help lists it.
struct OptionHelp {
    const char *long_name;
    char short_name;             //!< 0: none
    const char *arg_description; //!< null: a flag without a value
    const char *description;
};

//! Stores option `row` of the table: `option` is its long form ("--shape"),
//! `value` its value ("" for a flag). Returns false with `error` set to one
//! line naming the option and the valid values.
using OptionHandler =
    std::function<bool(size_t row, const char *option, const char *value, std::string &error)>;

//! Parses the command line (argv[0] is the program) against `rows`, calling
//! `handler` for each option in the order given. --help prints the help, with
//! `summary` after the program's name, and exits the process with status 0,
//! as GLib does. A plain argument is refused. Returns true on success;
//! otherwise sets `error` to one line.
bool parse_option_table(int argc, char **argv, std::span<const OptionHelp> rows,
                        const char *summary, const OptionHandler &handler, std::string &error);
