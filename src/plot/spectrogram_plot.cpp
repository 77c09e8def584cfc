// The spectrogram of an analysed sound, drawn with cairo.
#include "spectrogram_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "intl.h"
#include "notes.h"
#include "plot_support.h"

namespace {

using namespace plot;

// The colours run from the floor of the scale (dark) to its top (light)
// through these stops, evenly spaced: a scale that reads in grey as well.
constexpr Rgb colour_stops[] = {{0.02, 0.02, 0.08}, {0.26, 0.05, 0.42}, {0.64, 0.12, 0.38},
                                {0.94, 0.42, 0.14}, {0.99, 0.90, 0.55}};
constexpr double scale_floor_db = -100.0, scale_tick_db = 20.0;
// Room on the right for the colour scale and its labels, in text heights;
// the bar itself.
constexpr double scale_room_fonts = 7.0, scale_bar_fonts = 1.2, scale_gap_fonts = 0.8;
constexpr Rgb track_colour = {0.30, 0.95, 0.95};
constexpr Rgb label_ground = {0.0, 0.0, 0.0};

Rgb colour_of(double db)
{
    const double x = std::clamp(1.0 - db / scale_floor_db, 0.0, 1.0);
    constexpr auto stops = static_cast<double>(std::size(colour_stops) - 1);
    const auto i = std::min(static_cast<size_t>(x * stops), std::size(colour_stops) - 2);
    const double u = x * stops - static_cast<double>(i);
    const Rgb &a = colour_stops[i], &b = colour_stops[i + 1];
    return {a.r + (b.r - a.r) * u, a.g + (b.g - a.g) * u, a.b + (b.b - a.b) * u};
}

struct Axes {
    double start_s, end_s, low_hz, high_hz;
    double x_of(const PlotRect &p, double t) const
    {
        return p.x + (t - start_s) / (end_s - start_s) * p.width;
    }
    double y_of(const PlotRect &p, double f) const
    {
        return p.y + p.height - std::log(f / low_hz) / std::log(high_hz / low_hz) * p.height;
    }
};

Axes axes_of(const SoundAnalysis &a)
{
    const SpectrogramPicture &s = a.spectrogram;
    const double length = a.length_s > 0.0 ? a.length_s : empty_length_s;
    if (s.columns <= 0 || !(s.high_hz > s.low_hz))
        return {0.0, length, empty_low_hz, a.rate_hz > 0 ? a.rate_hz / 2.0 : empty_high_hz};
    return {0.0, std::max(length, s.end_s), s.low_hz, s.high_hz};
}

struct SurfaceDestroy {
    void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};

// The cells as an image, one pixel each, the lowest band at the bottom.
std::unique_ptr<cairo_surface_t, SurfaceDestroy> cells_image(const SpectrogramPicture &s)
{
    std::unique_ptr<cairo_surface_t, SurfaceDestroy> image(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, s.columns, s.rows));
    if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS)
        return image;
    cairo_surface_flush(image.get());
    unsigned char *data = cairo_image_surface_get_data(image.get());
    const int stride = cairo_image_surface_get_stride(image.get());
    for (int32_t r = 0; r < s.rows; ++r) {
        auto *line = reinterpret_cast<uint32_t *>(data + static_cast<ptrdiff_t>(s.rows - 1 - r) * stride);
        for (int32_t c = 0; c < s.columns; ++c) {
            const Rgb k = colour_of(s.at(c, r));
            line[c] = (static_cast<uint32_t>(std::lround(k.r * 255.0)) << 16) |
                      (static_cast<uint32_t>(std::lround(k.g * 255.0)) << 8) |
                      static_cast<uint32_t>(std::lround(k.b * 255.0));
        }
    }
    cairo_surface_mark_dirty(image.get());
    return image;
}

void draw_cells(cairo_t *cr, const PlotRect &p, const Axes &axes, const SpectrogramPicture &s)
{
    const auto image = cells_image(s);
    if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS)
        return;
    const double x0 = axes.x_of(p, s.start_s), x1 = axes.x_of(p, s.end_s);
    cairo_save(cr);
    cairo_rectangle(cr, p.x, p.y, p.width, p.height);
    cairo_clip(cr);
    cairo_translate(cr, x0, p.y);
    cairo_scale(cr, (x1 - x0) / s.columns, p.height / s.rows);
    cairo_set_source_surface(cr, image.get(), 0.0, 0.0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_rectangle(cr, 0.0, 0.0, s.columns, s.rows);
    cairo_fill(cr);
    cairo_restore(cr);
}

