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
//! The file is saved through file_save (file_save.h), like presets and the
//! configuration: replaced atomically where it can be, so a failed export
//! leaves an existing file as it was; written in place when it has several
//! names or its folder is read-only; an existing file keeps its permission
//! bits, owner and group. `instrument` is not read.
//! Main thread only: the audio file library's error handler is global.
int save_wav(Instrument *instrument, const char *file_name, std::string &message, int32_t rate);
