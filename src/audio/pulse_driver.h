// The PulseAudio driver: plays 16-bit mono frames through the sound server
// with the blocking simple API.
#pragma once

#include <cstdint>

#include "sound_driver.h"

//! The driver record: name "Pulseaudio", with open, write, close and
//! error_message; no start, finish, settings widget, init or setup_done.
extern const SoundDriver driver_pulse;

//! Blocks until everything written to the open stream has been played by the
//! server. Not one of the driver's positions: only the headless renderer uses
//! it, so that its process does not end while the server still holds the
//! tail of the sound. 0 on success, -1 (explained by error_message) on
//! failure or when no stream is open.
int32_t pulse_drain();
