// What the pictures of a sound share.
#include "plot_support.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <numbers>

#include "file_save.h"
#include "intl.h"

namespace plot {

namespace {

// Text size follows the graph's size, within what stays readable.
constexpr double font_min = 8.0, font_max = 13.0;
constexpr double font_per_height = 1.0 / 13.0, font_per_width = 1.0 / 45.0;
// Margins around a graph's plotting area, in text heights.
constexpr double margin_left = 4.6, margin_top = 0.8, margin_bottom = 3.0;

struct PngWrite {
    int fd;
    int error_number = 0;
};

cairo_status_t write_png_bytes(void *closure, const unsigned char *data, unsigned int length)
{
    auto *w = static_cast<PngWrite *>(closure);
    while (length > 0) {
        const ssize_t n = ::write(w->fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            w->error_number = errno;
            return CAIRO_STATUS_WRITE_ERROR;
        }
        data += n;
        length -= static_cast<unsigned int>(n);
    }
    return CAIRO_STATUS_SUCCESS;
}

struct SurfaceDestroy {
    void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct ContextDestroy {
    void operator()(cairo_t *c) const { cairo_destroy(c); }
};

} // namespace

void set_colour(cairo_t *cr, const Rgb &c)
{
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

double font_size(const PlotRect &outer)
{
    return std::clamp(std::min(outer.height * font_per_height, outer.width * font_per_width),
                      font_min, font_max);
}

PlotRect inner(const PlotRect &outer, double right_fonts)
{
    const double f = font_size(outer);
    const double x0 = std::round(outer.x + margin_left * f);
    const double y0 = std::round(outer.y + margin_top * f);
    const double x1 = std::round(outer.x + outer.width - right_fonts * f);
    const double y1 = std::round(outer.y + outer.height - margin_bottom * f);
    return {x0, y0, std::max(x1 - x0, 1.0), std::max(y1 - y0, 1.0)};
}

// Text whose anchor point (fractions of its extents: 0 left/top, 1
// right/bottom) lies at (x, y).
void text_at(cairo_t *cr, double x, double y, const std::string &text, double ax, double ay)
{
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_move_to(cr, x - e.x_bearing - ax * e.width, y - e.y_bearing - ay * e.height);
    cairo_show_text(cr, text.c_str());
}

void vertical_text(cairo_t *cr, double x, double y, const std::string &text)
{
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_rotate(cr, -std::numbers::pi / 2.0);
    text_at(cr, 0.0, 0.0, text, 0.5, 0.0);
    cairo_restore(cr);
}

// 1, 2 or 5 times a power of ten, the smallest at least `rough`.
double nice_step(double rough)
{
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double m : {1.0, 2.0, 5.0})
        if (m * power >= rough)
            return m * power;
    return 10.0 * power;
}

void begin_graph(cairo_t *cr, const PlotRect &outer, const PlotRect &plot)
{
    cairo_save(cr);
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, font_size(outer));
    cairo_set_line_width(cr, 1.0);
    set_colour(cr, ground);
    cairo_rectangle(cr, plot.x, plot.y, plot.width, plot.height);
    cairo_fill(cr);
}

void end_graph(cairo_t *cr, const PlotRect &plot)
{
    set_colour(cr, ink);
    cairo_rectangle(cr, plot.x + 0.5, plot.y + 0.5, plot.width - 1.0, plot.height - 1.0);
    cairo_stroke(cr);
    cairo_restore(cr);
}

void grid_line(cairo_t *cr, double x0, double y0, double x1, double y1)
{
    set_colour(cr, grid);
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
    cairo_stroke(cr);
}

int save_png(const char *file_name, int width, int height,
             const std::function<void(cairo_t *)> &draw, std::string &message)
{
    const std::unique_ptr<cairo_surface_t, SurfaceDestroy> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    {
        const std::unique_ptr<cairo_t, ContextDestroy> cr(cairo_create(surface.get()));
        draw(cr.get());
    }
    int result = -1;
    if (cairo_surface_status(surface.get()) == CAIRO_STATUS_SUCCESS) {
        result = file_save(file_name, [&surface](int fd) {
            PngWrite w{fd};
            const cairo_status_t status =
                cairo_surface_write_to_png_stream(surface.get(), write_png_bytes, &w);
            if (status == CAIRO_STATUS_SUCCESS)
                return 0;
            return w.error_number != 0 ? w.error_number : -1;
        });
    }
    if (result != 0)
        message = format(_("Could not write file %s"), file_name);
    return result;
}

} // namespace plot
