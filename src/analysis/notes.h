// Note names of frequencies in equal temperament.
#pragma once

#include <string>

//! A4 when the user sets no other reference.
constexpr double default_a4_hz = 440.0;
//! The references the programs accept for A4, in Hz.
constexpr double a4_hz_min = 400.0, a4_hz_max = 480.0;

//! The equal-tempered note nearest to a frequency.
struct NearestNote {
    std::string name; //!< letter, "#" when sharp, octave: "A4", "C#5", "B-1"
    double cents;     //!< the frequency's distance from it, -50 to +50
};

//! The note nearest to `freq_hz` (> 0) with A4 at `a4_hz` (> 0), in
//! scientific pitch notation (C4 is middle C, 9 semitones below A4).
NearestNote nearest_note(double freq_hz, double a4_hz = default_a4_hz);
