#include "instrument.h"

Instrument instrument_defaults()
{
    Instrument ins{};
    ins.type = TYPE_TUBE;
    ins.decay_stop = 0;
    ins.decay_level = -50.0;
    ins.tube_height = 10;
    ins.tube_circumference = 5;
    ins.rod_length = 5;
    ins.plane_length = 7;
    ins.plane_width = 9;
    ins.actuation_node = 7;
    ins.sampling_node = 40;
    ins.tension = 4.0;
    ins.speed = 0.2;
    ins.damping = 0.05;
    ins.actuation = ACTUATION_COMPRESSION;
    ins.velocity = 1.0;
    ins.stop = 0;
    ins.progress = nullptr;
    return ins;
}

int32_t instrument_node_count(const Instrument &ins)
{
    switch (ins.type) {
    case TYPE_TUBE:
        return ins.tube_height * ins.tube_circumference;
    case TYPE_ROD:
        return ins.rod_length;
    case TYPE_PLANE:
        return ins.plane_length * ins.plane_width;
    default:
        return 0;
    }
}

int32_t instrument_reset_actuation_node(const Instrument &ins)
{
    switch (ins.type) {
    case TYPE_TUBE:
        return ins.tube_circumference + ins.tube_circumference / 2;
    default:
        return 1;
    }
}

int32_t instrument_reset_sampling_node(const Instrument &ins)
{
    switch (ins.type) {
    case TYPE_TUBE:
        return (ins.tube_height - 2) * ins.tube_circumference;
    case TYPE_ROD:
        return ins.rod_length - 2;
    case TYPE_PLANE:
        return (ins.plane_length - 1) * ins.plane_width - 1;
    default:
        return 0;
    }
}

bool instrument_node_is_movable(const Instrument &ins, int32_t node)
{
    switch (ins.type) {
    case TYPE_TUBE: {
        const int32_t c = ins.tube_circumference;
        return node >= c && node < (ins.tube_height - 1) * c;
    }
    case TYPE_ROD:
        return node >= 1 && node <= ins.rod_length - 2;
    case TYPE_PLANE: {
        const int32_t w = ins.plane_width, n = ins.plane_length * w;
        return node >= 0 && node < n && node != 0 && node != w - 1 && node != n - w &&
               node != n - 1;
    }
    default:
        return false;
    }
}

int32_t instrument_mirror_node(const Instrument &ins, int32_t node)
{
    switch (ins.type) {
    case TYPE_TUBE: {
        const int32_t c = ins.tube_circumference;
        const int32_t ring = node / c, k = node % c;
        return (ins.tube_height - 1 - ring) * c + (k + c / 2) % c;
    }
    case TYPE_ROD:
        return ins.rod_length - 1 - node;
    default: {
        const int32_t w = ins.plane_width;
        const int32_t row = node / w, col = node % w;
        return (ins.plane_length - 1 - row) * w + (w - 1 - col);
    }
    }
}
