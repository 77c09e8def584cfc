// The tests' own look at a sound's body, apart from the analysis the
// programs use: the strongest peak of the Hann-windowed spectrum of the
// sound from some time on, refined by a scan a cent apart.
#pragma once

#include <fftw3.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "partial_probe.h"

// The sound from `from_s` on.
inline std::vector<double> body_of(const std::vector<double> &x, int32_t rate_hz, double from_s)
{
    const auto from = std::min(x.size(), static_cast<size_t>(from_s * rate_hz));
    return std::vector<double>(x.begin() + static_cast<std::ptrdiff_t>(from), x.end());
}

// The frequency of the strongest peak of the body's spectrum between 20 Hz
// and 0.45 of the rate; 0 for silence.
inline double strongest_in_body(int32_t rate_hz, const std::vector<double> &body)
{
    size_t n = 1;
    while (n < 4 * body.size())
        n <<= 1;
    double *in = fftw_alloc_real(n);
    fftw_complex *out = fftw_alloc_complex(n / 2 + 1);
    const fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_ESTIMATE);
    for (size_t i = 0; i < n; ++i)
        in[i] = i < body.size()
                    ? body[i] * (0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) /
                                                      static_cast<double>(body.size())))
                    : 0.0;
    fftw_execute(plan);
    const double bin_hz = static_cast<double>(rate_hz) / static_cast<double>(n);
    size_t best = 0;
    double best_power = 0.0;
    for (size_t k = static_cast<size_t>(20.0 / bin_hz); k < 0.45 * rate_hz / bin_hz; ++k) {
        const double p = out[k][0] * out[k][0] + out[k][1] * out[k][1];
        if (p > best_power) {
            best_power = p;
            best = k;
        }
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    if (best == 0)
        return 0.0;
    const double refined = peak_near(rate_hz, body, static_cast<double>(best) * bin_hz);
    return refined > 0.0 ? refined : static_cast<double>(best) * bin_hz;
}

// The power of the body's spectral peak nearest `hz` against its strongest
// peak, in dB (0 for the strongest itself).
inline double level_in_body_db(int32_t rate_hz, const std::vector<double> &body, double hz)
{
    const double strongest = strongest_in_body(rate_hz, body);
    return 10.0 * std::log10(power_at(rate_hz, body, hz) / power_at(rate_hz, body, strongest));
}
