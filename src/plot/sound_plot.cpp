// Pictures of an analysed sound, drawn with cairo.
#include "sound_plot.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "intl.h"
#include "plot_support.h"

namespace {

using namespace plot;

constexpr Rgb wave_colour = {0.12, 0.33, 0.62};
constexpr Rgb spectrum_line = {0.12, 0.33, 0.62};
constexpr Rgb spectrum_fill = {0.78, 0.85, 0.95};
constexpr Rgb partial_colour = {0.80, 0.15, 0.10};

// The spectrum's level axis, in dB relative to the highest level: headroom
// above 0 for the partials' labels.
constexpr double level_top_db = 10.0, level_bottom_db = -100.0, level_tick_db = 20.0;
// Labels of partials: rows tried above a marker, and the gap between labels.
constexpr int label_rows = 3;
constexpr double label_gap = 2.0;

// ---- Spectrum axis ----

struct FreqAxis {
    double low_hz, high_hz;
    double x_of(const PlotRect &p, double f) const
    {
        return p.x + std::log(f / low_hz) / std::log(high_hz / low_hz) * p.width;
    }
    double freq_at(const PlotRect &p, double x) const
    {
        return low_hz * std::pow(high_hz / low_hz, (x - p.x) / p.width);
    }
};

FreqAxis freq_axis(const SoundAnalysis &a)
{
    if (a.spectrum.level_db.empty() || !(a.spectrum.high_hz > a.spectrum.low_hz))
        return {empty_low_hz, empty_high_hz};
    return {a.spectrum.low_hz, a.spectrum.high_hz};
}

double y_of_db(const PlotRect &p, double db)
{
    const double clamped = std::clamp(db, level_bottom_db, level_top_db);
    return p.y + (level_top_db - clamped) / (level_top_db - level_bottom_db) * p.height;
}

std::string hz_label(double f)
{
    constexpr double kilo = 1000.0;
    return f >= kilo ? format("%gk", f / kilo) : format("%g", f);
}

// The picture's level at f: the highest of the steps around it, so that a
// marker sits on its peak.
double spectrum_level_at(const SpectrumPicture &s, double f)
{
    const size_t n = s.level_db.size();
    const double at =
        std::log(f / s.low_hz) / std::log(s.high_hz / s.low_hz) * static_cast<double>(n);
    const auto i = static_cast<long>(std::floor(at));
    double level = level_bottom_db;
    for (long j = i - 1; j <= i + 1; ++j)
        if (j >= 0 && j < static_cast<long>(n))
            level = std::max(level, static_cast<double>(s.level_db[static_cast<size_t>(j)]));
    return level;
}

struct Box {
    double x0, y0, x1, y1;
    std::string text;
    bool overlaps(const Box &o) const
    {
        return x0 < o.x1 + label_gap && o.x0 < x1 + label_gap && y0 < o.y1 && o.y0 < y1;
    }
};

void draw_partials(cairo_t *cr, const PlotRect &p, const FreqAxis &axis, const SoundAnalysis &a,
                   double f)
{
    const double radius = std::max(2.5, f / 4.0);
    std::vector<size_t> order(a.partials.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        return a.partials[x].level_db > a.partials[y].level_db;
    });

    std::vector<Box> placed;
    for (const size_t i : order) {
        const Partial &partial = a.partials[i];
        const double x = axis.x_of(p, partial.freq_hz);
        const double y = y_of_db(p, spectrum_level_at(a.spectrum, partial.freq_hz));
        const bool strongest = a.strongest_hz && partial.freq_hz == *a.strongest_hz;
        set_colour(cr, partial_colour);
        cairo_new_sub_path(cr);
        cairo_arc(cr, x, y, strongest ? radius * 1.5 : radius, 0.0, 2.0 * std::numbers::pi);
        if (strongest)
            cairo_fill(cr);
        else
            cairo_stroke(cr);

        cairo_text_extents_t e;
        cairo_text_extents(cr, partial.note.c_str(), &e);
        for (int row = 0; row < label_rows; ++row) {
            const double bottom = y - 2.0 * radius - row * (e.height + label_gap);
            const Box box{x - e.width / 2.0, bottom - e.height, x + e.width / 2.0, bottom,
                          partial.note};
            if (box.y0 < p.y || box.x0 < p.x || box.x1 > p.x + p.width)
                break;
            // A louder partial next to it already names this note.
            if (std::any_of(placed.begin(), placed.end(), [&](const Box &b) {
                    return b.text == box.text && box.x0 < b.x1 + e.width && b.x0 < box.x1 + e.width;
                }))
                break;
            if (std::any_of(placed.begin(), placed.end(),
                            [&](const Box &b) { return b.overlaps(box); }))
                continue;
            placed.push_back(box);
            set_colour(cr, partial_colour);
            if (row > 0) {
                cairo_move_to(cr, x, bottom + label_gap / 2.0);
                cairo_line_to(cr, x, y - radius);
                cairo_stroke(cr);
            }
            set_colour(cr, ink);
            text_at(cr, x, bottom, partial.note, 0.5, 1.0);
            break;
        }
    }
}

} // namespace

