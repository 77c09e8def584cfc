// Message dialogs and the combo-box helper, on a real (virtual) X display.
// A dialog is closed from a timeout while it runs, after its state has been
// read.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "main_window_ref.h"
#include "message_dialog.h"

namespace {

struct ShownDialog {
    GtkWidget *dialog;
    std::string title;
    std::string text; // as displayed, markup already interpreted
    GtkMessageType type;
    GtkWindow *parent;
};

std::vector<ShownDialog> shown;

// Reads and closes every visible message dialog; keeps polling until one has
// been closed.
gboolean close_message_dialogs(gpointer)
{
    bool closed = false;
    GList *toplevels = gtk_window_list_toplevels();
    for (GList *l = toplevels; l; l = l->next) {
        GtkWidget *w = GTK_WIDGET(l->data);
        if (!GTK_IS_MESSAGE_DIALOG(w) || !gtk_widget_get_visible(w))
            continue;
        GtkMessageType type;
        g_object_get(G_OBJECT(w), "message-type", &type, nullptr);
        shown.push_back({w, gtk_window_get_title(GTK_WINDOW(w)),
                         gtk_label_get_text(GTK_LABEL(GTK_MESSAGE_DIALOG(w)->label)), type,
                         gtk_window_get_transient_for(GTK_WINDOW(w))});
        gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_CLOSE);
        closed = true;
    }
    g_list_free(toplevels);
    return closed ? FALSE : TRUE;
}

// Runs `show` (which blocks in a modal dialog) while a timeout closes it.
template <typename Show> void show_and_close(Show show)
{
    // A dialog that never appears leaves the source behind: removed below.
    constexpr guint poll_ms = 20;
    const guint source = g_timeout_add(poll_ms, close_message_dialogs, nullptr);
    const size_t before = shown.size();
    show();
    if (shown.size() == before)
        g_source_remove(source);
}

class MessageDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr))
            << "needs an X display (scripts/test.sh provides one with Xvfb)";
        shown.clear();
    }
    void TearDown() override { main_window = nullptr; }
};

TEST_F(MessageDialog, SlotReusesOneDialogKeepingTitleAndTypeAndShowsTextsAsTyped)
{
    main_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *slot = nullptr;
    const char *first = "Cannot open <b>a&b</b>.cwrp";
    const char *second = "Now <i>x</i> & y";
    show_and_close([&] { gui_message_dialog(&slot, first, GTK_MESSAGE_WARNING, "Warning!"); });
    ASSERT_NE(slot, nullptr);
    EXPECT_FALSE(gtk_widget_get_visible(slot)); // hidden, kept
    show_and_close([&] { gui_message_dialog(&slot, second, GTK_MESSAGE_INFO, "Other"); });

    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].dialog, slot);
    EXPECT_EQ(shown[1].dialog, slot);
    EXPECT_EQ(shown[0].text, first);
    EXPECT_EQ(shown[1].text, second);
    for (const ShownDialog &s : shown) {
        EXPECT_EQ(s.title, "Warning!");
        EXPECT_EQ(s.type, GTK_MESSAGE_WARNING);
        EXPECT_EQ(s.parent, GTK_WINDOW(main_window));
    }
    EXPECT_FALSE(gtk_widget_get_visible(slot));

    // Another slot, made before any main window exists, has no parent.
    main_window = nullptr;
    GtkWidget *other = nullptr;
    show_and_close([&] { gui_message_dialog(&other, "x", GTK_MESSAGE_ERROR, "Error!"); });
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_NE(other, slot);
    EXPECT_EQ(shown[2].parent, nullptr);
}

TEST_F(MessageDialog, ErrnoDialogShowsTextColonBlankAndSystemText)
{
    show_and_close([] { gui_errno_dialog("Could not write file /x/y.wav", EACCES); });
    show_and_close([] { gui_errno_dialog("Could not read <&>.cwrp", ENOENT); });
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, std::string("Could not write file /x/y.wav: ") + g_strerror(EACCES));
    EXPECT_EQ(shown[1].text, std::string("Could not read <&>.cwrp: ") + g_strerror(ENOENT));
    EXPECT_EQ(shown[0].dialog, shown[1].dialog);
    for (const ShownDialog &s : shown) {
        EXPECT_EQ(s.title, "Error!");
        EXPECT_EQ(s.type, GTK_MESSAGE_ERROR);
    }
}

TEST_F(MessageDialog, DriverErrorsShareOneErrorDialog)
{
    show_and_close([] { gui_driver_error_dialog("Sound driver error:\nfirst"); });
    show_and_close([] { gui_driver_error_dialog("Sound driver error:\nsecond"); });
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].dialog, shown[1].dialog);
    EXPECT_EQ(shown[1].text, "Sound driver error:\nsecond");
    EXPECT_EQ(shown[1].title, "Error!");
    EXPECT_EQ(shown[1].type, GTK_MESSAGE_ERROR);
}

std::vector<std::string> rows(GtkComboBox *combo)
{
    std::vector<std::string> texts;
    GtkTreeModel *model = gtk_combo_box_get_model(combo);
    GtkTreeIter iter;
    for (gboolean row = gtk_tree_model_get_iter_first(model, &iter); row;
         row = gtk_tree_model_iter_next(model, &iter)) {
        gchar *text = nullptr;
        gtk_tree_model_get(model, &iter, 0, &text, -1);
        texts.push_back(text ? text : "(none)");
        g_free(text);
    }
    return texts;
}

TEST_F(MessageDialog, ComboHelperSelectsIgnoringCaseOrPrependsAndSelects)
{
    GtkComboBox *combo = GTK_COMBO_BOX(gtk_combo_box_new_text());
    g_object_ref_sink(combo);
    gtk_combo_box_append_text(combo, "Alpha");
    gtk_combo_box_append_text(combo, "Beta");

    EXPECT_EQ(gui_combo_box_prepend_text_or_set_active(combo, "bETA"), 1);
    EXPECT_EQ(gtk_combo_box_get_active(combo), 1);
    EXPECT_EQ(rows(combo), (std::vector<std::string>{"Alpha", "Beta"}));

    EXPECT_EQ(gui_combo_box_prepend_text_or_set_active(combo, "Gamma"), 0);
    EXPECT_EQ(gtk_combo_box_get_active(combo), 0);
    EXPECT_EQ(rows(combo), (std::vector<std::string>{"Gamma", "Alpha", "Beta"}));

    // A row without text ends the search: a match behind it is not found.
    GtkListStore *store = GTK_LIST_STORE(gtk_combo_box_get_model(combo));
    GtkTreeIter iter;
    gtk_list_store_insert(store, &iter, 1); // no text
    EXPECT_EQ(gui_combo_box_prepend_text_or_set_active(combo, "alpha"), 0);
    EXPECT_EQ(rows(combo), (std::vector<std::string>{"alpha", "Gamma", "(none)", "Alpha", "Beta"}));
    g_object_unref(combo);
}

} // namespace
