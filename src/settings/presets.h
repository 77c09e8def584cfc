// Preset files: the shape, its sizes and the physics of an Instrument, kept in
// a property document with root "cwrp" (earlier versions: "cwrinstr"), every
// key a direct child of the root:
//   type (string "tube"/"rod"/"plane"), height + circumference (tube),
//   length (rod), length + width (plane), tension, speed, damping (double),
//   actuation (int), velocity (double).
// Nodes, the decay stop and the sample length are not stored.
#pragma once

#include <string>

#include "instrument.h"
#include "xml_property_store.h"

//! Root element and version of a preset document (earlier versions' root:
//! "cwrinstr").
constexpr const char *pres_root_name = "cwrp";
constexpr const char *pres_version = "0.1.0";

//! The preset document of the sound fields of `ins`, as save_pres writes it
//! to `file_name`; other front ends (a plugin's state) add keys of their own.
XmlpDocHandle pres_document(const Instrument &ins, const char *file_name);

//! Reads the sound fields of a preset document into `*ins` as
//! load_pres_result reads a file: the shape and every value found. False
//! when a value is missing.
bool pres_read_document(const XmlpDoc &doc, Instrument *ins);

//! Writes the sound fields of `*ins` to `file_name` as a new preset document
//! (an existing file is replaced, not read), saved as xmlp_sync saves. A file
//! action: 0 on success; on failure `message` is "Could not write file %s"
//! with the path, and the result the system error number (EACCES, ENOENT,
//! ENOSPC, ...), so the dialog adds a colon and the system's text, or -1 when
//! the failure has none. A file that can be replaced atomically is left as it
//! was by a failed save.
int save_pres(Instrument *ins, const char *file_name, std::string &message);

//! What a preset load came to.
enum PresLoadResult {
    PRES_LOADED = 0,     // every value found
    PRES_INCOMPLETE = 1, // values present were applied, some were missing
    PRES_UNREADABLE = 2, // not a preset; the Instrument is untouched
};

//! Reads a preset (current or earlier version) into `*ins`: the shape and
//! every value found are stored as they are read, missing ones leave their
//! fields unchanged, and nothing is compared with the window's ranges. Sets
//! `message` to "Incorrect or incomplete presets file. Some values may be
//! missing." for PRES_INCOMPLETE and to "Could not open file %s, not a CWR
//! presets or parsing error" for PRES_UNREADABLE.
PresLoadResult load_pres_result(Instrument *ins, const char *file_name, std::string &message);

//! load_pres_result as a file action: 0 when every value was found, else -1
//! with the message set.
int load_pres(Instrument *ins, const char *file_name, std::string &message);

//! Brings a loaded Instrument inside what the window can show, as setting the
//! widgets after a load does: the sizes of the shape `type` selects are
//! clamped to their spin buttons' ranges, tension, speed, damping and velocity
//! to their sliders' ranges (a value that is not a number goes to the lower
//! bound), and `actuation` to its two choices. Other shapes' sizes, the nodes
//! and the decay fields are left alone. `type` must be a shape.
void clamp_pres(Instrument *ins);

//! Puts both nodes on the reset values of the current shape and sizes (as a
//! size change in the window does): tube c + c/2 and (h-2)*c, rod 1 and n-2,
//! plane 1 and (L-1)*W-1. Call after clamp_pres, so the nodes are movable.
void reset_pres_nodes(Instrument *ins);

//! clamp_pres then reset_pres_nodes: the Instrument as the window leaves it
//! after loading a preset into a view that showed other sizes. The window
//! keeps the shown nodes when a loaded size equals the one already shown;
//! a headless renderer, which shows nothing, always resets them.
void apply_loaded_pres(Instrument *ins);
