// The three file dialogs (Save WAV, Save presets, Load presets): one record
// type and one run procedure.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "file_action.h"

//! A file chooser made once and reused, with what its run needs.
struct FileDialog {
    GtkWidget *dialog;  // the chooser; hidden between uses
    int32_t action;     // 0 open, 1 save: only saves complete and ask
    const char *ext;    // extension to complete, without the dot
    int8_t path_index;  // registry index of the remembered folder ("…/")
    FileAction callback;
};

//! A new dialog: translated `title` and `filter_name`, first filter
//! `pattern`, second "All files"; opens in the folder stored at
//! `path_index` (0..127). `action` is GTK_FILE_CHOOSER_ACTION_OPEN or _SAVE.
FileDialog *gui_create_file_dialog(const char *title, int32_t path_index, const char *ext,
                                   const char *pattern, const char *filter_name, int32_t action,
                                   FileAction callback);

//! Runs the dialog (toolbar "clicked" handler, `file_dialog` as user data):
//! completes the extension and asks before overwriting (saves only, each
//! under its setting), remembers the folder, runs the action and reports its
//! failure.
void gui_run_file_dialog(GtkWidget *widget, gpointer file_dialog);

//! Offers `folder` (the preset library) in the chooser's sidebar, where the
//! toolkit labels it with the folder's own name; the chooser opens there
//! while no folder is remembered, and a file chosen there does not become
//! the remembered folder. Does nothing when `folder` is no folder.
void gui_offer_examples(FileDialog *fd, const std::string &folder);
