#include "window_test_support.h"

#include <gdk/gdkkeysyms.h>

#include <memory>

#include "playback.h"
#include "render.h"

std::vector<SeenDialog> seen_dialogs;

namespace {

std::deque<DialogStep> pending_steps;
guint poll_source = 0;

gboolean poll_dialogs(gpointer)
{
    if (pending_steps.empty()) {
        poll_source = 0;
        return FALSE;
    }
    GList *toplevels = gtk_window_list_toplevels();
    for (GList *l = toplevels; l && !pending_steps.empty(); l = l->next) {
        GtkWindow *w = GTK_WINDOW(l->data);
        if (GTK_WIDGET(w) == main_window || !gtk_widget_get_visible(GTK_WIDGET(w)) ||
            !GTK_IS_DIALOG(w))
            continue;
        if (pending_steps.front()(w)) {
            pending_steps.pop_front();
            break; // the answered dialog may have changed the list
        }
    }
    g_list_free(toplevels);
    return TRUE;
}

std::string message_text(GtkWindow *w)
{
    return gtk_label_get_text(GTK_LABEL(GTK_MESSAGE_DIALOG(w)->label));
}

std::string kind_of(GtkWindow *w)
{
    if (GTK_IS_FILE_CHOOSER_DIALOG(w))
        return "chooser";
    if (GTK_IS_MESSAGE_DIALOG(w))
        return "message";
    if (GTK_IS_ABOUT_DIALOG(w))
        return "about";
    return "dialog";
}

void record(GtkWindow *w)
{
    SeenDialog seen{kind_of(w), gtk_window_get_title(w) ? gtk_window_get_title(w) : "", "",
                    GTK_WIDGET(w)};
    if (GTK_IS_MESSAGE_DIALOG(w))
        seen.text = message_text(w);
    seen_dialogs.push_back(seen);
}

} // namespace

void expect_dialogs(std::vector<DialogStep> steps)
{
    for (DialogStep &s : steps)
        pending_steps.push_back(std::move(s));
    constexpr guint poll_ms = 30;
    if (!poll_source)
        poll_source = g_timeout_add(poll_ms, poll_dialogs, nullptr);
}

bool dialogs_done()
{
    return pending_steps.empty();
}

DialogStep choose_file_step(const std::string &path)
{
    // The chooser loads a folder in the background: the name is set once,
    // and OK is pressed when the chooser reports the file as chosen.
    auto named = std::make_shared<bool>(false);
    return [path, named](GtkWindow *w) {
        if (!GTK_IS_FILE_CHOOSER_DIALOG(w))
            return false;
        GtkFileChooser *chooser = GTK_FILE_CHOOSER(w);
        if (!*named) {
            record(w);
            gchar *folder = g_path_get_dirname(path.c_str());
            gchar *base = g_path_get_basename(path.c_str());
            if (gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE) {
                gtk_file_chooser_set_current_folder(chooser, folder);
                gtk_file_chooser_set_current_name(chooser, base);
            } else {
                gtk_file_chooser_set_filename(chooser, path.c_str());
            }
            g_free(folder);
            g_free(base);
            *named = true;
        }
        gchar *chosen = gtk_file_chooser_get_filename(chooser);
        const bool ready = chosen && path == chosen;
        g_free(chosen);
        if (!ready)
            return false;
        gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_OK);
        return true;
    };
}

DialogStep cancel_chooser_step()
{
    return [](GtkWindow *w) {
        if (!GTK_IS_FILE_CHOOSER_DIALOG(w))
            return false;
        record(w);
        gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_CANCEL);
        return true;
    };
}

DialogStep answer_message_step(gint response)
{
    return [response](GtkWindow *w) {
        if (!GTK_IS_MESSAGE_DIALOG(w))
            return false;
        record(w);
        gtk_dialog_response(GTK_DIALOG(w), response);
        return true;
    };
}

DialogStep dialog_step(GType type, std::function<void(GtkWindow *)> act, gint response)
{
    return [type, act, response](GtkWindow *w) {
        if (!G_TYPE_CHECK_INSTANCE_TYPE(w, type) || GTK_IS_FILE_CHOOSER_DIALOG(w) ||
            GTK_IS_MESSAGE_DIALOG(w))
            return false;
        record(w);
        if (act)
            act(w);
        gtk_dialog_response(GTK_DIALOG(w), response);
        return true;
    };
}

GtkWidget *toolbar_widget()
{
    GtkWidget *outer = gtk_bin_get_child(GTK_BIN(main_window));
    GList *children = gtk_container_get_children(GTK_CONTAINER(outer));
    GtkWidget *toolbar = GTK_WIDGET(children->data);
    g_list_free(children);
    return toolbar;
}

std::vector<GtkToolItem *> toolbar_items()
{
    GtkToolbar *toolbar = GTK_TOOLBAR(toolbar_widget());
    std::vector<GtkToolItem *> items;
    for (gint i = 0; i < gtk_toolbar_get_n_items(toolbar); ++i)
        items.push_back(gtk_toolbar_get_nth_item(toolbar, i));
    return items;
}

GtkWidget *inner_button(GtkToolItem *item)
{
    return gtk_bin_get_child(GTK_BIN(item));
}

void click(GtkToolItem *item)
{
    gtk_test_widget_click(inner_button(item), 1, GdkModifierType(0));
    pump_events(); // the click arrives as events
}

void send_key(guint keyval, GdkModifierType modifiers)
{
    // Keys go to a child; the window's accelerators see them on the way up.
    gtk_test_widget_send_key(tube_height_spin, keyval, modifiers);
}

void pump_events()
{
    while (gtk_events_pending())
        gtk_main_iteration();
}

void WindowTest::SetUp()
{
    // The toolkit keeps recently used files below the home: a scratch one,
    // never the home of whoever runs the tests.
    ASSERT_FALSE(dir.path().empty());
    const std::string home = dir.file("home");
    g_mkdir_with_parents((home + "/.local/share").c_str(), 0700);
    g_setenv("HOME", home.c_str(), TRUE);
    g_setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), TRUE);
    g_setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), TRUE);
    if (!gtk_init_check(nullptr, nullptr))
        GTEST_SKIP() << "needs an X display (scripts/test.sh provides one with Xvfb)";
    gtk_gl_init_check(nullptr, nullptr);
    const std::string file = dir.file("config");
    if (!config_document.empty())
        write_file(file, config_document);
    conf_open(file.c_str());
    cwr_reset_drivers();
    cwr_register_driver(&test_driver_full[0]);
    cwr_register_driver(&test_driver_full[1]);
    test_log[0] = TestDriverLog{};
    test_log[1] = TestDriverLog{};
    set_play_events_hook(pump_events);
    gui_create_AppWindow(0);
    pump_events();
}

void WindowTest::TearDown()
{
    set_play_events_hook(nullptr);
}
