// Message dialogs: made at their first use, then hidden and reused.
#include "message_dialog.h"

#include <memory>

#include "intl.h"
#include "main_window_ref.h"

namespace {

struct GFree {
    void operator()(gchar *text) const { g_free(text); }
};

GtkWidget *errno_dialog = nullptr;
GtkWidget *driver_error_dialog = nullptr;

gboolean refuse_close(GtkWidget *, GdkEvent *, gpointer)
{
    return TRUE;
}

GtkWidget *make_message_dialog(const char *text, GtkMessageType type, const char *title)
{
    GtkWidget *dialog =
        gtk_message_dialog_new(main_window ? GTK_WINDOW(main_window) : nullptr, GTK_DIALOG_MODAL,
                               type, GTK_BUTTONS_CLOSE, "%s", text);
    gtk_window_set_title(GTK_WINDOW(dialog), _(title));
    gui_keep_on_close(dialog);
    return dialog;
}

// A reused dialog gets the new text as plain text, so that a file name with
// "<" or "&" reads as typed and never breaks the markup.
void set_plain_text(GtkWidget *dialog, const char *text)
{
    g_object_set(G_OBJECT(dialog), "use-markup", FALSE, "text", text, nullptr);
}

void run_and_hide(GtkWidget *dialog)
{
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_hide(dialog);
}

} // namespace

void gui_keep_on_close(GtkWidget *dialog)
{
    // Connected after the dialog's own handler, which turns the request into
    // a response first; returning TRUE then stops the default destruction.
    g_signal_connect(dialog, "delete-event", G_CALLBACK(refuse_close), nullptr);
}

void gui_message_dialog(GtkWidget **slot, const char *text, GtkMessageType type, const char *title)
{
    if (*slot)
        set_plain_text(*slot, text);
    else
        *slot = make_message_dialog(text, type, title);
    run_and_hide(*slot);
}

void gui_errno_dialog(const char *text, int errnum)
{
    const std::unique_ptr<gchar, GFree> message(g_strdup_printf("%s: %s", text, g_strerror(errnum)));
    if (errno_dialog)
        set_plain_text(errno_dialog, message.get());
    else
        errno_dialog = make_message_dialog(message.get(), GTK_MESSAGE_ERROR, N_("Error!"));
    run_and_hide(errno_dialog);
}

int gui_combo_box_prepend_text_or_set_active(GtkComboBox *combo, const char *text)
{
    GtkTreeModel *model = gtk_combo_box_get_model(combo);
    GtkTreeIter iter;
    int index = 0;
    for (gboolean row = gtk_tree_model_get_iter_first(model, &iter); row;
         row = gtk_tree_model_iter_next(model, &iter), ++index) {
        gchar *raw = nullptr;
        gtk_tree_model_get(model, &iter, 0, &raw, -1);
        const std::unique_ptr<gchar, GFree> row_text(raw);
        if (!row_text)
            break;
        if (g_ascii_strcasecmp(row_text.get(), text) == 0) {
            gtk_combo_box_set_active(combo, index);
            return 1;
        }
    }
    GtkListStore *store = GTK_LIST_STORE(model);
    gtk_list_store_prepend(store, &iter);
    gtk_list_store_set(store, &iter, 0, text, -1);
    gtk_combo_box_set_active(combo, 0);
    return 0;
}

void gui_driver_error_dialog(const char *text)
{
    gui_message_dialog(&driver_error_dialog, text, GTK_MESSAGE_ERROR, N_("Error!"));
}
