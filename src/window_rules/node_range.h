// The node rules of the parameter widgets, without widgets: which node
// numbers the spin buttons of a shape accept, and where a plane's corner
// skip sends a typed or stepped number.
#pragma once

#include <cstdint>

#include "instrument.h"

//! Lowest and highest movable node of the current shape of `ins`:
//! tube c..(h-1)*c-1, rod 1..n-2, plane 1..L*W-2.
struct NodeRange {
    int32_t lower;
    int32_t upper;
};
NodeRange node_range(const Instrument &ins);

//! True when `node` is one of the plane's two corners inside its range
//! (W-1 and (L-1)*W), which the node spin buttons step over.
bool plane_node_is_skipped(const Instrument &ins, int32_t node);

//! Where a spin button showing the skipped corner `node` goes: one past it
//! when the field held less (counting up), one before it otherwise.
int32_t plane_corner_skip_target(int32_t node, int32_t field_value);
