// The row below the Sound frame that tunes the sound to a note: a note
// entry, the choice of partial, the Tune button (Control+T) and a line that
// says where the partial landed or why the note is out of reach.
#pragma once

#include <gtk/gtk.h>

//! The note entry, the partial choice (0 lowest, 1 strongest) and the line.
extern GtkWidget *tune_note_entry, *tune_partial_combo, *tune_result_label;

//! Builds the row; its key goes into `accel`.
GtkWidget *build_tune_row(GtkAccelGroup *accel);

//! Tunes the speed so that the chosen partial lands on the note in the
//! entry, at the playback rate and the sample length the window shows. On
//! success the Speed row shows the new speed (kept at full precision), the
//! sound is rendered and the Sound frame shows it; otherwise nothing changes
//! and the line says why.
void on_tune(GtkWidget *, gpointer);
