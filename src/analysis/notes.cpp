// Note names of frequencies in equal temperament.
#include "notes.h"

#include <cmath>

namespace {

constexpr int semitones_per_octave = 12;
constexpr double cents_per_semitone = 100.0;
// MIDI numbering: A4 is note 69 and C-1 is note 0, so the octave of note n is
// floor(n / 12) - 1.
constexpr int a4_note_number = 69;
constexpr const char *note_letters[semitones_per_octave] = {"C",  "C#", "D",  "D#", "E",  "F",
                                                            "F#", "G",  "G#", "A",  "A#", "B"};

} // namespace

NearestNote nearest_note(double freq_hz, double a4_hz)
{
    const double semitones = a4_note_number + semitones_per_octave * std::log2(freq_hz / a4_hz);
    // Half a semitone up rounds up, so the cents lie in [-50, 50).
    const double nearest = std::floor(semitones + 0.5);
    const auto number = static_cast<long>(nearest);
    const long octave =
        (number >= 0 ? number / semitones_per_octave
                     : (number - (semitones_per_octave - 1)) / semitones_per_octave) -
        1;
    const long letter = number - (octave + 1) * semitones_per_octave;
    return {note_letters[letter] + std::to_string(octave),
            (semitones - nearest) * cents_per_semitone};
}
