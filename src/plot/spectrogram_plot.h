// The spectrogram of an analysed sound, drawn with cairo on any surface:
// time across, frequency up on a logarithmic axis, level as colour with its
// scale, and the partials' tracks drawn over it, each labelled with the note
// it settles on. No GTK.
#pragma once

#include <cairo.h>

#include <optional>
#include <string>

#include "sound_analysis.h"
#include "sound_plot.h"

//! The spectrogram in `outer` (axes, labels and the colour scale included).
//! An analysis without a spectrogram (a sound shorter than one frame) draws
//! the empty axes.
void draw_spectrogram(cairo_t *cr, const PlotRect &outer, const SoundAnalysis &analysis);

//! The time and frequency shown at the point (x, y) of a spectrogram drawn
//! in `outer`; nothing outside its plotting area.
struct SpectrogramPoint {
    double t_s = 0.0, freq_hz = 0.0;
};
std::optional<SpectrogramPoint> spectrogram_point_at(const PlotRect &outer,
                                                     const SoundAnalysis &analysis, double x,
                                                     double y);

//! The plotting area of a spectrogram drawn in `outer`.
PlotRect spectrogram_area(const PlotRect &outer);

//! Draws the spectrogram on a white ground as a PNG picture of `width` x
//! `height` pixels saved as `file_name` through file_save. Returns 0, a
//! system error number or -1; on failure sets `message` to "Could not write
//! file <name>" (translated).
int save_spectrogram_png(const char *file_name, const SoundAnalysis &analysis, int width,
                         int height, std::string &message);