void draw_waveform(cairo_t *cr, const PlotRect &outer, const SoundAnalysis &a)
{
    const PlotRect p = inner(outer);
    const double f = font_size(outer);
    begin_graph(cr, outer, p);
    const double length_s = a.frames > 0 ? a.length_s : empty_length_s;
    const auto x_of = [&](double t) { return p.x + t / length_s * p.width; };
    const auto y_of = [&](double v) { return p.y + (1.0 - v) / 2.0 * p.height; };

    // Time ticks.
    const double step = nice_step(length_s * tick_spacing_fonts * f / p.width);
    const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step))));
    for (double t = 0.0; t <= length_s * (1.0 + 1e-9); t += step) {
        grid_line(cr, x_of(t), p.y, x_of(t), p.y + p.height);
        set_colour(cr, ink);
        text_at(cr, x_of(t), p.y + p.height + 0.4 * f, format("%.*f", decimals, t), 0.5, 0.0);
    }
    for (const double v : {-1.0, 0.0, 1.0}) {
        grid_line(cr, p.x, y_of(v), p.x + p.width, y_of(v));
        set_colour(cr, ink);
        text_at(cr, p.x - 0.4 * f, y_of(v), format("%g", v), 1.0, 0.5);
    }
    set_colour(cr, ink);
    text_at(cr, p.x + p.width / 2.0, outer.y + outer.height - 0.2 * f, _("Time (s)"), 0.5, 1.0);
    vertical_text(cr, outer.x + 0.3 * f, p.y + p.height / 2.0, _("Amplitude"));

    // One bar per pixel column from the lowest to the highest frame in it
    // and the column before: a pixel may hold less than a period of a low
    // partial, and the bars would then not meet.
    const size_t columns = a.wave.low.size();
    if (columns > 0) {
        set_colour(cr, wave_colour);
        const auto pixels = static_cast<size_t>(std::max(1.0, std::floor(p.width)));
        for (size_t px = 0; px < pixels; ++px) {
            const size_t c0 = px * columns / pixels;
            const size_t c1 = std::max(c0 + 1, (px + 1) * columns / pixels);
            float lo = a.wave.low[c0], hi = a.wave.high[c0];
            for (size_t c = c0 > 0 ? c0 - 1 : 0; c < c1 && c < columns; ++c) {
                lo = std::min(lo, a.wave.low[c]);
                hi = std::max(hi, a.wave.high[c]);
            }
            const double top = y_of(hi), bottom = y_of(lo);
            cairo_rectangle(cr, p.x + static_cast<double>(px), top, 1.0,
                            std::max(bottom - top, 1.0));
        }
        cairo_fill(cr);
    }
    end_graph(cr, p);
}

