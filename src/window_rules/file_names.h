// File-name rules of the save dialogs, without widgets.
#pragma once

#include <optional>
#include <string>

//! `file_name` with "." and `ext` appended when its base name (the last path
//! component) has no "." after its first character; otherwise unchanged. A
//! leading dot alone is no extension; an existing one is never compared with
//! `ext`.
std::string complete_extension(const std::string &file_name, const char *ext);

//! The folder of `file_name` followed by "/" (as the dialogs remember it).
std::string folder_of(const std::string &file_name);

//! The folder a chooser opens in (file-system encoding): the remembered
//! folder when it names an existing folder; otherwise the working folder, or
//! the home folder when the working folder no longer exists. Never empty: an
//! empty folder would leave the chooser in its list of recent files, where a
//! typed path is not taken as typed.
std::string chooser_start_folder(const std::optional<std::string> &remembered);
