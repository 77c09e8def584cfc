// The Sound frame: the waveform and the spectrum of the last render, and one
// line with its lowest and strongest partial, T60 and peak level.
//
// A render hands its frames over with sound_panel_rendered; they are copied
// and analysed on a worker thread, so that a playback starts without waiting
// for the analysis. The result comes back through the main loop (during a
// playback, the pump's event runs deliver it) and is shown only if no render
// has replaced the sound meanwhile. Everything else here runs on the main
// thread.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "sound_analysis.h"

//! The graphs and the line, made by build_sound_frame.
extern GtkWidget *sound_waveform_area, *sound_spectrum_area, *sound_line_label;

//! Builds the frame, empty until the first render. Called once by the main
//! window.
GtkWidget *build_sound_frame();

//! A render has replaced the sound: `frames` frames of `samples` at
//! `rate_hz`. The frame forgets the analysis it shows, copies the frames and
//! has them analysed; 0 frames (a stopped render) leaves it empty. Main
//! thread; returns at once.
void sound_panel_rendered(uint64_t frames, int32_t rate_hz);

//! The analysis the frame shows; null while there is none (before the first
//! render, while the last one is being analysed, after a stopped render).
const SoundAnalysis *sound_panel_analysis();

//! What the spectrum shows for the pointer ("1000.0 Hz · B5 +48.7 cents");
//! empty while the pointer is not over its graph.
const std::string &sound_panel_pointer_text();
