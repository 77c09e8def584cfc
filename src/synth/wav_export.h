// WAV export of the rendered sound.
#pragma once

#include <cstdint>
#include <string>

#include "instrument.h"

//! Writes the last rendered sound (`samples`, `sample_count`) to `file_name`
//! as a 16-bit mono RIFF WAVE file at `rate` Hz. A FileAction once the rate is
//! bound: returns 0 on success and when nothing has been rendered yet (no file
//! is made then), the system error number of the failure (ENOENT, EACCES,
//! ENOSPC, ...) or -1 when the failure has no error number; on failure
//! `message` is set to "Could not write file <file_name>" (translated).
//! A regular file is written to a temporary file in the target's folder and
//! renamed into place only after a complete, verified write, so an existing
//! file of that name survives a failed export. `instrument` is not read.
//! Main thread only: the audio file library's error handler is global.
int save_wav(Instrument *instrument, const char *file_name, std::string &message, int32_t rate);
