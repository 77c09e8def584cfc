// Reusable modal message dialogs and a helper for text combo boxes.
//
// Every dialog made here is kept, hidden between uses, until the program
// ends. Its parent is main_window when that exists at the dialog's first use.
// Texts always appear exactly as typed: "<" and "&" (in a file name, say) are
// never taken for markup, neither at a dialog's first use nor at its reuse.
#pragma once

#include <gtk/gtk.h>

//! Shows `text` in the message dialog kept in `*slot`, made at the slot's
//! first use with message type `type` and the translation of `title` (these
//! two then stay the dialog's for every later message). Runs the dialog
//! modally and returns when the user has closed it. `text` stays the
//! caller's. The slot starts null.
void gui_message_dialog(GtkWidget **slot, const char *text, GtkMessageType type, const char *title);

//! Shows "<text>: <system text of errnum>" in the program's one error dialog
//! for system errors (title "Error!"), modally; `text` stays the caller's.
void gui_errno_dialog(const char *text, int errnum);

//! In a text combo box (a list store with the texts in column 0), makes the
//! first row whose text equals `text` ignoring ASCII case the active one and
//! returns 1; a row without text ends the search. Without a match, inserts
//! `text` as the first row, makes it active and returns 0.
int gui_combo_box_prepend_text_or_set_active(GtkComboBox *combo, const char *text);

//! Keeps a dialog that is made once from ever being destroyed by a close
//! request (Escape, the window manager's close button). While the dialog is
//! run, the close still ends the run with GTK_RESPONSE_DELETE_EVENT, which
//! the dialog itself emits before this handler; while it is shown but not
//! run (a chooser that waits for its action to finish), the request does
//! nothing and the dialog stays until its owner hides it.
void gui_keep_on_close(GtkWidget *dialog);

//! Shows a sound driver error in the one dialog that serves all driver
//! errors (type error, title "Error!"). Fits cwr_set_error_reporter.
void gui_driver_error_dialog(const char *text);
