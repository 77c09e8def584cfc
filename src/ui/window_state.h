// The state of the user interface, shared by its modules for the whole run.
//
// Everything here lives on the toolkit's main thread. A render (through the
// progress callback) and a playback (through the pump's event hook) run
// pending events, so any handler may run nested inside them. What a nested
// handler may change, and why that is safe:
//
// - `instrument` fields: every parameter handler writes them while a render
//   reads them. The render loop reads speed, actuation and the sampling node
//   afresh at each step but keeps the object it built at its start; it only
//   reads a sampling node that lies inside that object (otherwise it keeps
//   the last valid one), so a change of shape, size or node cannot make it
//   index outside the object.
// - `instrument.stop`: set by Stop; both the render loop and the pump poll it.
// - `need_render`: set by any parameter handler, also during a render. A
//   render has already read some values (sizes, velocity, length) when such
//   a change comes, so `render_if_needed` clears the flag before it renders
//   and sets it again when the render produced nothing: a change made during
//   a render is rendered at the next request.
// - `samples` / `sample_count`: replaced only by do_render. do_render never
//   runs nested inside itself: `render_if_needed` refuses to start while
//   `rendering` is set, whatever the buttons' sensitivity. A render nested in
//   a playback (Play, Space or Save WAV during a playback) replaces the
//   sound; the pump sees the new render generation and either plays the new
//   sound from its start (a nested Play rewinds it) or ends (Save WAV).
// - `driver`: the setup dialog may switch it under a playback; the pump reads
//   it afresh after every event run.
// - `preview_object`: replaced by the parameter handlers; only the 3D view
//   reads it, never a render.
// - Close during a render or a playback: gtk_main_quit takes effect when
//   control returns to the main loop, i.e. after the render or playback ends.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

#include "cw_metal_obj.h"
#include "instrument.h"
#include "main_window_ref.h"

struct FileDialog;

//! The one Instrument the window edits, renders and plays.
extern Instrument instrument;

//! Notebook with the pages "Tube", "Rod", "Plane"; page index = shape value.
extern GtkWidget *shape_notebook;
//! Node spin buttons per shape (index TYPE_TUBE, TYPE_ROD, TYPE_PLANE).
extern GtkWidget *actuation_spin[3];
extern GtkWidget *sampling_spin[3];
extern GtkWidget *tube_height_spin, *tube_circumference_spin, *rod_length_spin,
    *plane_length_spin, *plane_width_spin;
extern GtkWidget *tension_scale, *speed_scale, *damping_scale, *velocity_scale;
extern GtkWidget *actuation_combo;
extern GtkWidget *decay_check, *decay_scale;
//! The Sample Length scale.
extern GtkWidget *length_scale;
extern GtkWidget *progress_bar, *length_label;
//! The OpenGL drawing area of the 3D view; null without an OpenGL configuration.
extern GtkWidget *view_area;

//! Toolbar buttons insensitive while a render runs (Open Presets, Play, Save WAV).
extern GSList *busy_buttons;
//! Toolbar buttons sensitive only while a render or playback runs (Stop).
extern GSList *stop_buttons;
//! Buttons whose trial renders must not run inside a render (Randomise,
//! Mutate): insensitive while a render runs, like busy_buttons.
extern GSList *trial_buttons;

extern FileDialog *wav_dialog, *save_presets_dialog, *load_presets_dialog;

//! Current playback and WAV export rates in Hz.
extern int32_t playback_rate, export_rate;
//! Registry indexes of "auto_ext", "overwrite_warning", "rate", "export_rate".
extern int32_t conf_auto_ext, conf_overwrite_warning, conf_rate, conf_export_rate;

//! Set when a value that affects the sound changed since the last render.
extern int32_t need_render;
//! Rate in Hz of the last render that produced frames; 0 before the first.
extern int32_t last_render_rate;
//! Non-zero while do_render runs (guards against a nested render).
extern int32_t rendering;
//! The object the 3D view draws; owned here, replaced by render_object.
extern MetalObj *preview_object;
//! Called by the parameter handlers after every change of the sound (the
//! undo history listens); null calls nothing.
extern void (*sound_change_hook)();
