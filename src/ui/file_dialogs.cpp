// File dialogs: one chooser per record, made once and hidden between uses.
#include "file_dialogs.h"

#include <glib/gstdio.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "config_registry.h"
#include "file_names.h"
#include "intl.h"
#include "message_dialog.h"
#include "window_state.h"

namespace {

struct GFree {
    void operator()(gchar *text) const { g_free(text); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

// The action messages of all three file dialogs share this one dialog.
GtkWidget *file_message_dialog = nullptr;
// Asked before a save replaces an existing file; shared by every dialog.
GtkWidget *overwrite_query = nullptr;

bool something_exists(const std::string &file_name)
{
    GStatBuf st;
    return g_lstat(file_name.c_str(), &st) == 0;
}

bool overwrite_confirmed(GtkWidget *chooser)
{
    if (!overwrite_query) {
        overwrite_query = gtk_message_dialog_new(GTK_WINDOW(chooser), GTK_DIALOG_MODAL,
                                                 GTK_MESSAGE_QUESTION, GTK_BUTTONS_OK_CANCEL,
                                                 nullptr);
        gui_keep_on_close(overwrite_query);
        gtk_window_set_title(GTK_WINDOW(overwrite_query), _("File overwriting query"));
        gtk_message_dialog_set_markup(GTK_MESSAGE_DIALOG(overwrite_query),
                                      _("Warning! File exists!\nWould you like to overwrite it?"));
    }
    // Kept above whichever chooser asks now.
    gtk_window_set_transient_for(GTK_WINDOW(overwrite_query), GTK_WINDOW(chooser));
    const gint response = gtk_dialog_run(GTK_DIALOG(overwrite_query));
    gtk_widget_hide(overwrite_query);
    return response == GTK_RESPONSE_OK;
}

// Runs the chooser until the user confirms a local file the action may use,
// or gives up (std::nullopt).
std::optional<std::string> choose_file(const FileDialog &fd)
{
    for (;;) {
        if (gtk_dialog_run(GTK_DIALOG(fd.dialog)) != GTK_RESPONSE_OK)
            return std::nullopt;
        const GCharPtr chosen(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(fd.dialog)));
        if (!chosen) {
            // A location that is not a file on this computer: the actions
            // need a file name, so the chooser runs again.
            gui_message_dialog(&file_message_dialog,
                               _("Please choose a file on this computer."),
                               GTK_MESSAGE_ERROR, N_("Error!"));
            continue;
        }
        std::string file_name = chosen.get();
        if (fd.action == GTK_FILE_CHOOSER_ACTION_OPEN)
            return file_name;
        if (conf_get_bool(conf_auto_ext))
            file_name = complete_extension(file_name, fd.ext);
        if (conf_get_bool(conf_overwrite_warning) && something_exists(file_name) &&
            !overwrite_confirmed(fd.dialog))
            continue; // the chooser comes back with the user's selection
        return file_name;
    }
}

// The folder a chooser was last seen in or sent to, kept on the chooser: it
// changes folders in the background and names none while it loads one.
constexpr const char *known_folder_key = "clangwright-known-folder";

void set_folder(GtkWidget *chooser, const std::string &folder)
{
    g_object_set_data_full(G_OBJECT(chooser), known_folder_key, g_strdup(folder.c_str()), g_free);
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder.c_str());
}

void on_folder_changed(GtkFileChooser *chooser, gpointer)
{
    if (gchar *folder = gtk_file_chooser_get_current_folder(chooser))
        g_object_set_data_full(G_OBJECT(chooser), known_folder_key, folder, g_free);
}

bool is_folder(const char *path)
{
    return path && g_file_test(path, G_FILE_TEST_IS_DIR);
}

// A chooser never opens without a folder: in the toolkit's list of recent
// files a typed path is not taken as typed. One left in a folder that has
// since gone opens where a fresh one would; one that names no folder (still
// loading, or left in that list) goes back to the last folder it knew.
void open_in_a_folder(GtkWidget *chooser)
{
    const GCharPtr current(gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser)));
    if (is_folder(current.get()))
        return;
    const auto *known = static_cast<const char *>(g_object_get_data(G_OBJECT(chooser),
                                                                    known_folder_key));
    if (!current && is_folder(known))
        set_folder(chooser, known);
    else
        set_folder(chooser, chooser_start_folder(std::nullopt));
}

// The library folder offered in the sidebar, kept on the chooser.
constexpr const char *examples_key = "clangwright-examples-folder";

// True when `file_name` lies in the chooser's library folder, reached through
// its link or not.
bool in_examples(const FileDialog &fd, const std::string &file_name)
{
    const auto *examples = static_cast<const char *>(g_object_get_data(G_OBJECT(fd.dialog),
                                                                       examples_key));
    if (!examples)
        return false;
    std::error_code error;
    const std::filesystem::path library = std::filesystem::canonical(examples, error);
    if (error)
        return false;
    const std::filesystem::path folder =
        std::filesystem::canonical(std::filesystem::path(file_name).parent_path(), error);
    if (error)
        return false;
    const auto [end, rest] = std::mismatch(library.begin(), library.end(), folder.begin(),
                                           folder.end());
    return end == library.end();
}

void remember_folder(const FileDialog &fd, const std::string &file_name)
{
    const std::string folder = folder_of(file_name);
    const GCharPtr utf8(g_filename_to_utf8(folder.c_str(), -1, nullptr, nullptr, nullptr));
    conf_set_string(fd.path_index, utf8 ? std::optional<std::string>(utf8.get()) : std::nullopt);
}

