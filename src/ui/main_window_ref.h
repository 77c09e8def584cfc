// The program's top-level window, for the parts of the user interface that
// need it as the parent of their dialogs.
#pragma once

#include <gtk/gtk.h>

//! The main window; null until it has been made. Dialogs made before that
//! have no parent.
extern GtkWidget *main_window;