// Each partial's track as a line, and its note where it settles, beside
// the track's end (labels that would overlap an earlier one are left out).
void draw_tracks(cairo_t *cr, const PlotRect &p, const Axes &axes, const SoundAnalysis &a,
                 double f)
{
    cairo_save(cr);
    cairo_rectangle(cr, p.x, p.y, p.width, p.height);
    cairo_clip(cr);
    cairo_set_line_width(cr, 1.5);
    std::vector<std::pair<double, double>> labels; // their tops and bottoms
    for (const Partial &partial : a.partials) {
        if (partial.track < 0)
            continue;
        const PartialTrack &track = a.tracks[static_cast<size_t>(partial.track)];
        // Thin and see-through: the level under the track still shows.
        cairo_set_source_rgba(cr, track_colour.r, track_colour.g, track_colour.b, 0.8);
        for (size_t i = 0; i < track.size(); ++i) {
            const double x = axes.x_of(p, track[i].t_s), y = axes.y_of(p, track[i].freq_hz);
            if (i == 0)
                cairo_move_to(cr, x, y);
            else
                cairo_line_to(cr, x, y);
        }
        cairo_stroke(cr);
        const double y = axes.y_of(p, partial.freq_hz);
        const bool free = std::none_of(labels.begin(), labels.end(), [&](const auto &l) {
            return y + f / 2.0 > l.first && y - f / 2.0 < l.second;
        });
        if (!free)
            continue;
        labels.emplace_back(y - f / 2.0, y + f / 2.0);
        const std::string text = partial.note;
        cairo_text_extents_t e;
        cairo_text_extents(cr, text.c_str(), &e);
        const double x =
            std::min(axes.x_of(p, track.back().t_s) + 0.4 * f, p.x + p.width - e.width - 0.6 * f);
        cairo_rectangle(cr, x - 0.2 * f, y - 0.6 * f, e.width + 0.4 * f, 1.2 * f);
        cairo_set_source_rgba(cr, label_ground.r, label_ground.g, label_ground.b, 0.55);
        cairo_fill(cr);
        set_colour(cr, track_colour);
        text_at(cr, x, y, text, 0.0, 0.5);
    }
    cairo_restore(cr);
}

void draw_scale(cairo_t *cr, const PlotRect &p, double f)
{
    const double x = p.x + p.width + scale_gap_fonts * f, w = scale_bar_fonts * f;
    const int steps = std::max(1, static_cast<int>(p.height));
    for (int i = 0; i < steps; ++i) {
        set_colour(cr, colour_of(scale_floor_db * (static_cast<double>(i) + 0.5) / steps));
        cairo_rectangle(cr, x, p.y + p.height * i / steps, w, p.height / steps + 0.5);
        cairo_fill(cr);
    }
    set_colour(cr, ink);
    cairo_rectangle(cr, x + 0.5, p.y + 0.5, w - 1.0, p.height - 1.0);
    cairo_stroke(cr);
    for (double db = 0.0; db >= scale_floor_db; db -= scale_tick_db)
        text_at(cr, x + w + 0.3 * f, p.y + p.height * db / scale_floor_db, format("%g", db), 0.0,
                0.5);
    vertical_text(cr, x + w + 3.1 * f, p.y + p.height / 2.0, _("Level (dB)"));
}

void draw_axes(cairo_t *cr, const PlotRect &outer, const PlotRect &p, const Axes &axes, double f)
{
    const double span = axes.end_s - axes.start_s;
    const double step = nice_step(span * tick_spacing_fonts * f / p.width);
    for (double t = 0.0; t <= axes.end_s + 1e-9; t += step) {
        set_colour(cr, ink);
        text_at(cr, axes.x_of(p, t), p.y + p.height + 0.4 * f, format("%g", t), 0.5, 0.0);
    }
    for (double decade = 1.0; decade <= axes.high_hz; decade *= 10.0)
        for (const double m : {1.0, 2.0, 5.0}) {
            const double hz = m * decade;
            if (hz < axes.low_hz || hz > axes.high_hz)
                continue;
            set_colour(cr, ink);
            text_at(cr, p.x - 0.4 * f, axes.y_of(p, hz),
                    hz >= 1000.0 ? format("%gk", hz / 1000.0) : format("%g", hz), 1.0, 0.5);
        }
    set_colour(cr, ink);
    text_at(cr, p.x + p.width / 2.0, outer.y + outer.height - 0.2 * f, _("Time (s)"), 0.5, 1.0);
    vertical_text(cr, outer.x + 0.3 * f, p.y + p.height / 2.0, _("Frequency (Hz)"));
}

} // namespace

PlotRect spectrogram_area(const PlotRect &outer)
{
    return inner(outer, scale_room_fonts);
}

void draw_spectrogram(cairo_t *cr, const PlotRect &outer, const SoundAnalysis &a)
{
    const PlotRect p = spectrogram_area(outer);
    const double f = font_size(outer);
    begin_graph(cr, outer, p);
    const Axes axes = axes_of(a);
    set_colour(cr, colour_stops[0]);
    cairo_rectangle(cr, p.x, p.y, p.width, p.height);
    cairo_fill(cr);
    if (a.spectrogram.columns > 0 && a.spectrogram.rows > 0) {
        draw_cells(cr, p, axes, a.spectrogram);
        draw_tracks(cr, p, axes, a, f);
    }
    draw_axes(cr, outer, p, axes, f);
    draw_scale(cr, p, f);
    end_graph(cr, p);
}

std::optional<SpectrogramPoint> spectrogram_point_at(const PlotRect &outer, const SoundAnalysis &a,
                                                     double x, double y)
{
    const PlotRect p = spectrogram_area(outer);
    if (x < p.x || x > p.x + p.width || y < p.y || y > p.y + p.height)
        return std::nullopt;
    const Axes axes = axes_of(a);
    const double t = axes.start_s + (x - p.x) / p.width * (axes.end_s - axes.start_s);
    const double hz =
        axes.low_hz * std::pow(axes.high_hz / axes.low_hz, (p.y + p.height - y) / p.height);
    return SpectrogramPoint{t, hz};
}

int save_spectrogram_png(const char *file_name, const SoundAnalysis &analysis, int width,
                         int height, std::string &message)
{
    return save_png(
        file_name, width, height,
        [&](cairo_t *cr) {
            cairo_save(cr);
            set_colour(cr, ground);
            cairo_paint(cr);
            cairo_restore(cr);
            draw_spectrogram(cr, {0.0, 0.0, static_cast<double>(width), static_cast<double>(height)},
                             analysis);
        },
        message);
}
