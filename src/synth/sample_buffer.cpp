// The program's sample buffers and the conversion to 16-bit PCM.
#include <glib.h>

#include <cmath>

#include "render.h"

double sample_length = 1.0;
double *render_buffer = nullptr;
int16_t *samples = nullptr;
uint32_t buffer_capacity = 0;
uint64_t sample_count = 0;
uint64_t render_generation = 0;

namespace {
constexpr double pcm_scale = 32768.0;
constexpr int16_t pcm_max = 32767;
constexpr int16_t pcm_min = -32768;
} // namespace

int16_t pcm_from_double(double x)
{
    if (std::isnan(x))
        return 0;
    if (x >= 1.0)
        return pcm_max;
    if (x <= -1.0)
        return pcm_min;
    // Through x + 1, as the frames have always been converted: bits of x finer
    // than x + 1 can hold are dropped before scaling.
    const double v = std::trunc((x + 1.0) * pcm_scale - pcm_scale);
    return v >= pcm_scale ? pcm_max : static_cast<int16_t>(v);
}

uint64_t do_render(Instrument *instrument, int32_t rate)
{
    ++render_generation;
    const double wanted = static_cast<double>(rate) * sample_length;
    // Truncated toward zero; a negative or absurd request is no frames.
    const int32_t m = wanted > 0.0 && wanted < static_cast<double>(INT32_MAX)
                          ? static_cast<int32_t>(wanted)
                          : 0;
    sample_count = static_cast<uint64_t>(m);

    if (static_cast<uint32_t>(m) > buffer_capacity) {
        render_buffer = g_renew(double, render_buffer, m);
        samples = g_renew(int16_t, samples, m);
        buffer_capacity = static_cast<uint32_t>(m);
    }

    const double decay =
        instrument->decay_stop ? static_cast<double>(static_cast<float>(instrument->decay_level))
                               : 0.0;
    const uint64_t n = cw_metal_obj_render(instrument, rate, static_cast<uint64_t>(m),
                                           render_buffer, nullptr, decay);
    sample_count = n;
    if (n == 0)
        return 0;
    for (uint64_t i = 0; i < n; ++i)
        samples[i] = pcm_from_double(render_buffer[i]);
    return n;
}
