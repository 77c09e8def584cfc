// The render loop: build, strike, step once per sample, remove the offset,
// follow the envelope, stop on request or on decay, normalise.
#include "render.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "cw_metal_obj.h"
#include "metal_obj_ptr.h"
#include "cw_metal_obj_fast.h"

namespace {

// The simulation's speed is defined at this rate: `speed` is the step there.
constexpr double reference_rate_hz = 44100.0;
// The running offset's weight halves every 1 / offset_halvings_per_s seconds.
constexpr double offset_halvings_per_s = 5.0;
// Envelope time constant of 1 / envelope_rate_hz = 50 ms.
constexpr double envelope_rate_hz = 20.0;
// Progress is reported only when it has advanced by more than this.
constexpr double progress_step = 0.01;

// 0: the online processors.
int32_t chosen_threads = 0;

} // namespace

MetalObj *build_instrument_object(const Instrument &ins)
{
    switch (ins.type) {
    case TYPE_TUBE:
        return cw_metal_obj_new_tube(ins.tube_height, ins.tube_circumference, ins.tension);
    case TYPE_ROD:
        return cw_metal_obj_new_rod(ins.rod_length, ins.tension);
    case TYPE_PLANE:
        return cw_metal_obj_new_plane(ins.plane_length, ins.plane_width, ins.tension);
    default:
        g_error("%s: instrument type %d is none of the three shapes (render.cpp)", G_STRFUNC,
                ins.type);
    }
}

namespace {

// x for Compression, z for a perpendicular hit.
double &coordinate(MetalObjNode *node, int32_t actuation)
{
    return actuation == ACTUATION_COMPRESSION ? node->x : node->z;
}

// The same choice as a coordinate number of the compiled object.
int32_t axis(int32_t actuation)
{
    return actuation == ACTUATION_COMPRESSION ? CW_METAL_OBJ_X : CW_METAL_OBJ_Z;
}

bool inside(const MetalObj *obj, int32_t node)
{
    return node >= 0 && node < obj->num_nodes;
}

} // namespace

void set_render_threads(int32_t threads)
{
    chosen_threads = std::clamp(threads, 0, render_threads_max);
}

int32_t render_threads()
{
    if (chosen_threads > 0)
        return chosen_threads;
    return std::clamp(static_cast<int32_t>(g_get_num_processors()), 1, render_threads_max);
}

uint64_t cw_metal_obj_render(Instrument *instrument, int32_t rate, uint64_t count,
                             double *buffer, void *user, double decay)
{
    Instrument &ins = *instrument;
    ins.stop = 0;
    ObjPtr obj(build_instrument_object(ins));
    if (!obj)
        return 0;
    if (ins.progress)
        ins.progress(user, 0.0f);

    // The window keeps both nodes on the object; a caller that did not is
    // refused rather than trusted with an out-of-bounds index.
    int32_t sampling = ins.sampling_node;
    if (!inside(obj.get(), sampling) || !inside(obj.get(), ins.actuation_node))
        return 0;

    const double reference = coordinate(obj->nodes[sampling], ins.actuation);
    coordinate(obj->nodes[ins.actuation_node], ins.actuation) += ins.velocity;

    const double r = static_cast<double>(rate);
    const double damp = std::pow(0.5, 1.0 / (r * ins.damping));
    const double a = std::pow(0.5, offset_halvings_per_s / r);
    const double c = 1.0 - envelope_rate_hz / r;

    if (count == 0 || ins.stop)
        return 0;

    // The struck object compiled for the fast stepper, which moves it exactly
    // as cw_metal_obj_perturb would move the records. The records are not
    // stepped, so from here on the object is read through `fast` only.
    FastPtr fast(cw_metal_obj_fast_new(obj.get()));
    if (!fast)
        return 0;
    // The workers live as long as `fast`: a render that ends or is stopped
    // leaves none behind.
    cw_metal_obj_fast_set_threads(fast.get(), render_threads());

    const bool decay_stop = decay < 0.0;
    const float count_f = static_cast<float>(count);
    double offset = 0.0, envelope = 0.0, envelope_max = 0.0, peak = 0.0, level_db = 0.0;
    float reported = 0.0f;
    uint64_t n = 0;

    for (uint64_t i = 0;;) {
        // speed, actuation and sampling_node may change under a running render
        // (the progress callback runs the window's events); a node that left
        // the object is ignored and the last valid one kept.
        const double dt = reference_rate_hz * ins.speed / r;
        cw_metal_obj_fast_perturb(fast.get(), dt, damp);
        if (inside(obj.get(), ins.sampling_node))
            sampling = ins.sampling_node;

        const double v =
            cw_metal_obj_fast_get(fast.get(), sampling, axis(ins.actuation)) - reference;
        offset = (1.0 - a) * v + offset * a;
        const double y = v - offset;
        buffer[i] = y;
        peak = std::max(peak, std::fabs(y));
        envelope = envelope * c + std::fabs(y) * (1.0 - c);
        envelope_max = std::max(envelope_max, envelope);

        const float time_fraction = static_cast<float>(i) / count_f;
        if (decay_stop) {
            if (envelope_max > 0.0)
                level_db = 20.0 * std::log10(envelope / envelope_max);
            if (ins.progress) {
                const float f = std::max(time_fraction, static_cast<float>(level_db / decay));
                if (static_cast<double>(f - reported) > progress_step) {
                    ins.progress(user, f);
                    reported = f;
                }
            }
            if (level_db <= decay) {
                n = i; // this sample is written but not part of the result
                break;
            }
        } else if (ins.progress) {
            if (static_cast<double>(time_fraction - reported) > progress_step) {
                ins.progress(user, time_fraction);
                reported = time_fraction;
            }
        }

        ++i;
        if (i == count || ins.stop) {
            n = i;
            break;
        }
    }

    fast.reset();
    obj.reset();
    if (peak > 0.0) {
        const double s = 1.0 / peak;
        for (uint64_t i = 0; i < n; ++i)
            buffer[i] *= s;
    }
    return ins.stop ? 0 : n;
}