void report(int result, const std::string &message)
{
    if (result == 0)
        return;
    if (result == -1)
        gui_message_dialog(&file_message_dialog, message.c_str(), GTK_MESSAGE_ERROR, N_("Error!"));
    else
        gui_errno_dialog(message.c_str(), result);
}

// Two buttons of the toolkit's chooser break it:
// - The arrows that scroll the bar of folder buttons act on the buttons the
//   bar holds, without checking that it holds any: while the bar is being
//   refilled (the chooser changes folders in the background) an arrow that
//   kept the keyboard focus and is pressed with Space or Return ends the
//   program. The arrows are left to the mouse; the keyboard reaches every
//   folder through the buttons and the location entry.
// - "Create Folder" adds a row to the file list to type the new name in; a
//   change of folder during the typing (a place in the sidebar, a path
//   typed and confirmed) leaves the chooser removing that row from the new
//   folder's list, where it never was. The button is not offered.
void tame_chooser_buttons(GtkWidget *widget, gpointer in_path_bar)
{
    if (in_path_bar && GTK_IS_BUTTON(widget) && !GTK_IS_TOGGLE_BUTTON(widget))
        gtk_widget_set_can_focus(widget, FALSE);
    const gchar *label = GTK_IS_BUTTON(widget) ? gtk_button_get_label(GTK_BUTTON(widget)) : nullptr;
    if (label && std::strcmp(label, g_dgettext("gtk20", "Create Fo_lder")) == 0) {
        gtk_widget_hide(widget);
        // The chooser shows it again whenever its mode allows one.
        g_signal_connect_after(widget, "show", G_CALLBACK(gtk_widget_hide), nullptr);
    }
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), tame_chooser_buttons,
                             GINT_TO_POINTER(std::strcmp(G_OBJECT_TYPE_NAME(widget),
                                                         "GtkPathBar") == 0));
}

} // namespace

FileDialog *gui_create_file_dialog(const char *title, int32_t path_index, const char *ext,
                                   const char *pattern, const char *filter_name, int32_t action,
                                   FileAction callback)
{
    g_assert(path_index >= 0 && path_index <= G_MAXINT8);
    GtkFileFilter *filter = gtk_file_filter_new();
    auto *fd = new FileDialog{};

    constexpr guint chooser_border = 10;
    fd->dialog = gtk_file_chooser_dialog_new(
        _(title), main_window ? GTK_WINDOW(main_window) : nullptr, GtkFileChooserAction(action),
        GTK_STOCK_OK, GTK_RESPONSE_OK, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, nullptr);
    gtk_container_set_border_width(GTK_CONTAINER(fd->dialog), chooser_border);
    gtk_window_set_modal(GTK_WINDOW(fd->dialog), TRUE);
    // The chooser stays on screen while its action runs (a Save WAV renders
    // first); a close request then must not destroy it under the run
    // procedure, and it is ignored: the action finishes and the chooser hides.
    gui_keep_on_close(fd->dialog);
    tame_chooser_buttons(fd->dialog, nullptr);

    gtk_file_filter_set_name(filter, _(filter_name));
    gtk_file_filter_add_pattern(filter, pattern);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(fd->dialog), filter);
    gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(fd->dialog), filter);

    GtkFileFilter *all = gtk_file_filter_new();
    gtk_file_filter_set_name(all, _("All files"));
    gtk_file_filter_add_pattern(all, "*");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(fd->dialog), all);

    const std::optional<std::string> folder = conf_get_string(path_index);
    const GCharPtr local(folder ? g_filename_from_utf8(folder->c_str(), -1, nullptr, nullptr,
                                                       nullptr)
                                : nullptr);
    g_signal_connect(fd->dialog, "current-folder-changed", G_CALLBACK(on_folder_changed),
                     nullptr);
    set_folder(fd->dialog, chooser_start_folder(local ? std::optional<std::string>(local.get())
                                                      : std::nullopt));

    fd->ext = ext;
    fd->action = action;
    fd->path_index = static_cast<int8_t>(path_index);
    fd->callback = callback;
    return fd;
}

void gui_run_file_dialog(GtkWidget *, gpointer file_dialog)
{
    const FileDialog &fd = *static_cast<FileDialog *>(file_dialog);
    open_in_a_folder(fd.dialog);
    const std::optional<std::string> file_name = choose_file(fd);
    if (file_name) {
        // The library is read-only: the next save starts in the user's
        // own folder, not there.
        if (!in_examples(fd, *file_name))
            remember_folder(fd, *file_name);
        std::string message;
        const int result = fd.callback(&instrument, file_name->c_str(), message);
        report(result, message);
    }
    gtk_widget_hide(fd.dialog);
}

void gui_offer_examples(FileDialog *fd, const std::string &folder)
{
    if (!is_folder(folder.c_str()))
        return;
    gtk_file_chooser_add_shortcut_folder(GTK_FILE_CHOOSER(fd->dialog), folder.c_str(), nullptr);
    g_object_set_data_full(G_OBJECT(fd->dialog), examples_key, g_strdup(folder.c_str()), g_free);
    const std::optional<std::string> remembered = conf_get_string(fd->path_index);
    if (!remembered || remembered->empty())
        set_folder(fd->dialog, folder);
}
