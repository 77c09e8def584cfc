// Numbers given to the command-line programs: checked for their form and
// range, with messages that name the option and the valid values.
#pragma once

#include <cstdint>
#include <string>

//! A number as the options take it: a decimal point whatever the locale.
std::string number_text(double v);

//! "LO to HI" (translated).
std::string range_text(double lo, double hi);

//! A whole number within [lo, hi]; the text must be nothing but the number.
//! Returns false and sets `error` ("--option: ... (valid: LO to HI)") when it
//! is not.
bool parse_int(const char *option, const char *text, int32_t lo, int32_t hi, int32_t &out,
               std::string &error);

//! A finite decimal number within [lo, hi], with a decimal point in any
//! locale. Returns false and sets `error` as parse_int does.
bool parse_real(const char *option, const char *text, double lo, double hi, double &out,
                std::string &error);
