// The tests' own measure of a partial's frequency, apart from the analysis
// the programs use: the peak of the Hann-windowed spectrum of the whole
// sound, found by a scan a cent apart and a golden-section search.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "render.h"

// `seconds` of the instrument's sound at `rate_hz`, as the render loop gives
// it (shorter when the mesh goes unstable).
inline std::vector<double> rendered_sound(Instrument ins, int32_t rate_hz, double seconds)
{
    std::vector<double> out(static_cast<size_t>(rate_hz * seconds));
    const uint64_t n = cw_metal_obj_render(&ins, rate_hz, out.size(), out.data(), nullptr, 0.0);
    out.resize(n);
    return out;
}

// How far `f` lies from `reference`, in cents.
inline double cents(double f, double reference)
{
    return 1200.0 * std::log2(f / reference);
}

// The power of the Hann-windowed sound at one frequency.
inline double power_at(int32_t rate_hz, const std::vector<double> &x, double hz)
{
    double re = 0.0, im = 0.0;
    const double n = static_cast<double>(x.size());
    const double w = 2.0 * M_PI * hz / rate_hz;
    for (size_t i = 0; i < x.size(); ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / n);
        re += x[i] * hann * std::cos(w * static_cast<double>(i));
        im -= x[i] * hann * std::sin(w * static_cast<double>(i));
    }
    return re * re + im * im;
}

// The frequency of the spectral peak nearest to `near_hz` within 15 cents:
// the local maxima of a scan a cent apart, the nearest refined by a
// golden-section search.
inline double peak_near(int32_t rate_hz, const std::vector<double> &x, double near_hz)
{
    std::vector<double> power;
    for (int c = -16; c <= 16; ++c)
        power.push_back(power_at(rate_hz, x, near_hz * std::exp2(c / 1200.0)));
    int best = 0;
    bool found = false;
    for (int i = 1; i + 1 < static_cast<int>(power.size()); ++i) {
        const int c = i - 16;
        if (power[i] > power[i - 1] && power[i] >= power[i + 1] &&
            (!found || std::abs(c) < std::abs(best))) {
            best = c;
            found = true;
        }
    }
    if (!found)
        return 0.0;
    double lo = near_hz * std::exp2((best - 1) / 1200.0), hi = near_hz * std::exp2((best + 1) / 1200.0);
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    for (int i = 0; i < 30; ++i) {
        const double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
        if (power_at(rate_hz, x, a) > power_at(rate_hz, x, b))
            hi = b;
        else
            lo = a;
    }
    return 0.5 * (lo + hi);
}

