// The second toolbar row: Randomise, Mutate, Undo, Redo, "Play on change"
// and the locks, with the history of the sound behind Undo and Redo.
//
// Every change of the sound (a widget, a loaded preset, Randomise, Mutate,
// an undo step) reaches the history through the parameter handlers. Changes
// that follow each other closely, or come while a mouse button is held (a
// slider drag, a held spin-button arrow), make one step: a step is recorded
// once the sound has stayed the same for a moment with no button held, and
// at once before Undo, Redo, Randomise and Mutate.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "explore.h"

//! Builds the row; its keys go into `accel`: Control+R Randomise,
//! Control+M Mutate, Control+Z Undo, Control+Shift+Z and Control+Y Redo.
//! Starts the history with the sound the window shows.
GtkWidget *gui_create_explore_bar(GtkAccelGroup *accel);

//! Starts the history with the sound the window shows now; the window
//! calls it once everything is built.
void gui_start_sound_history();

//! The actions behind the buttons.
void on_randomise(GtkWidget *, gpointer);
void on_mutate(GtkWidget *, gpointer);
void on_undo(GtkWidget *, gpointer);
void on_redo(GtkWidget *, gpointer);

//! The sound the window shows: the instrument and the sample length.
SoundParams gui_current_sound();

//! Shows `params` in every widget (whose handlers write the instrument), as
//! a preset load would, but with the nodes, the sizes of every shape, the
//! length and the decay as well. Records no history step of its own.
void gui_show_sound(const SoundParams &params);

//! Records a pending change now, if there is one.
void gui_flush_sound_history();

//! The lock of each group, as the check items of the Locks menu show it.
Locks gui_locks();
//! Whether "Play on change" is on.
bool gui_play_on_change();

//! The check item of a group in the Locks menu, and the toggle of "Play on
//! change" (for tests and scripting).
GtkWidget *gui_lock_item(LockGroup group);
GtkToolItem *gui_play_on_change_toggle();

//! The small file beside the configuration that keeps the locks, the toggle
//! and the Sound frame's graph from one run to the next (the configuration
//! document stays as it is). Set before the window is built; none keeps
//! nothing.
void gui_set_explore_settings_file(const std::string &file_name);
//! Writes that file; 0, or a system error number or -1 when it failed.
int gui_save_explore_settings();
