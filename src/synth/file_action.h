// What a file dialog runs with the chosen file.
#pragma once

#include <string>

#include "instrument.h"

//! Returns 0 on success, -1 with `message` set, or a system error number with
//! `message` set (shown with the system's text for that number).
using FileAction = int (*)(Instrument *instrument, const char *file_name, std::string &message);
