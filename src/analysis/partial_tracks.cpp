// Tracks of partials from the spectra of short frames.
//
// Frames of about 85 ms (a power of two, whatever the rate) resolve
// partials some 50 Hz apart and still show a glide of a few hundred
// milliseconds; partials closer together ask for longer frames. Frames
// overlap by three quarters, so a glide of a fifth of a semitone per frame
// is still one track. Each frame is windowed with a
// 4-term Blackman-Harris window (sidelobes below -92 dB, so a quiet partial
// beside a loud one is still a peak) and zero-padded to twice its length,
// so that three points of the padded spectrum lie on every peak for the
// interpolation.
#include "partial_tracks.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

constexpr double frame_shortest_s = 0.08;
constexpr size_t frames_overlap = 4; // hop = frame / 4
constexpr size_t padding = 2;

// Which peaks of a frame can start or continue a track.
constexpr double band_low_hz = 20.0;
constexpr double band_high_fraction = 0.45; // of the rate
constexpr double frame_range_db = 70.0;     // below the frame's loudest peak
constexpr double absolute_floor_db = -100.0;
constexpr size_t peaks_per_frame_max = 64;
// A track is closed after this many frames without a peak.
constexpr size_t track_gap_frames = 2;
constexpr size_t track_points_min = 3;
constexpr double track_range_db = 70.0; // below the loudest track
constexpr double link_cents = 40.0;

// The picture: at most this many columns (frames are merged beyond), rows
// on a logarithmic scale.
constexpr size_t picture_columns_max = 1024;
constexpr int32_t picture_rows = 256;
constexpr double picture_low_hz = 20.0;

constexpr double bh0 = 0.35875, bh1 = 0.48829, bh2 = 0.14128, bh3 = 0.01168;

size_t frame_length(double rate, double wanted_s)
{
    // The power of two nearest the target length.
    const double target = std::max(wanted_s, frame_shortest_s) * rate;
    size_t n = 16;
    while (static_cast<double>(n) * 1.5 < target)
        n <<= 1;
    return n;
}

std::vector<double> window_of(size_t length)
{
    std::vector<double> w(length);
    const double step = 2.0 * std::numbers::pi / static_cast<double>(length);
    for (size_t n = 0; n < length; ++n) {
        const double a = step * static_cast<double>(n);
        w[n] = bh0 - bh1 * std::cos(a) + bh2 * std::cos(2.0 * a) - bh3 * std::cos(3.0 * a);
    }
    return w;
}

struct Peak {
    double freq_hz;
    double level_db;
};

// Local maxima between the band's bins, interpolated by a parabola through
// the logarithms of three points; amplitudes in dB of full scale.
std::vector<Peak> frame_peaks(const std::vector<double> &mag, size_t lo, size_t hi,
                              double bin_hz, double to_amplitude)
{
    std::vector<Peak> peaks;
    double loudest = 0.0;
    for (size_t k = lo; k <= hi; ++k)
        loudest = std::max(loudest, mag[k]);
    if (!(loudest > 0.0))
        return peaks;
    const double floor =
        std::max(loudest * std::pow(10.0, -frame_range_db / 20.0),
                 std::pow(10.0, absolute_floor_db / 20.0) / to_amplitude);
    for (size_t k = lo; k <= hi; ++k) {
        const double b = mag[k];
        if (!(b > mag[k - 1] && b >= mag[k + 1]) || b < floor)
            continue;
        const double tiny = std::numeric_limits<double>::min();
        const double la = std::log(std::max(mag[k - 1], tiny));
        const double lb = std::log(b);
        const double lc = std::log(std::max(mag[k + 1], tiny));
        const double denominator = la - 2.0 * lb + lc;
        const double p = denominator < 0.0 ? 0.5 * (la - lc) / denominator : 0.0;
        const double height = std::exp(lb - 0.25 * (la - lc) * p);
        peaks.push_back({(static_cast<double>(k) + p) * bin_hz,
                         20.0 * std::log10(height * to_amplitude)});
    }
    if (peaks.size() > peaks_per_frame_max) {
        std::nth_element(peaks.begin(), peaks.begin() + peaks_per_frame_max, peaks.end(),
                         [](const Peak &a, const Peak &b) { return a.level_db > b.level_db; });
        peaks.resize(peaks_per_frame_max);
    }
    return peaks;
}

