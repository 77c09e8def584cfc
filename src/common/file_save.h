// Saving a file for the user: the one routine behind WAV export, preset files
// and the configuration document, so that they replace, keep and refuse files
// alike.
//
// The content is first written whole into a staging file; the target is not
// touched until that has succeeded. Then, by what the target is:
// - nothing yet, or a regular file with one name: the staging file is a
//   temporary file in the target's folder, flushed and renamed over the
//   target. A failure at any point (a full disk included) leaves the old file
//   as it was and no temporary file behind. An existing file keeps its
//   permission bits, owner and group; its extended attributes and access
//   control list are not carried over.
// - a regular file that cannot be replaced by a rename but may be written
//   (see file_save): written in place, as a plain save writes it.
// - a device or a pipe: written to directly.
// - a folder: EISDIR.
// A symbolic link is followed; the file it names is saved, the link stays.
//
// No GTK; main thread or any one thread at a time (the umask is read by
// creating the file, not by changing it).
#pragma once

#include <functional>
#include <string_view>

//! Writes the whole content to `fd`: an empty regular file opened for reading
//! and writing at offset 0. It may seek and read back what it wrote. Returns 0,
//! a system error number, or -1 for a failure without one. A failed staging
//! file is thrown away, so a writer may write on past its content to find out
//! why a write came up short.
using FileContentWriter = std::function<int(int fd)>;

//! Saves `file_name` with what `write` produces. Returns 0, a system error
//! number (EACCES for a file the user may not write, ENOENT for a missing
//! folder, ENOSPC or EFBIG for a full disk, EISDIR for a folder, ...), or -1
//! when `write` failed without one.
//!
//! An existing regular file is written in place, keeping its inode, instead
//! of being replaced when
//! - it has more than one hard link (a rename would split the names: the
//!   others would keep the old content),
//! - its folder cannot take a temporary file or refuses the rename (a shared
//!   library of sounds, a sticky folder), although the file may be written,
//! - the replacement could not carry the file's owner and group (another
//!   user's file that this user may write): a plain save keeps them.
//! A file the user may not write is refused with EACCES in every case, even
//! where the folder would allow replacing it.
int file_save(const char *file_name, const FileContentWriter &write);

//! file_save with the content in memory.
int file_save_bytes(const char *file_name, std::string_view bytes);
