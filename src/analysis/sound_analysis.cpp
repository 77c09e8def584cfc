// The analysis of a sound.
//
// A struck object starts abruptly and then decays, each partial at its own
// rate. So the spectrum is taken over the whole sound from its onset on, with
// the falling half of a Blackman-Harris window: a window that rose from zero
// would hide the partials that die away quickly, while the sound's own start
// is a step the window cannot remove anyway. The falling half ends the sound
// smoothly, so a partial still ringing at the end leaks no more than the
// strike itself does.
//
// Every peak of that spectrum is a candidate partial. Each candidate is then
// followed through the sound by demodulation at its frequency in overlapping
// Blackman-Harris frames, just long enough to keep its neighbours out; a line
// fitted to the frames' levels in dB gives its level at the onset and its
// decay rate, and the frames' phase advance refines its frequency.
#include "sound_analysis.h"

#include "partial_tracks.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <limits>
#include <map>
#include <numbers>

namespace {

constexpr double full_scale = 32768.0;

// Which peaks are partials.
constexpr double partial_low_hz = 20.0;
constexpr double partial_high_fraction = 0.45; // of the rate
constexpr double partial_range_db = 40.0;      // below the strongest
constexpr size_t partial_count_max = 32;
constexpr double lowest_range_db = 30.0;

// The body of the sound, where the ear hears its pitch: from 0.3 s after the
// onset on, or from a quarter of a shorter sound; a body shorter than 50 ms
// is not measured on its own.
constexpr double body_start_max_s = 0.3;
constexpr double body_start_fraction = 0.25;
constexpr double body_min_s = 0.05;
// A body more than this below the strike's peak is its tail, not a body.
constexpr double body_range_db = 60.0;
// Or later, once the loud partials have settled within this of where they
// end, but no later than this fraction of the sound.
constexpr double settle_cents = 6.0;
constexpr double body_latest_fraction = 0.6;
// A partial measured over the body within this of one already found is
// that one.
constexpr double same_cents = 5.0;
// A glide is told from its track beyond this, for partials of at least
// this many of the track's bins.
constexpr double glide_min_cents = 10.0;
constexpr double reliable_bins = 8.0;
// A partial's level at the onset, from its decay over the body, is borne out
// by what its frames heard before the body up to 3 dB above them.
const double onset_cap = std::sqrt(2.0);

// The onset: the first frame within 40 dB of the peak. Quieter frames before
// it (a fade-in, noise before the strike) are not the sound yet.
constexpr double onset_below_peak = 0.01;

// The spectrum: zero-padded to at least twice the sound (and at least 2^16
// points for short sounds), so that three points of the padded spectrum lie
// on every peak for the interpolation.
constexpr size_t spectrum_padding = 2;
constexpr size_t spectrum_points_min = size_t{1} << 16;

// Candidates are ranked by an estimate of their onset level taken from the
// spectrum, which is rough for fast decays: 20 dB more than the partials'
// range are kept, and no more than can be followed in good time.
constexpr double candidate_range_db = partial_range_db + 20.0;
constexpr size_t candidate_count_max = 48;
// Peaks lower than this below the highest are not candidates at all.
constexpr double peak_floor_db = 110.0;
constexpr size_t lowest_candidates = 8;

// Following a partial: frames long enough that the nearest other candidate
// (or the partial's mirror image below 0 Hz) lies 6 bins away, outside the
// window's main lobe (4 bins wide on each side). At least 2 ms, at most
// half a second.
constexpr double frame_separation_bins = 6.0;
constexpr double frame_min_s = 0.002;
constexpr double frame_max_s = 0.5;
constexpr size_t frame_min_samples = 16;
// The fit takes the frames within 40 dB of the partial's loudest frame; the
// following stops 50 dB down, where nothing more is fitted.
constexpr double fit_range_db = 40.0;
constexpr double follow_range_db = 50.0;
// A partial is steady when its frequency stays within this of where it
// settles over its loudest frames, measured a few frames and at least a
// tenth of a second at a time (short frames hear the partials around a
// quiet one too).
constexpr double steady_cents = 5.0;
constexpr double steady_range_db = 20.0;
constexpr size_t steady_span = 4;
constexpr double steady_span_s = 0.1;
// A decay that falls less than this over the sound gives no T60.
constexpr double t60_fall_min_db = 20.0;
constexpr double t60_db = 60.0;

// The overall envelope: RMS over 10 ms frames.
constexpr double envelope_frame_s = 0.01;

// Pictures.
constexpr size_t wave_columns = 2048;
constexpr size_t spectrum_steps = 1024;
constexpr double spectrum_picture_low_hz = 20.0;
constexpr float spectrum_floor_db = -200.0f;

constexpr double pi = std::numbers::pi;

// The 4-term Blackman-Harris window (Harris 1978): sidelobes below -92 dB,
// main lobe 4 bins on each side.
constexpr double bh0 = 0.35875, bh1 = 0.48829, bh2 = 0.14128, bh3 = 0.01168;

double db_of(double amplitude)
{
    return 20.0 * std::log10(amplitude);
}

// Blackman-Harris from cos(theta), theta running over 0 .. 2 pi.
double blackman_harris_of_cos(double c)
{
    // cos 2t = 2c^2 - 1, cos 3t = c (4c^2 - 3)
    const double c2 = 2.0 * c * c - 1.0;
    const double c3 = c * (4.0 * c * c - 3.0);
    return bh0 - bh1 * c + bh2 * c2 - bh3 * c3;
}

// The falling half of a Blackman-Harris window of length 2m: 1 at n = 0 and
// near 0 at n = m. The cosines come from a rotation, started afresh at
// regular steps so rounding cannot build up over a long sound.
void falling_half_window(std::span<const double> x, double *out)
{
    const size_t m = x.size();
    constexpr size_t restart_every = 1024;
    const double step = pi / static_cast<double>(m);
    const std::complex<double> turn(std::cos(step), std::sin(step));
    std::complex<double> z;
    for (size_t n = 0; n < m; ++n) {
        if (n % restart_every == 0) {
            const double a = step * static_cast<double>(n);
            z = {std::cos(a), std::sin(a)};
        }
        // The window's right half: theta = pi + pi n / m, cos theta = -Re z.
        out[n] = x[n] * blackman_harris_of_cos(-z.real());
        z *= turn;
    }
}

size_t next_power_of_two(size_t n)
{
    size_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

struct Peak {
    double freq_hz;
    double magnitude; // interpolated height
    double score;     // height times width: ranks by onset level
};

// Local maxima of the magnitude spectrum between lo and hi (bin indexes),
// with their heights and frequencies interpolated by a parabola through the
// logarithms of three points.
std::vector<Peak> find_peaks(const std::vector<double> &mag, size_t lo, size_t hi, double bin_hz)
{
    std::vector<Peak> peaks;
    lo = std::max<size_t>(lo, 1);
    hi = std::min(hi, mag.size() - 2);
    // Far below the highest peak lies only the noise of the 16-bit frames,
    // whose countless little peaks would only be ranked to be dropped.
    double highest = 0.0;
    for (size_t k = lo; k <= hi; ++k)
        highest = std::max(highest, mag[k]);
    const double floor = highest * std::pow(10.0, -peak_floor_db / 20.0);
    for (size_t k = lo; k <= hi; ++k) {
        const double b = mag[k];
        if (!(b > mag[k - 1] && b >= mag[k + 1]) || b < floor)
            continue;
        const double la = std::log(std::max(mag[k - 1], std::numeric_limits<double>::min()));
        const double lb = std::log(b);
        const double lc = std::log(std::max(mag[k + 1], std::numeric_limits<double>::min()));
        const double denominator = la - 2.0 * lb + lc;
        const double p = denominator < 0.0 ? 0.5 * (la - lc) / denominator : 0.0;
        const double height = std::exp(lb - 0.25 * (la - lc) * p);

        // The width where the peak has fallen to half its power, or to the
        // valley next to it. A partial that dies fast is low and wide; one
        // that rings on is high and narrow: height times width follows the
        // onset amplitude in both cases.
        const double half = height * std::numbers::sqrt2 / 2.0;
        size_t left = k, right = k;
        while (left > 1 && mag[left - 1] >= half && mag[left - 1] <= mag[left])
            --left;
        while (right + 2 < mag.size() && mag[right + 1] >= half && mag[right + 1] <= mag[right])
            ++right;
        const double width = static_cast<double>(right - left + 1);
        peaks.push_back({(static_cast<double>(k) + p) * bin_hz, height, height * width});
    }
    return peaks;
}

struct Fit {
    double onset_db;   // level at the onset, dB of full scale
    double slope_db_s; // dB per second, negative for a decay
    bool decays;       // the slope was fitted and is negative
};

// Least squares line through (t, y).
void fit_line(const std::vector<double> &t, const std::vector<double> &y, size_t count,
              double &intercept, double &slope)
{
    double st = 0, sy = 0;
    for (size_t i = 0; i < count; ++i) {
        st += t[i];
        sy += y[i];
    }
    const double n = static_cast<double>(count);
    const double mt = st / n, my = sy / n;
    double stt = 0, sty = 0;
    for (size_t i = 0; i < count; ++i) {
        stt += (t[i] - mt) * (t[i] - mt);
        sty += (t[i] - mt) * (y[i] - my);
    }
    slope = stt > 0.0 ? sty / stt : 0.0;
    intercept = my - slope * mt;
}

// Sum of x[n] * w[n] * e^(-i omega n) over one frame, four partial sums at a
// time (a fixed order, so the result does not depend on the compiler).
// Two of the partial sums at a time in a vector: the same operations in the
// same order as one at a time, so the same bits, twice as fast.
using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double *p)
{
    Pair v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

std::complex<double> frame_sum(const double *x, const double *wc, const double *ws, size_t length)
{
    Pair re01 = {0.0, 0.0}, re23 = {0.0, 0.0}, im01 = {0.0, 0.0}, im23 = {0.0, 0.0};
    size_t n = 0;
    for (; n + 4 <= length; n += 4) {
        const Pair x01 = load_pair(x + n), x23 = load_pair(x + n + 2);
        re01 += x01 * load_pair(wc + n);
        re23 += x23 * load_pair(wc + n + 2);
        im01 += x01 * load_pair(ws + n);
        im23 += x23 * load_pair(ws + n + 2);
    }
    double re[4] = {re01[0], re01[1], re23[0], re23[1]};
    double im[4] = {im01[0], im01[1], im23[0], im23[1]};
    for (; n < length; ++n) {
        re[0] += x[n] * wc[n];
        im[0] += x[n] * ws[n];
    }
    return {(re[0] + re[1]) + (re[2] + re[3]), -((im[0] + im[1]) + (im[2] + im[3]))};
}

struct Followed {
    double freq_hz;
    double onset_amplitude; // full scale 1
    std::optional<double> t60_s;
    double slope_db_s = 0.0; // of the fitted decay; 0 when steady or growing
    //! Its frequency held within steady_cents over its loudest 20 dB.
    bool steady = true;
};

// The symmetric Blackman-Harris window of each frame length in use.
class WindowCache {
public:
    const std::vector<double> &get(size_t length)
    {
        std::vector<double> &w = windows_[length];
        if (w.empty()) {
            w.resize(length, 1.0);
            if (length < 2)
                return w;
            // Symmetric: the first half mirrored; the cosines from a rotation,
            // started afresh at regular steps so rounding cannot build up.
            constexpr size_t restart_every = 1024;
            const double step = 2.0 * pi / static_cast<double>(length - 1);
            const std::complex<double> turn(std::cos(step), std::sin(step));
            std::complex<double> z;
            for (size_t n = 0; n < (length + 1) / 2; ++n) {
                if (n % restart_every == 0) {
                    const double a = step * static_cast<double>(n);
                    z = {std::cos(a), std::sin(a)};
                }
                w[n] = w[length - 1 - n] = blackman_harris_of_cos(z.real());
                z *= turn;
            }
        }
        return w;
    }

private:
    std::map<size_t, std::vector<double>> windows_;
};

// Whether the partial's frequency stays within steady_cents of `freq_hz`
// over its loudest frames: the phase advance over a span of frames at a
// time (one frame's advance is noisy for a quiet partial) gives its
// frequency there.
bool holds_frequency(const std::vector<std::complex<double>> &sums,
                     const std::vector<double> &levels, size_t count, double loudest_db,
                     double omega, size_t hop, double rate, double freq_hz)
{
    const size_t span =
        std::max(steady_span, static_cast<size_t>(steady_span_s * rate / static_cast<double>(hop)));
    for (size_t i = 1; i + span <= count; ++i) {
        if (levels[i] < loudest_db - steady_range_db)
            continue;
        std::complex<double> advance = 0.0;
        for (size_t j = i; j < i + span; ++j)
            advance += sums[j] * std::conj(sums[j - 1]);
        if (!(std::abs(advance) > 0.0))
            continue;
        const double beyond =
            std::arg(advance * std::polar(1.0, -omega * static_cast<double>(hop)));
        const double carrier_hz = omega * rate / (2.0 * pi);
        const double local_hz = carrier_hz + beyond / (2.0 * pi * static_cast<double>(hop)) * rate;
        if (!(local_hz > 0.0) || std::abs(1200.0 * std::log2(local_hz / freq_hz)) > steady_cents)
            return false;
    }
    return true;
}

// Follows one partial at `freq_hz` through x (which starts at the onset) in
// frames of `window.size()` samples and fits its decay.
Followed follow_partial(std::span<const double> x, double rate, double freq_hz,
                        const std::vector<double> &window)
{
    const size_t length = window.size();
    const size_t hop = std::max<size_t>(length / 2, 1);
    const double omega = 2.0 * pi * freq_hz / rate;

    // The window with the demodulating carrier folded in; the carrier from a
    // rotation, started afresh at regular steps.
    std::vector<double> wc(length), ws(length);
    double window_sum = 0.0;
    {
        constexpr size_t restart_every = 1024;
        const std::complex<double> turn(std::cos(omega), std::sin(omega));
        std::complex<double> carrier;
        for (size_t n = 0; n < length; ++n) {
            if (n % restart_every == 0) {
                const double a = omega * static_cast<double>(n);
                carrier = {std::cos(a), std::sin(a)};
            }
            window_sum += window[n];
            wc[n] = window[n] * carrier.real();
            ws[n] = window[n] * carrier.imag();
            carrier *= turn;
        }
    }
    // A steady sinusoid of amplitude A gives |sum| = A / 2 * window_sum.
    const double to_amplitude = 2.0 / window_sum;
    const double centre = static_cast<double>(length - 1) / 2.0;
    const double centre_s = centre / rate;

    std::vector<double> times, levels;
    std::vector<std::complex<double>> sums;
    double loudest_db = -std::numeric_limits<double>::infinity();
    for (size_t start = 0; start + length <= x.size(); start += hop) {
        const std::complex<double> s = frame_sum(x.data() + start, wc.data(), ws.data(), length);
        const double amplitude = std::abs(s) * to_amplitude;
        if (amplitude <= 0.0)
            break; // digital silence: nothing more to follow
        const double level = db_of(amplitude);
        loudest_db = std::max(loudest_db, level);
        if (level < loudest_db - follow_range_db)
            break;
        times.push_back(static_cast<double>(start) / rate + centre_s);
        levels.push_back(level);
        sums.push_back(s);
    }
    if (levels.empty())
        return {freq_hz, 0.0, std::nullopt, 0.0, true};

    // The frames up to the last one within the fit's range.
    size_t count = levels.size();
    while (count > 1 && levels[count - 1] < loudest_db - fit_range_db)
        --count;

    // The phase each frame advances beyond the carrier's is the distance of
    // the partial from freq_hz; the weighted mean over the fitted frames
    // refines the frequency. Beyond a quarter of the window's main lobe the
    // carrier is not on the partial, and the spectrum's value stays.
    std::complex<double> advance = 0.0;
    for (size_t i = 1; i < count; ++i)
        advance += sums[i] * std::conj(sums[i - 1]);
    double refined_hz = freq_hz;
    if (std::abs(advance) > 0.0) {
        // Frame sums start on the carrier's phase 0 at their own first
        // sample: a partial at omega_p advances by omega_p * hop from frame
        // to frame, of which omega * hop is the carrier's.
        const double beyond =
            std::arg(advance * std::polar(1.0, -omega * static_cast<double>(hop)));
        const double delta_hz = beyond / (2.0 * pi * static_cast<double>(hop)) * rate;
        if (std::abs(delta_hz) < rate / static_cast<double>(length))
            refined_hz = freq_hz + delta_hz;
    }
    const bool steady = holds_frequency(sums, levels, count, loudest_db, omega, hop, rate, refined_hz);

    double intercept = levels[0], slope = 0.0;
    if (count >= 2)
        fit_line(times, levels, count, intercept, slope);
    if (!(slope < 0.0)) {
        // Steady or growing: its level is the frames' mean level.
        double sum = 0.0;
        for (size_t i = 0; i < count; ++i)
            sum += levels[i];
        return {refined_hz, std::pow(10.0, sum / static_cast<double>(count) / 20.0), std::nullopt,
                0.0, steady};
    }

    // A frame of a decaying partial weighs its early, louder part by the
    // window: it reads the level at its centre too high by the window's
    // mean of the decay, which the fitted rate gives exactly.
    // Summed as e^(d c) times the sum of w[n] e^(-d n), in logarithms, so
    // that no term overflows however fast the decay.
    const double decay_per_sample = -slope / rate * std::numbers::ln10 / 20.0;
    const double fall = std::exp(-decay_per_sample);
    double decay = 1.0, weighted = 0.0;
    for (size_t n = 0; n < length; ++n) {
        weighted += window[n] * decay;
        decay *= fall;
    }
    const double log_mean_decay = decay_per_sample * centre + std::log(weighted / window_sum);
    const double onset_db = intercept - 20.0 * std::numbers::log10e * log_mean_decay;

    const double sound_s = static_cast<double>(x.size()) / rate;
    std::optional<double> t60;
    if (-slope * sound_s >= t60_fall_min_db)
        t60 = t60_db / -slope;
    return {refined_hz, std::pow(10.0, onset_db / 20.0), t60, slope, steady};
}

// Frame length for following a partial at f whose nearest other candidate is
// `gap_hz` away.
size_t frame_length(double rate, double f, double gap_hz, size_t available)
{
    // The mirror image at -f and the one at rate - f are neighbours too.
    const double gap = std::min({gap_hz, 2.0 * f, rate - 2.0 * f});
    const double wanted = frame_separation_bins * rate / gap;
    const double lo = std::max(frame_min_s * rate, static_cast<double>(frame_min_samples));
    const double hi = frame_max_s * rate;
    auto length = static_cast<size_t>(std::clamp(wanted, lo, hi));
    return std::min(length, available);
}

std::optional<double> overall_t60(std::span<const double> x, double rate)
{
    const auto frame = std::max<size_t>(static_cast<size_t>(envelope_frame_s * rate), 1);
    std::vector<double> times, levels;
    for (size_t start = 0; start + frame <= x.size(); start += frame) {
        double energy = 0.0;
        for (size_t n = start; n < start + frame; ++n)
            energy += x[n] * x[n];
        const double rms = std::sqrt(energy / static_cast<double>(frame));
        times.push_back((static_cast<double>(start) + static_cast<double>(frame) / 2.0) / rate);
        levels.push_back(rms > 0.0 ? db_of(rms) : -std::numeric_limits<double>::infinity());
    }
    if (levels.size() < 2)
        return std::nullopt;
    const size_t loudest =
        static_cast<size_t>(std::max_element(levels.begin(), levels.end()) - levels.begin());
    // From the loudest frame to the first one 40 dB below it.
    std::vector<double> t, y;
    for (size_t i = loudest; i < levels.size(); ++i) {
        if (levels[i] < levels[loudest] - fit_range_db)
            break;
        t.push_back(times[i]);
        y.push_back(levels[i]);
    }
    if (t.size() < 2)
        return std::nullopt;
    double intercept = 0.0, slope = 0.0;
    fit_line(t, y, t.size(), intercept, slope);
    const double remaining_s = static_cast<double>(x.size()) / rate - times[loudest];
    if (!(slope < 0.0) || -slope * remaining_s < t60_fall_min_db)
        return std::nullopt;
    return t60_db / -slope;
}

WavePicture wave_picture(std::span<const int16_t> frames)
{
    WavePicture picture;
    if (frames.empty())
        return picture;
    const size_t columns = std::min(wave_columns, frames.size());
    picture.low.resize(columns);
    picture.high.resize(columns);
    for (size_t c = 0; c < columns; ++c) {
        const size_t begin = c * frames.size() / columns;
        const size_t end = (c + 1) * frames.size() / columns;
        int lo = frames[begin], hi = frames[begin];
        for (size_t n = begin; n < end; ++n) {
            lo = std::min<int>(lo, frames[n]);
            hi = std::max<int>(hi, frames[n]);
        }
        picture.low[c] = static_cast<float>(lo / full_scale);
        picture.high[c] = static_cast<float>(hi / full_scale);
    }
    return picture;
}

SpectrumPicture spectrum_picture(const std::vector<double> &mag, double bin_hz, double rate)
{
    SpectrumPicture picture;
    picture.low_hz = spectrum_picture_low_hz;
    picture.high_hz = rate / 2.0;
    if (picture.high_hz <= picture.low_hz || mag.size() < 2)
        return picture;
    const double ratio = std::pow(picture.high_hz / picture.low_hz, 1.0 / spectrum_steps);
    std::vector<double> level(spectrum_steps);
    double highest = 0.0;
    for (size_t i = 0; i < spectrum_steps; ++i) {
        const double f0 = picture.low_hz * std::pow(ratio, static_cast<double>(i));
        const double f1 = f0 * ratio;
        const auto k0 = static_cast<size_t>(std::ceil(f0 / bin_hz));
        const auto k1 = std::min(static_cast<size_t>(std::ceil(f1 / bin_hz)), mag.size());
        double value = 0.0;
        if (k0 < k1) {
            value = *std::max_element(mag.begin() + static_cast<std::ptrdiff_t>(k0),
                                      mag.begin() + static_cast<std::ptrdiff_t>(k1));
        } else {
            // A step narrower than a bin: between the two bins around it.
            const double at = f0 / bin_hz;
            const auto k = std::min(static_cast<size_t>(at), mag.size() - 2);
            const double frac = at - static_cast<double>(k);
            value = mag[k] * (1.0 - frac) + mag[k + 1] * frac;
        }
        level[i] = value;
        highest = std::max(highest, value);
    }
    picture.level_db.resize(spectrum_steps);
    for (size_t i = 0; i < spectrum_steps; ++i)
        picture.level_db[i] =
            level[i] > 0.0 && highest > 0.0
                ? std::max(static_cast<float>(db_of(level[i] / highest)), spectrum_floor_db)
                : spectrum_floor_db;
    return picture;
}

double peaks_lowest(const std::vector<Peak> &peaks)
{
    double lowest = std::numeric_limits<double>::infinity();
    for (const Peak &p : peaks)
        lowest = std::min(lowest, p.freq_hz);
    return lowest;
}

// The candidate partials of x (which starts at its onset): the peaks of its
// spectrum, the loudest first, with the spectrum's picture when asked.
std::vector<Peak> candidates(std::span<const double> x, double rate, FftPlans &plans,
                             SpectrumPicture *picture)
{
    const size_t points =
        next_power_of_two(std::max(spectrum_padding * x.size(), spectrum_points_min));
    double *const in = plans.reals(points);
    fftw_complex *const out = plans.complexes(points / 2 + 1);
    falling_half_window(x, in);
    std::fill(in + x.size(), in + points, 0.0);
    plans.forward(points, in, out);
    std::vector<double> &mag = plans.magnitudes();
    mag.resize(points / 2 + 1);
    for (size_t k = 0; k < mag.size(); ++k)
        mag[k] = std::sqrt(out[k][0] * out[k][0] + out[k][1] * out[k][1]);
    const double bin_hz = rate / static_cast<double>(points);
    if (picture)
        *picture = spectrum_picture(mag, bin_hz, rate);

    std::vector<Peak> peaks =
        find_peaks(mag, static_cast<size_t>(std::ceil(partial_low_hz / bin_hz)),
                   static_cast<size_t>(partial_high_fraction * rate / bin_hz), bin_hz);
    // Only the first few by score are wanted, in order.
    const size_t top = std::min(peaks.size(), candidate_count_max);
    std::partial_sort(peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(top), peaks.end(),
                      [](const Peak &a, const Peak &b) { return a.score > b.score; });
    const double score_floor =
        peaks.empty() ? 0.0 : peaks[0].score * std::pow(10.0, -candidate_range_db / 20.0);
    size_t count = 0;
    while (count < peaks.size() && count < candidate_count_max &&
           peaks[count].score >= score_floor)
        ++count;
    // The lowest peaks too, where many equal partials fill the list with
    // higher ones: a wire's fundamental must not be left out.
    std::vector<Peak> low(peaks.begin() + static_cast<std::ptrdiff_t>(count), peaks.end());
    std::erase_if(low, [&](const Peak &p) { return p.score < score_floor; });
    const size_t lowest = std::min(low.size(), lowest_candidates);
    std::partial_sort(low.begin(), low.begin() + static_cast<std::ptrdiff_t>(lowest), low.end(),
                      [](const Peak &a, const Peak &b) { return a.freq_hz < b.freq_hz; });
    peaks.resize(count);
    const double lowest_kept = peaks_lowest(peaks);
    for (size_t i = 0; i < low.size() && i < lowest_candidates; ++i)
        if (low[i].freq_hz < lowest_kept)
            peaks.push_back(low[i]);
    return peaks;
}

// Follows the candidates `which` of `peaks` through x, each in frames long
// enough to keep every other candidate out.
std::vector<Followed> follow_candidates(std::span<const double> x, double rate,
                                        const std::vector<Peak> &peaks,
                                        const std::vector<size_t> &which)
{
    std::vector<Followed> followed;
    WindowCache windows;
    for (const size_t i : which) {
        double gap = rate;
        for (const Peak &q : peaks)
            if (&q != &peaks[i])
                gap = std::min(gap, std::abs(q.freq_hz - peaks[i].freq_hz));
        const size_t length = frame_length(rate, peaks[i].freq_hz, gap, x.size());
        followed.push_back(follow_partial(x, rate, peaks[i].freq_hz, windows.get(length)));
    }
    return followed;
}

// The partials of x, the loudest first; those 40 dB or more below the
// loudest and those outside the band are left out.
std::vector<Followed> measure(std::span<const double> x, double rate, FftPlans &plans)
{
    const std::vector<Peak> peaks = candidates(x, rate, plans, nullptr);
    std::vector<size_t> all(peaks.size());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    std::vector<Followed> followed = follow_candidates(x, rate, peaks, all);
    double strongest = 0.0;
    for (const Followed &f : followed)
        strongest = std::max(strongest, f.onset_amplitude);
    std::erase_if(followed, [&](const Followed &f) {
        return !(f.onset_amplitude > 0.0) ||
               db_of(f.onset_amplitude / strongest) < -partial_range_db ||
               f.freq_hz < partial_low_hz || f.freq_hz > partial_high_fraction * rate;
    });
    std::sort(followed.begin(), followed.end(), [](const Followed &a, const Followed &b) {
        return a.onset_amplitude > b.onset_amplitude;
    });
    return followed;
}

double cents_between(double a_hz, double b_hz)
{
    return 1200.0 * std::log2(a_hz / b_hz);
}

// The mean power over `span_s` of a partial of amplitude `amplitude` at the
// span's start decaying by `slope_db_s`.
double mean_power(double amplitude, double slope_db_s, double span_s)
{
    const double power = amplitude * amplitude;
    if (!(slope_db_s < 0.0) || !(span_s > 0.0))
        return power;
    const double nepers = -slope_db_s * std::numbers::ln10 / 20.0 * 2.0 * span_s;
    return power * -std::expm1(-nepers) / nepers;
}

// A partial as measured from the onset and over the body, before it is
// named: amplitudes in full scale, the body's power as a mean over it.
struct Found {
    double settled_hz;
    double onset_hz;
    bool steady;
    double onset_amplitude;
    double body_power;
    std::optional<double> t60_s;
};

// Where the body of a sound of `length_s` begins: after the strike's first
// 0.3 s, or its first quarter for a short sound.
double body_start(double length_s)
{
    return std::min(body_start_max_s, body_start_fraction * length_s);
}

// The partials of the body, from `body_from` on; none for a body too short,
// or too quiet against the strike to be heard as more than its tail (a
// hit's).
std::vector<Followed> measure_body(std::span<const double> sound, double rate, size_t body_from,
                                   FftPlans &plans)
{
    if (static_cast<double>(sound.size() - body_from) < body_min_s * rate)
        return {};
    // Judged from where a body may start at the earliest: a partial that
    // settles late is quiet by then, a hit is silent.
    const auto earliest = std::min(
        body_from, static_cast<size_t>(std::lround(
                       body_start(static_cast<double>(sound.size()) / rate) * rate)));
    double peak = 0.0, body_peak = 0.0;
    for (size_t n = 0; n < sound.size(); ++n) {
        double &p = n < earliest ? peak : body_peak;
        p = std::max(p, std::abs(sound[n]));
    }
    if (body_peak < std::max(peak, body_peak) * std::pow(10.0, -body_range_db / 20.0))
        return {};
    return measure(sound.subspan(body_from), rate, plans);
}

// Frames that resolve the loud partials of the body: six bins between the
// closest two within 20 dB of the loudest, up to about a third of a second.
double resolving_frame_s(const std::vector<Followed> &body, double rate)
{
    constexpr double loud_db = 20.0, longest_s = 0.35;
    double gap = rate;
    for (const Followed &a : body)
        for (const Followed &b : body)
            if (&a != &b && db_of(a.onset_amplitude / body.front().onset_amplitude) >= -loud_db &&
                db_of(b.onset_amplitude / body.front().onset_amplitude) >= -loud_db)
                gap = std::min(gap, std::abs(a.freq_hz - b.freq_hz));
    return std::min(frame_separation_bins / gap, longest_s);
}

// The glide of a partial that settles at `settled_hz` in the body, from its
// track: from the track's first frame to where it settles, in cents; 0
// without a track, or where the frames cannot tell (a partial of fewer than
// eight bins, whose image below 0 Hz pulls its peak).
struct TrackGlide {
    int32_t track = -1;
    double cents = 0.0;
};

TrackGlide glide_of(const TrackedSound &tracked, double body_at_s, double settled_hz)
{
    TrackGlide g;
    g.track = track_near(tracked, body_at_s, settled_hz);
    if (g.track >= 0 && settled_hz >= reliable_bins * tracked.bin_hz)
        g.cents = cents_between(tracked.tracks[static_cast<size_t>(g.track)].front().freq_hz,
                                settled_hz);
    return g;
}

// Whether track `t` holds `settled_hz` within steady_cents over the body
// (from `from_s`) while it is within 20 dB of its loudest there, by the
// median of each three frames (one frame can be pulled by a neighbour). A
// partial too low for its frames to tell is taken at its word.
bool track_holds(const TrackedSound &tracked, int32_t t, double from_s, double settled_hz)
{
    if (settled_hz < reliable_bins * tracked.bin_hz)
        return true;
    std::vector<TrackPoint> body;
    float loudest = -std::numeric_limits<float>::infinity();
    for (const TrackPoint &p : tracked.tracks[static_cast<size_t>(t)])
        if (p.t_s >= from_s) {
            body.push_back(p);
            loudest = std::max(loudest, p.level_db);
        }
    for (size_t i = 1; i + 1 < body.size(); ++i) {
        double three[3] = {body[i - 1].freq_hz, body[i].freq_hz, body[i + 1].freq_hz};
        std::sort(three, three + 3);
        if (body[i].level_db >= loudest - static_cast<float>(steady_range_db) &&
            std::abs(cents_between(three[1], settled_hz)) > steady_cents)
            return false;
    }
    return true;
}

// The partials of the sound. Those heard in the body are measured there,
// where they have settled; a partial whose track glided into the body
// starts where its track starts, and the peaks the onset's spectrum smeared
// along that track are part of it. The onset's other peaks died before the
// body, and are measured from the onset, where a track of the sound bears
// them out.
std::vector<Found> combine(std::span<const double> sound, double rate,
                           const std::vector<Peak> &onset_peaks,
                           const std::vector<Followed> &body, const TrackedSound &tracked,
                           double onset_s, size_t body_from)
{
    const double body_s = static_cast<double>(body_from) / rate;
    const double span_s = static_cast<double>(sound.size() - body_from) / rate;
    const double body_at_s = onset_s + body_s + tracked.frame_s / 2;
    double peak = 0.0;
    for (const double v : sound)
        peak = std::max(peak, std::abs(v));
    std::vector<char> used(onset_peaks.size(), 0);
    std::vector<Found> found;
    const auto known = [&](double hz) {
        return std::any_of(found.begin(), found.end(), [&](const Found &f) {
            return std::abs(cents_between(f.settled_hz, hz)) <= same_cents;
        });
    };
    std::vector<int32_t> body_track; // the track of each partial of the body, once
    for (const Followed &b : body) {
        if (known(b.freq_hz))
            continue;
        // Back from the body to the onset along its decay, though no partial
        // starts louder than the whole sound's peak.
        const double back = std::pow(10.0, -std::min(b.slope_db_s, 0.0) * body_s / 20.0);
        Found f{b.freq_hz, b.freq_hz, b.steady, std::min(b.onset_amplitude * back, peak),
                mean_power(b.onset_amplitude, b.slope_db_s, span_s), b.t60_s};
        const TrackGlide g = glide_of(tracked, body_at_s, b.freq_hz);
        if (g.track >= 0) {
            // The body's frames resolve its loud partials: a second partial
            // on the same track is a smear of the first.
            if (std::find(body_track.begin(), body_track.end(), g.track) != body_track.end())
                continue;
            body_track.push_back(g.track);
            f.steady = f.steady && track_holds(tracked, g.track, body_at_s, b.freq_hz);
        }
        if (g.track >= 0) {
            // What its frames heard before the body, each taken back to the
            // onset by at most half a frame: a partial may decay faster in
            // the body than while it glided. The decay of the body alone
            // cannot lift it above that.
            const PartialTrack &track = tracked.tracks[static_cast<size_t>(g.track)];
            double heard = 0.0;
            for (const TrackPoint &p : track)
                if (p.t_s <= body_at_s)
                    heard = std::max(
                        heard, std::pow(10.0, (p.level_db - std::min(b.slope_db_s, 0.0) *
                                                                std::min<double>(p.t_s - onset_s,
                                                                                 tracked.frame_s / 2)) /
                                                  20.0));
            // Its decay over the body taken back to the onset holds where
            // the frames bear it out (6 dB below to 3 dB above them: the
            // frames are long); otherwise the frames' level does.
            const bool borne_out =
                f.onset_amplitude <= heard * onset_cap && f.onset_amplitude >= heard / 2.0;
            if (heard > 0.0 && (std::abs(g.cents) > glide_min_cents || !borne_out))
                f.onset_amplitude = heard;
        }
        if (std::abs(g.cents) > glide_min_cents) {
            const PartialTrack &track = tracked.tracks[static_cast<size_t>(g.track)];
            f.onset_hz = track.front().freq_hz;
            for (size_t i = 0; i < onset_peaks.size(); ++i)
                for (const TrackPoint &p : track)
                    if (p.t_s <= body_at_s && std::abs(p.freq_hz - onset_peaks[i].freq_hz) <=
                                                  tracked.tolerance_hz(p.freq_hz) / 2)
                        used[i] = 1;
        }
        for (size_t i = 0; i < onset_peaks.size(); ++i)
            if (std::abs(cents_between(onset_peaks[i].freq_hz, b.freq_hz)) <= same_cents)
                used[i] = 1;
        found.push_back(f);
    }

    // What died before the body.
    double loudest_body = 0.0;
    for (const Found &f : found)
        loudest_body = std::max(loudest_body, f.body_power);
    std::vector<size_t> rest;
    for (size_t i = 0; i < onset_peaks.size(); ++i)
        if (!used[i])
            rest.push_back(i);
    const std::vector<Followed> early = follow_candidates(sound, rate, onset_peaks, rest);
    for (const Followed &o : early) {
        const bool borne_out =
            tracked.tracks.empty() ||
            std::any_of(tracked.tracks.begin(), tracked.tracks.end(), [&](const PartialTrack &t) {
                return std::any_of(t.begin(), t.end(), [&](const TrackPoint &p) {
                    return std::abs(p.freq_hz - o.freq_hz) <= tracked.tolerance_hz(p.freq_hz) / 2;
                });
            });
        if (!(o.onset_amplitude > 0.0) || !borne_out || known(o.freq_hz))
            continue;
        const double at_body =
            o.onset_amplitude * std::pow(10.0, std::min(o.slope_db_s, 0.0) * body_s / 20.0);
        // Not heard in the body within its range of the loudest there.
        const double body_power =
            body.empty() ? o.onset_amplitude * o.onset_amplitude
                         : std::min(mean_power(at_body, o.slope_db_s, span_s),
                                    loudest_body * std::pow(10.0, -partial_range_db / 10.0));
        found.push_back(
            {o.freq_hz, o.freq_hz, o.steady, o.onset_amplitude, body_power, o.t60_s});
    }
    return found;
}

} // namespace

SoundAnalysis SoundAnalyser::analyse(std::span<const int16_t> frames, int32_t rate_hz, double a4_hz)
{
    SoundAnalysis result;
    result.rate_hz = rate_hz;
    result.frames = frames.size();
    result.a4_hz = a4_hz;
    if (rate_hz <= 0)
        return result;
    const double rate = rate_hz;
    result.length_s = static_cast<double>(frames.size()) / rate;
    for (const int16_t f : frames)
        result.peak = std::max(result.peak, std::abs(static_cast<int32_t>(f)));
    result.peak_dbfs = result.peak > 0 ? db_of(result.peak / full_scale)
                                       : -std::numeric_limits<double>::infinity();
    result.wave = wave_picture(frames);
    if (result.peak == 0)
        return result;

    const auto threshold = static_cast<int32_t>(std::ceil(result.peak * onset_below_peak));
    size_t onset = 0;
    while (std::abs(static_cast<int32_t>(frames[onset])) < threshold)
        ++onset;
    std::vector<double> &sound = sound_;
    sound.resize(frames.size() - onset);
    for (size_t n = 0; n < sound.size(); ++n)
        sound[n] = frames[onset + n] / full_scale;
    result.t60_s = overall_t60(sound, rate);
    result.onset_s = static_cast<double>(onset) / rate;

    // The onset, the body, and the tracks between them.
    const std::vector<Peak> onset_peaks = candidates(sound, rate, plans_, &result.spectrum);
    const double sound_s = static_cast<double>(sound.size()) / rate;
    const auto body_at = [&](double s) {
        return std::min(static_cast<size_t>(std::lround(s * rate)), sound.size());
    };
    size_t body_from = body_at(body_start(sound_s));
    std::vector<Followed> body = measure_body(sound, rate, body_from, plans_);
    TrackedSound tracked =
        track_partials(sound, rate, result.onset_s, resolving_frame_s(body, rate), plans_);
    // The body starts once the loud partials have settled, though no later
    // than where enough of the sound is left to measure.
    const double settled_s =
        settle_time(tracked, result.onset_s + body_start(sound_s),
                    result.onset_s + body_latest_fraction * sound_s, settle_cents) -
        result.onset_s;
    if (body_at(settled_s) > body_from + static_cast<size_t>(tracked.hop_s * rate)) {
        body_from = body_at(settled_s);
        body = measure_body(sound, rate, body_from, plans_);
    }
    result.body_start_s = result.onset_s + static_cast<double>(body_from) / rate;
    result.spectrogram = std::move(tracked.picture);
    std::vector<Found> found =
        combine(sound, rate, onset_peaks, body, tracked, result.onset_s, body_from);
    if (found.empty())
        return result;

    double loudest_onset = 0.0, loudest_body = 0.0;
    for (const Found &f : found) {
        loudest_onset = std::max(loudest_onset, f.onset_amplitude);
        loudest_body = std::max(loudest_body, f.body_power);
    }
    const auto onset_db = [&](const Found &f) { return db_of(f.onset_amplitude / loudest_onset); };
    const auto body_db = [&](const Found &f) {
        return f.body_power > 0.0 && loudest_body > 0.0
                   ? 10.0 * std::log10(f.body_power / loudest_body)
                   : -std::numeric_limits<double>::infinity();
    };
    const auto heard_db = [&](const Found &f) { return std::max(onset_db(f), body_db(f)); };
    std::erase_if(found, [&](const Found &f) {
        return !(heard_db(f) >= -partial_range_db) || f.settled_hz < partial_low_hz ||
               f.settled_hz > partial_high_fraction * rate;
    });
    // What rings in the body first, then what the strike alone sounds.
    const auto rank = [&](const Found &f) {
        return body_db(f) > -partial_range_db ? body_db(f) : onset_db(f) - 2.0 * partial_range_db;
    };
    std::sort(found.begin(), found.end(),
              [&](const Found &a, const Found &b) { return rank(a) > rank(b); });
    // The strongest and the lowest are chosen from all the partials, and
    // listed whatever the list leaves out (a wire's hundred equal partials).
    const Found strongest = *std::max_element(
        found.begin(), found.end(), [&](const Found &a, const Found &b) {
            return body_db(a) < body_db(b) ||
                   (body_db(a) == body_db(b) && onset_db(a) < onset_db(b));
        });
    const Found *lowest = nullptr;
    for (const Found &f : found)
        if (body_db(f) >= body_db(strongest) - lowest_range_db &&
            (!lowest || f.settled_hz < lowest->settled_hz))
            lowest = &f;
    result.strongest_hz = strongest.settled_hz;
    result.lowest_hz = lowest->settled_hz;
    if (found.size() > partial_count_max) {
        const Found low = *lowest;
        found.resize(partial_count_max);
        for (const Found &kept : {strongest, low})
            if (std::none_of(found.begin(), found.end(),
                             [&](const Found &f) { return f.settled_hz == kept.settled_hz; })) {
                found.pop_back();
                found.insert(found.begin(), kept);
            }
    }
    std::sort(found.begin(), found.end(),
              [](const Found &a, const Found &b) { return a.settled_hz < b.settled_hz; });

    for (const Found &f : found) {
        Partial p;
        p.freq_hz = f.settled_hz;
        p.onset_hz = f.onset_hz;
        p.glide_cents = cents_between(f.onset_hz, f.settled_hz);
        p.steady = f.steady;
        p.level_db = onset_db(f);
        p.body_db = body_db(f);
        const NearestNote note = nearest_note(f.settled_hz, a4_hz);
        p.note = note.name;
        p.cents = note.cents;
        p.t60_s = f.t60_s;
        const int32_t t = track_near(tracked, result.body_start_s + tracked.frame_s / 2, p.freq_hz);
        const int32_t from_onset =
            t >= 0 ? t : track_near(tracked, result.onset_s + tracked.frame_s / 2, p.onset_hz);
        if (from_onset >= 0) {
            p.track = static_cast<int32_t>(result.tracks.size());
            result.tracks.push_back(tracked.tracks[static_cast<size_t>(from_onset)]);
        }
        result.partials.push_back(std::move(p));
    }
    return result;
}