struct OpenTrack {
    PartialTrack points;
    size_t last_frame;
};

// Links the peaks of frame `index` to the open tracks: every pair within
// the tolerance, nearest first, each track and peak used once; the peaks
// left over start tracks of their own.
void link(std::vector<OpenTrack> &open, const std::vector<Peak> &peaks, size_t index, float t_s,
          const TrackedSound &tracked)
{
    struct Pair {
        double distance;
        size_t track, peak;
    };
    std::vector<Pair> pairs;
    for (size_t i = 0; i < open.size(); ++i) {
        // Where the track is heading: on from its last two frames, as a
        // glide goes on, when they are neighbours.
        const PartialTrack &t = open[i].points;
        double f = t.back().freq_hz;
        if (t.size() >= 2 && open[i].last_frame + 1 == index &&
            t.back().t_s - t[t.size() - 2].t_s < 1.5 * tracked.hop_s)
            f += t.back().freq_hz - t[t.size() - 2].freq_hz;
        const double tolerance = tracked.tolerance_hz(f);
        for (size_t j = 0; j < peaks.size(); ++j) {
            const double d = std::abs(peaks[j].freq_hz - f);
            if (d <= tolerance)
                pairs.push_back({d, i, j});
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair &a, const Pair &b) {
        return a.distance < b.distance ||
               (a.distance == b.distance && (a.track < b.track || (a.track == b.track && a.peak < b.peak)));
    });
    std::vector<char> track_taken(open.size(), 0), peak_taken(peaks.size(), 0);
    for (const Pair &p : pairs) {
        if (track_taken[p.track] || peak_taken[p.peak])
            continue;
        track_taken[p.track] = peak_taken[p.peak] = 1;
        open[p.track].points.push_back({t_s, static_cast<float>(peaks[p.peak].freq_hz),
                                        static_cast<float>(peaks[p.peak].level_db)});
        open[p.track].last_frame = index;
    }
    for (size_t j = 0; j < peaks.size(); ++j)
        if (!peak_taken[j])
            open.push_back({{{t_s, static_cast<float>(peaks[j].freq_hz),
                              static_cast<float>(peaks[j].level_db)}},
                            index});
}

void close_stale(std::vector<OpenTrack> &open, std::vector<PartialTrack> &closed, size_t index,
                 bool all)
{
    std::vector<OpenTrack> still;
    for (OpenTrack &t : open) {
        if (all || index - t.last_frame > track_gap_frames) {
            if (t.points.size() >= track_points_min)
                closed.push_back(std::move(t.points));
        } else {
            still.push_back(std::move(t));
        }
    }
    open = std::move(still);
}

// Which bins each of the picture's rows takes: the highest level in each
// logarithmic band, or between the two bins around a band narrower than a
// bin.
struct RowBins {
    size_t k0, k1; // bins [k0, k1), or k0 and the bin above by `frac` when k1 == 0
    double frac;
};

std::vector<RowBins> row_bins(const SpectrogramPicture &p, double bin_hz, size_t bins)
{
    std::vector<RowBins> rows(static_cast<size_t>(p.rows));
    const double ratio = std::pow(p.high_hz / p.low_hz, 1.0 / p.rows);
    for (int32_t r = 0; r < p.rows; ++r) {
        const double f0 = p.low_hz * std::pow(ratio, r);
        const double f1 = f0 * ratio;
        const auto k0 = static_cast<size_t>(std::ceil(f0 / bin_hz));
        const auto k1 = std::min(static_cast<size_t>(std::ceil(f1 / bin_hz)), bins);
        if (k0 < k1) {
            rows[static_cast<size_t>(r)] = {k0, k1, 0.0};
        } else {
            const double at = f0 / bin_hz;
            const auto k = std::min(static_cast<size_t>(at), bins - 2);
            rows[static_cast<size_t>(r)] = {k, 0, at - static_cast<double>(k)};
        }
    }
    return rows;
}