void draw_spectrum(cairo_t *cr, const PlotRect &outer, const SoundAnalysis &a)
{
    const PlotRect p = inner(outer);
    const double f = font_size(outer);
    begin_graph(cr, outer, p);
    const FreqAxis axis = freq_axis(a);

    // Frequency ticks at 1, 2 and 5 times the powers of ten.
    for (double decade = 1.0; decade <= axis.high_hz; decade *= 10.0) {
        for (const double m : {1.0, 2.0, 5.0}) {
            const double hz = m * decade;
            if (hz < axis.low_hz || hz > axis.high_hz)
                continue;
            grid_line(cr, axis.x_of(p, hz), p.y, axis.x_of(p, hz), p.y + p.height);
            set_colour(cr, ink);
            text_at(cr, axis.x_of(p, hz), p.y + p.height + 0.4 * f, hz_label(hz), 0.5, 0.0);
        }
    }
    for (double db = 0.0; db >= level_bottom_db; db -= level_tick_db) {
        grid_line(cr, p.x, y_of_db(p, db), p.x + p.width, y_of_db(p, db));
        set_colour(cr, ink);
        text_at(cr, p.x - 0.4 * f, y_of_db(p, db), format("%g", db), 1.0, 0.5);
    }
    set_colour(cr, ink);
    text_at(cr, p.x + p.width / 2.0, outer.y + outer.height - 0.2 * f, _("Frequency (Hz)"), 0.5,
            1.0);
    vertical_text(cr, outer.x + 0.3 * f, p.y + p.height / 2.0, _("Level (dB)"));

    const SpectrumPicture &s = a.spectrum;
    if (!s.level_db.empty()) {
        cairo_save(cr);
        cairo_rectangle(cr, p.x, p.y, p.width, p.height);
        cairo_clip(cr);
        const double ratio =
            std::pow(s.high_hz / s.low_hz, 1.0 / static_cast<double>(s.level_db.size()));
        cairo_move_to(cr, p.x, p.y + p.height);
        for (size_t i = 0; i < s.level_db.size(); ++i) {
            const double hz = s.low_hz * std::pow(ratio, static_cast<double>(i) + 0.5);
            cairo_line_to(cr, axis.x_of(p, hz), y_of_db(p, s.level_db[i]));
        }
        cairo_line_to(cr, p.x + p.width, p.y + p.height);
        cairo_close_path(cr);
        set_colour(cr, spectrum_fill);
        cairo_fill_preserve(cr);
        set_colour(cr, spectrum_line);
        cairo_stroke(cr);
        cairo_restore(cr);
        draw_partials(cr, p, axis, a, f);
    }
    end_graph(cr, p);
}

void draw_sound(cairo_t *cr, double width, double height, const SoundAnalysis &a)
{
    constexpr double wave_share = 0.4; // of the height, the rest for the spectrum
    cairo_save(cr);
    set_colour(cr, ground);
    cairo_paint(cr);
    cairo_restore(cr);
    draw_waveform(cr, {0.0, 0.0, width, height * wave_share}, a);
    draw_spectrum(cr, {0.0, height * wave_share, width, height * (1.0 - wave_share)}, a);
}

PlotRect plot_area(const PlotRect &outer)
{
    return inner(outer);
}

void draw_pointer(cairo_t *cr, const PlotRect &outer, double x, const std::string &text)
{
    draw_pointer(cr, outer, inner(outer), x, text);
}

void draw_pointer(cairo_t *cr, const PlotRect &outer, const PlotRect &p, double x,
                  const std::string &text)
{
    const double f = font_size(outer);
    cairo_save(cr);
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, f);
    cairo_set_line_width(cr, 1.0);
    set_colour(cr, ink);
    const double line_x = std::floor(x) + 0.5;
    cairo_move_to(cr, line_x, p.y);
    cairo_line_to(cr, line_x, p.y + p.height);
    cairo_stroke(cr);

    // Right of the line, or left of it where the graph ends.
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    const double pad = 0.3 * f;
    const double box_w = e.width + 2.0 * pad, box_h = f + 2.0 * pad;
    double box_x = line_x + pad;
    if (box_x + box_w > p.x + p.width)
        box_x = line_x - pad - box_w;
    // At the foot of the graph: the partials and their labels are at the top.
    const double box_y = p.y + p.height - pad - box_h;
    cairo_rectangle(cr, box_x, box_y, box_w, box_h);
    set_colour(cr, ground);
    cairo_fill_preserve(cr);
    set_colour(cr, ink);
    cairo_stroke(cr);
    text_at(cr, box_x + pad, box_y + box_h / 2.0, text, 0.0, 0.5);
    cairo_restore(cr);
}

std::optional<double> spectrum_freq_at(const PlotRect &outer, const SoundAnalysis &a, double x,
                                       double y)
{
    const PlotRect p = inner(outer);
    if (x < p.x || x > p.x + p.width || y < p.y || y > p.y + p.height)
        return std::nullopt;
    return freq_axis(a).freq_at(p, x);
}

int save_sound_png(const char *file_name, const SoundAnalysis &analysis, int width, int height,
                   std::string &message)
{
    return plot::save_png(
        file_name, width, height,
        [&](cairo_t *cr) { draw_sound(cr, width, height, analysis); }, message);
}
