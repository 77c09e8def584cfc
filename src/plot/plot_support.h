// What the pictures of a sound share: colours, text and its size, the
// margins around a graph and its frame, and the PNG file. No GTK.
#pragma once

#include <cairo.h>
#include <glib.h>

#include <functional>
#include <memory>
#include <string>

#include "sound_plot.h"

namespace plot {

struct Rgb {
    double r, g, b;
};
constexpr Rgb ground = {1.0, 1.0, 1.0};
constexpr Rgb ink = {0.15, 0.15, 0.15};
constexpr Rgb grid = {0.86, 0.86, 0.86};

// Ticks: at most one per this many text heights.
constexpr double tick_spacing_fonts = 6.0;

// Without a sound the axes show 1 s and the range of a 48000 Hz sound.
constexpr double empty_length_s = 1.0;
constexpr double empty_low_hz = 20.0, empty_high_hz = 24000.0;

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

template <typename... Args> std::string format(const char *fmt, Args... args)
{
    const GCharPtr text(g_strdup_printf(fmt, args...));
    return text.get();
}

void set_colour(cairo_t *cr, const Rgb &c);

//! Text size for a graph drawn in `outer`: it follows the graph's size,
//! within what stays readable.
double font_size(const PlotRect &outer);

//! The plotting area inside a graph's margins, on whole pixels, so that
//! one-pixel bars do not blur into each other; `right_fonts` text heights
//! are left on the right (more for a colour scale).
PlotRect inner(const PlotRect &outer, double right_fonts = 1.2);

//! Text whose anchor point (fractions of its extents: 0 left/top, 1
//! right/bottom) lies at (x, y).
void text_at(cairo_t *cr, double x, double y, const std::string &text, double ax, double ay);
void vertical_text(cairo_t *cr, double x, double y, const std::string &text);

//! 1, 2 or 5 times a power of ten, the smallest at least `rough`.
double nice_step(double rough);

//! A graph's ground, font and line; end_graph draws its frame.
void begin_graph(cairo_t *cr, const PlotRect &outer, const PlotRect &plot);
void end_graph(cairo_t *cr, const PlotRect &plot);
void grid_line(cairo_t *cr, double x0, double y0, double x1, double y1);

//! Draws with `draw` on a `width` x `height` picture and saves it as PNG
//! through file_save. Returns 0, a system error number or -1; on failure sets
//! `message` to "Could not write file <name>" (translated).
int save_png(const char *file_name, int width, int height,
             const std::function<void(cairo_t *)> &draw, std::string &message);

} // namespace plot