void finish_picture(SpectrogramPicture &p, std::vector<double> &cells)
{
    double loudest = 0.0;
    for (const double v : cells)
        loudest = std::max(loudest, v);
    p.level_db.resize(cells.size());
    for (size_t i = 0; i < cells.size(); ++i)
        p.level_db[i] = cells[i] > 0.0 && loudest > 0.0
                            ? std::max(static_cast<float>(20.0 * std::log10(cells[i] / loudest)),
                                       p.floor_db)
                            : p.floor_db;
}

} // namespace

double TrackedSound::tolerance_hz(double f) const
{
    return std::max(bin_hz, f * (std::exp2(link_cents / 1200.0) - 1.0));
}

TrackedSound track_partials(std::span<const double> sound, double rate, double start_s,
                            double frame_s, FftPlans &plans)
{
    TrackedSound tracked;
    const size_t length = frame_length(rate, frame_s);
    const size_t hop = length / frames_overlap;
    const size_t points = length * padding;
    tracked.frame_s = static_cast<double>(length) / rate;
    tracked.hop_s = static_cast<double>(hop) / rate;
    tracked.bin_hz = rate / static_cast<double>(length);
    SpectrogramPicture &picture = tracked.picture;
    picture.low_hz = picture_low_hz;
    picture.high_hz = rate / 2.0;
    picture.start_s = start_s;
    if (sound.size() < length || picture.high_hz <= picture.low_hz)
        return tracked;

    const size_t frames = (sound.size() - length) / hop + 1;
    picture.columns = static_cast<int32_t>(std::min(frames, picture_columns_max));
    picture.rows = picture_rows;
    // Each column at the centres of its frames.
    const double per_column = static_cast<double>(frames) / picture.columns;
    picture.start_s = start_s + (static_cast<double>(length) / 2.0 - hop * per_column / 2.0) / rate;
    picture.end_s = picture.start_s + static_cast<double>(frames * hop) / rate;
    std::vector<double> cells(static_cast<size_t>(picture.columns) * picture_rows, 0.0);

    const std::vector<double> window = window_of(length);
    double window_sum = 0.0;
    for (const double w : window)
        window_sum += w;
    const double to_amplitude = 2.0 / window_sum;
    const double padded_bin_hz = rate / static_cast<double>(points);
    const size_t lo = std::max<size_t>(static_cast<size_t>(std::ceil(band_low_hz / padded_bin_hz)), 1);
    const size_t hi = std::min(static_cast<size_t>(band_high_fraction * rate / padded_bin_hz),
                               points / 2 - 1);

    const FftwArray<double> in = fftw_reals(points);
    const FftwArray<fftw_complex> out = fftw_complexes(points / 2 + 1);
    std::fill(in.get(), in.get() + points, 0.0);
    std::vector<double> mag(points / 2 + 1);
    const std::vector<RowBins> rows = row_bins(picture, padded_bin_hz, mag.size());
    std::vector<OpenTrack> open;
    for (size_t f = 0; f < frames; ++f) {
        const double *x = sound.data() + f * hop;
        for (size_t n = 0; n < length; ++n)
            in[n] = x[n] * window[n];
        plans.forward(points, in.get(), out.get());
        for (size_t k = 0; k < mag.size(); ++k)
            mag[k] = std::sqrt(out[k][0] * out[k][0] + out[k][1] * out[k][1]);

        const size_t c = f * static_cast<size_t>(picture.columns) / frames;
        for (size_t r = 0; r < rows.size(); ++r) {
            const RowBins &rb = rows[r];
            const double value =
                rb.k1 ? *std::max_element(mag.begin() + static_cast<std::ptrdiff_t>(rb.k0),
                                          mag.begin() + static_cast<std::ptrdiff_t>(rb.k1))
                      : mag[rb.k0] * (1.0 - rb.frac) + mag[rb.k0 + 1] * rb.frac;
            double &cell = cells[r * static_cast<size_t>(picture.columns) + c];
            cell = std::max(cell, value);
        }

        const auto t_s = static_cast<float>(
            start_s + (static_cast<double>(f * hop) + static_cast<double>(length) / 2.0) / rate);
        close_stale(open, tracked.tracks, f, false);
        link(open, frame_peaks(mag, lo, hi, padded_bin_hz, to_amplitude), f, t_s, tracked);
    }
    close_stale(open, tracked.tracks, frames, true);
    finish_picture(picture, cells);

    float loudest = -std::numeric_limits<float>::infinity();
    for (const PartialTrack &t : tracked.tracks)
        for (const TrackPoint &p : t)
            loudest = std::max(loudest, p.level_db);
    std::erase_if(tracked.tracks, [&](const PartialTrack &t) {
        float top = -std::numeric_limits<float>::infinity();
        for (const TrackPoint &p : t)
            top = std::max(top, p.level_db);
        return top < loudest - static_cast<float>(track_range_db);
    });
    std::stable_sort(tracked.tracks.begin(), tracked.tracks.end(),
                     [](const PartialTrack &a, const PartialTrack &b) {
                         return a.front().t_s < b.front().t_s;
                     });
    return tracked;
}

