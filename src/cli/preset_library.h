// The preset library installed with the program: <prefix>/share/clangwright/
// presets/<group>/<name>.cwrp. A name that ends in a note ("tubular-bell-C5")
// was tuned so that a strong partial of the sound lies on that note.
#pragma once

#include <string>
#include <vector>

#include "presets.h"

//! One preset of the library.
struct LibraryPreset {
    std::string name;  // the file name without ".cwrp"
    std::string group; // the folder it is in ("bells", "plates", ...)
    std::string shape; // "tube", "rod" or "plane"; empty when the file is no preset
    std::string note;  // the note the name ends in; empty when it ends in none
    std::string file;  // the file's path
};

//! The installed library's folder, below the prefix this program runs from.
std::string preset_library_folder();

//! The note `name` ends in after its last '-' ("chime-C#6" gives "C#6"), in
//! scientific pitch notation with octaves 0 to 9; empty when it ends in none.
std::string note_of_name(const std::string &name);

//! Every preset one folder below `folder`, sorted by group and then by name;
//! empty when the folder cannot be read. Each file is read for its shape.
std::vector<LibraryPreset> list_library(const std::string &folder);

//! The file that --preset `given` loads: `given` itself when something by
//! that name exists or it has a folder or the ".cwrp" extension; else the
//! preset of the library below `folder` with that name; else `given`, so
//! that its load fails with the usual message.
std::string resolve_preset(const std::string &given, const std::string &folder);

//! Loads --preset `given` (a file, or a name of the installed library as
//! resolve_preset finds it) into `instrument` as the window loads a preset:
//! sizes clamped to the window's ranges, the nodes on the shape's reset
//! values. Anything but PRES_LOADED comes with one line in `message`; an
//! unreadable preset is not applied.
PresLoadResult load_named_preset(const std::string &given, Instrument &instrument,
                                 std::string &message);

//! The library as a table for a terminal, a header line and one line each.
std::string library_text(const std::vector<LibraryPreset> &presets);

//! The library as JSON: one object per preset and line with "name",
//! "group", "shape", "note" (null when none) and "file".
std::string library_json(const std::vector<LibraryPreset> &presets);
