// A score read from a Standard MIDI File: the channel messages that play it,
// in time order, with the file's tempo map applied. No GTK; the command-line
// renderer reads scores through this, never an audio thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

//! The largest file read, in bytes (16 MiB).
constexpr size_t midi_score_max_file_bytes = size_t{16} << 20;
//! The most events a file may hold, counting every kind (meta events too).
constexpr size_t midi_score_max_events = 2'000'000;
//! The longest score, in seconds (one hour).
constexpr double midi_score_max_length_s = 3600.0;

//! One channel message of a score, at its time from the score's start.
struct ScoreEvent {
    double time_s;  // seconds from the start, tempo changes applied
    uint8_t status; // 0x80 note off, 0x90 note on (velocity > 0), 0xB0 control change,
                    // 0xE0 pitch bend; low nibble = channel 0-15
    uint8_t data1;  // key, controller number, or bend LSB; 0-127
    uint8_t data2;  // velocity, controller value, or bend MSB; 0-127
};

struct MidiScore {
    //! Sorted by time. Events at the same time keep their order in the file:
    //! track by track (first track first), then as they come in their track.
    std::vector<ScoreEvent> events;
    //! Time of the last event of any track, end of track included; >= 0.
    double length_s = 0.0;
};

//! Reads `bytes` as a Standard MIDI File (formats 0 and 1). `channel` 0
//! keeps every channel, 1-16 only that one. Keeps note on and off (a note on
//! of velocity 0 becomes a note off of velocity 64), control change and
//! pitch bend; drops every other event. On failure returns nullopt and sets
//! `error` to one short English clause saying what is wrong, without the file
//! name (the caller adds it), e.g. "track 2 is cut short". Main thread only,
//! with no other thread logging through GLib meanwhile: libsmf's complaints
//! are caught with process-wide GLib settings while the file loads.
std::optional<MidiScore> parse_midi_score(std::span<const uint8_t> bytes, int channel,
                                          std::string &error);

//! The same for the file at `path`; errors also cover a file that cannot be
//! read (with the system's reason) or is larger than
//! midi_score_max_file_bytes.
std::optional<MidiScore> read_midi_score(const std::string &path, int channel, std::string &error);