int32_t track_near(const TrackedSound &tracked, double t_s, double freq_hz)
{
    int32_t best = -1;
    double best_distance = tracked.tolerance_hz(freq_hz);
    const double reach = tracked.hop_s * 1.5;
    for (size_t i = 0; i < tracked.tracks.size(); ++i)
        for (const TrackPoint &p : tracked.tracks[i]) {
            if (std::abs(p.t_s - t_s) > reach)
                continue;
            const double d = std::abs(p.freq_hz - freq_hz);
            if (d <= best_distance) {
                best_distance = d;
                best = static_cast<int32_t>(i);
            }
        }
    return best;
}

double settle_time(const TrackedSound &tracked, double from_s, double until_s, double cents)
{
    constexpr float loud_db = 20.0f, audible_db = 40.0f;
    constexpr double reliable_bins = 8.0;
    float loudest = -std::numeric_limits<float>::infinity();
    std::vector<float> top(tracked.tracks.size(), -std::numeric_limits<float>::infinity());
    for (size_t i = 0; i < tracked.tracks.size(); ++i)
        for (const TrackPoint &p : tracked.tracks[i])
            if (p.t_s >= from_s)
                top[i] = std::max(top[i], p.level_db);
    for (const float t : top)
        loudest = std::max(loudest, t);
    double settled = from_s;
    for (size_t i = 0; i < tracked.tracks.size(); ++i) {
        if (top[i] < loudest - loud_db)
            continue;
        std::vector<TrackPoint> heard;
        float own = -std::numeric_limits<float>::infinity();
        for (const TrackPoint &p : tracked.tracks[i])
            own = std::max(own, p.level_db);
        for (const TrackPoint &p : tracked.tracks[i])
            if (p.level_db >= own - audible_db)
                heard.push_back(p);
        // Where it ends: the median of the last third of what is heard.
        std::vector<double> last;
        for (size_t k = heard.size() - (heard.size() + 2) / 3; k < heard.size(); ++k)
            last.push_back(heard[k].freq_hz);
        std::nth_element(last.begin(), last.begin() + static_cast<std::ptrdiff_t>(last.size() / 2),
                         last.end());
        const double end_hz = last[last.size() / 2];
        if (end_hz < reliable_bins * tracked.bin_hz)
            continue;
        for (size_t k = heard.size(); k-- > 0;)
            if (std::abs(1200.0 * std::log2(heard[k].freq_hz / end_hz)) > cents) {
                // The frame after the last one off its pitch starts here.
                const double next = k + 1 < heard.size() ? heard[k + 1].t_s : heard[k].t_s;
                settled = std::max(settled, next - tracked.frame_s / 2);
                break;
            }
    }
    return std::min(settled, until_s);
}
