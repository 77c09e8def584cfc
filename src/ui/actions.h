// The toolbar actions that are not dialogs (Play, Stop, About, Close), the
// Save WAV file action, and the status area.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "instrument.h"

//! Idle (true): busy buttons sensitive, Stop insensitive; rendering: the
//! opposite.
void set_ready_state(bool ready);

//! The render loop's progress callback: sets the bar (clamped to 0..1) and
//! runs every pending toolkit event.
void on_render_progress(void *user, float fraction);

//! Renders `instrument` at `rate_hz` unless the sound is current at that
//! rate; shows "Rendering...", then "Ready..." and the real length.
void render_if_needed(int32_t rate_hz);

void on_play(GtkWidget *widget, gpointer data);
void on_stop(GtkWidget *widget, gpointer data);
void on_about(GtkWidget *widget, gpointer data);
gboolean on_quit(GtkWidget *widget, gpointer data);

//! The Save WAV dialog's file action: renders at the export rate when needed
//! and writes the WAV file.
int save_wav_action(Instrument *ins, const char *file_name, std::string &message);
