// The playback pump: plays the rendered sound through the current driver in
// blocks, running pending events between blocks.
//
// Re-entrance: the event hook may run any handler. Those may set
// Instrument.stop (seen before the next block), call trigger_play again (a
// nested call rewinds play_cursor and play_remaining and returns 0), switch or
// close the driver with cwr_set_driver (the next block goes to the driver then
// current; with none the playback ends), or render again (a render that the
// pump did not rewind to ends the playback, see trigger_play).
#pragma once

#include <cstdint>

#include "instrument.h"

//! Non-zero while a call of trigger_play is inside its block loop.
extern int32_t playing;
//! Next frame of `samples` to hand to the driver.
extern const int16_t *play_cursor;
//! Frames still to hand over.
extern int32_t play_remaining;

//! Frames handed to the driver at most per write: bounds the wait between two
//! event runs (about 43 ms at 48000 Hz).
constexpr int32_t play_block_frames = 2048;

//! Runs the pending events of the program's main loop; the window installs
//! one that runs the toolkit's pending events.
using PlayEventsHook = void (*)();

//! Installs the step run after every block; null runs nothing (headless).
void set_play_events_hook(PlayEventsHook hook);

//! Plays `samples` (sample_count frames rendered at `rate_hz`) through the
//! current driver. Returns 1 when this call is over and nothing plays: played
//! out, stopped, failed, or nothing rendered or no driver current. Returns 0
//! when a playback was already running: it has been rewound to the first
//! frame and goes on in the outer call.
//! If a render replaces the sound while the pump waits in its event run and
//! no nested call rewinds to the new sound, the playback stops: the new sound
//! may be at another rate (a WAV export), so it is not played on.
//! If no driver is current after an event run, the playback ends without
//! calling any driver operation and without a further report (the failed
//! open has reported itself).
int32_t trigger_play(Instrument *instrument, int32_t rate_hz);

//! Plays the sound to its end for the headless renderer: trigger_play, then,
//! on the PulseAudio driver, waits until the server has played what it took.
//! The driver must have been opened with cwr_set_driver at `rate_hz`. Returns
//! 0 when the whole sound was played, 1 when nothing was rendered, no driver
//! is current, or the playback failed or was stopped (driver errors have been
//! reported).
int32_t play_and_drain(Instrument *instrument, int32_t rate_hz);
