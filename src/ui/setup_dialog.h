// The program setup dialog: sound driver, playback and export rates, and the
// two file-dialog behaviours.
#pragma once

#include <gtk/gtk.h>

//! Toolbar handler: runs the dialog (made at first use) and applies OK.
void on_program_setup(GtkWidget *widget, gpointer data);
