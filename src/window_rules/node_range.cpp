#include "node_range.h"

NodeRange node_range(const Instrument &ins)
{
    switch (ins.type) {
    case TYPE_TUBE:
        return {ins.tube_circumference, (ins.tube_height - 1) * ins.tube_circumference - 1};
    case TYPE_ROD:
        return {1, ins.rod_length - 2};
    case TYPE_PLANE:
        return {1, ins.plane_length * ins.plane_width - 2};
    default:
        return {0, 0};
    }
}

bool plane_node_is_skipped(const Instrument &ins, int32_t node)
{
    return ins.type == TYPE_PLANE &&
           (node == ins.plane_width - 1 || node == (ins.plane_length - 1) * ins.plane_width);
}

int32_t plane_corner_skip_target(int32_t node, int32_t field_value)
{
    return field_value < node ? node + 1 : node - 1;
}
