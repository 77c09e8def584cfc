// The plugin's state: the sound as a preset document (presets.h), with the
// nodes and the engine's settings as further keys of its root, so a window
// can load a song's sound as a preset too.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "plugin_controls.h"

namespace cw_lv2 {

//! The document of `sound`, serialised; empty only when libxml2 cannot
//! serialise it.
std::string sound_document(const Sound &sound);

//! The sound a document holds, or nullopt with `fault` (one English
//! sentence, translated) for a document that is not whole: not a preset document, a
//! document type, a key missing, a value out of the controls' ranges or not
//! a number, a node that is not a movable node of the shape.
std::optional<Sound> read_sound_document(const char *data, size_t size, std::string &fault);

} // namespace cw_lv2
