// An analysis as the programs print it: a small table for a person, one JSON
// object for a program, and the one line the window shows.
#pragma once

#include <optional>
#include <string>

#include "sound_analysis.h"

//! One JSON object on one line (no newline at its end) with the fields
//! file (null when not given), rate, length_s, peak_dbfs, t60_s, lowest_hz,
//! strongest_hz and partials (a list of objects with freq_hz, level_db,
//! note, cents and t60_s). A value that is not known is null. Numbers are
//! rounded to what the analysis can tell: Hz to 0.001, dB and cents to 0.01,
//! seconds to 0.0001 (1 ms at 10 s); length_s is exact.
std::string analysis_json(const SoundAnalysis &analysis, const std::optional<std::string> &file);

//! The analysis as lines of text for a terminal, translated, numbers in the
//! user's locale: a heading with `title`, the lowest and strongest partial,
//! and a table of the partials.
std::string analysis_text(const SoundAnalysis &analysis, const std::string &title);

//! The window's line, short: lowest and strongest partial with Hz, note and
//! cents ("Lowest 220.0 Hz A3 +0 ct"), the sound's T60 and its peak level.
//! Translated, numbers in the user's locale.
std::string analysis_summary(const SoundAnalysis &analysis);

//! "A4 +3.2 cents" (translated), for a frequency under the pointer, say.
std::string note_text(double freq_hz, double a4_hz);
