// File-name rules of the save dialogs, without widgets.
#pragma once

#include <string>

//! `file_name` with "." and `ext` appended when its base name (the last path
//! component) has no "." after its first character; otherwise unchanged. A
//! leading dot alone is no extension; an existing one is never compared with
//! `ext`.
std::string complete_extension(const std::string &file_name, const char *ext);

//! The folder of `file_name` followed by "/" (as the dialogs remember it).
std::string folder_of(const std::string &file_name);
