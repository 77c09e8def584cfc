// The Sound frame: the waveform of the last render, its spectrum or its
// spectrogram as the user chooses, and one line with its lowest and
// strongest partial, T60 and peak level.
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

//! What the graph below the waveform shows.
enum class SoundView { spectrum, spectrogram };

//! The graphs, the choice of the lower one ("Spectrum", "Spectrogram") and
//! the line, made by build_sound_frame.
extern GtkWidget *sound_waveform_area, *sound_graph_area, *sound_view_combo, *sound_line_label;

//! Builds the frame, empty until the first render, showing the view chosen
//! last (sound_panel_read_settings). Called once by the main window.
GtkWidget *build_sound_frame();

//! A render has replaced the sound: `frames` frames of `samples` at
//! `rate_hz`. The frame forgets the analysis it shows, copies the frames and
//! has them analysed; 0 frames (a stopped render) leaves it empty. Main
//! thread; returns at once.
void sound_panel_rendered(uint64_t frames, int32_t rate_hz);

//! The analysis the frame shows; null while there is none (before the first
//! render, while the last one is being analysed, after a stopped render).
const SoundAnalysis *sound_panel_analysis();

//! What the graph shows for the pointer: on the spectrum "1000.0 Hz · B5
//! +48.7 cents", on the spectrogram "0.52 s · 1000.0 Hz · B5 +48.7 cents";
//! empty while the pointer is not over its plotting area.
const std::string &sound_panel_pointer_text();

//! The view chosen, and a choice made as the combo box would make it.
SoundView sound_panel_view();
void sound_panel_set_view(SoundView view);

//! The choice in the settings key file beside the configuration (group
//! "sound", key "view": "spectrogram"; missing, or any other value, reads as
//! the spectrum). Read before the frame is built, null for no file; written
//! only for the spectrogram, so that the file of the spectrum stays as it
//! was.
void sound_panel_read_settings(GKeyFile *keys);
void sound_panel_write_settings(GKeyFile *keys);
