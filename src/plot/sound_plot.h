// Pictures of an analysed sound, drawn with cairo on any surface: the window
// hands over the cairo_t of an expose, the command line one of an image
// written as PNG. No GTK.
#pragma once

#include <cairo.h>

#include <optional>
#include <string>

#include "sound_analysis.h"

//! A rectangle of the drawing, in its units (pixels for the window and PNG).
struct PlotRect {
    double x = 0.0, y = 0.0, width = 0.0, height = 0.0;
};

//! The waveform in `outer` (axes and their labels included): time in s
//! across, full scale +-1 up. An analysis of no frames draws the empty axes.
void draw_waveform(cairo_t *cr, const PlotRect &outer, const SoundAnalysis &analysis);

//! The spectrum in `outer` (axes and their labels included): frequency in Hz
//! on a logarithmic axis across, level in dB up, every partial marked and
//! labelled with its note (as many labels as fit without overlapping, the
//! strongest partials first).
void draw_spectrum(cairo_t *cr, const PlotRect &outer, const SoundAnalysis &analysis);

//! Both graphs on a `width` x `height` picture on a white ground: the
//! waveform above, the spectrum below.
void draw_sound(cairo_t *cr, double width, double height, const SoundAnalysis &analysis);

//! The rectangle inside the axes of a graph drawn in `outer`.
PlotRect plot_area(const PlotRect &outer);

//! A hairline at `x` across the plotting area of a spectrum drawn in
//! `outer`, with `text` in a box beside it near the foot: what lies under
//! the pointer.
void draw_pointer(cairo_t *cr, const PlotRect &outer, double x, const std::string &text);
//! The same over the plotting area `plot` of a graph drawn in `outer` (a
//! spectrogram's, which leaves room for its colour scale).
void draw_pointer(cairo_t *cr, const PlotRect &outer, const PlotRect &plot, double x,
                  const std::string &text);

//! The frequency shown at the point (x, y) of a spectrum drawn in `outer`;
//! nothing when the point lies outside its graph.
std::optional<double> spectrum_freq_at(const PlotRect &outer, const SoundAnalysis &analysis,
                                       double x, double y);

//! Draws the analysis (draw_sound) as a PNG picture of `width` x `height`
//! pixels saved as `file_name` through file_save. Returns 0, a system error
//! number or -1; on failure sets `message` to "Could not write file <name>"
//! (translated).
int save_sound_png(const char *file_name, const SoundAnalysis &analysis, int width, int height,
                   std::string &message);
