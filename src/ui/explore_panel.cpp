// Randomise, Mutate, Undo, Redo, "Play on change" and the locks.
#include "explore_panel.h"

#include <gdk/gdkkeysyms.h>

#include <memory>
#include <optional>
#include <string>

#include "actions.h"
#include "file_save.h"
#include "history.h"
#include "intl.h"
#include "render.h"
#include "sound_panel.h"
#include "window_state.h"

namespace {

// A change is one step once the sound has stayed the same this long.
constexpr guint settle_ms = 400;
// How often a Play on change waits for a running render to end.
constexpr guint play_retry_ms = 100;

struct LockRow {
    LockGroup group;
    const char *label;
    const char *key; // in the settings file
};

const LockRow lock_rows[] = {
    {LockGroup::shape_size, N_("Shape and size"), "shape"},
    {LockGroup::nodes, N_("Nodes"), "nodes"},
    {LockGroup::tension, N_("Spring Tension"), "tension"},
    {LockGroup::speed, N_("Speed"), "speed"},
    {LockGroup::damping, N_("Damping time"), "damping"},
    {LockGroup::actuation, N_("Type of Actuation"), "actuation"},
    {LockGroup::velocity, N_("Velocity"), "velocity"},
    {LockGroup::length_decay, N_("Length and decay"), "length"},
};

std::optional<SoundHistory> history;
GtkWidget *lock_items[lock_group_count] = {};
GtkToolItem *undo_button = nullptr, *redo_button = nullptr, *play_toggle = nullptr;
GtkWidget *locks_menu = nullptr;
guint settle_timer = 0, play_timer = 0;
bool showing = false; // gui_show_sound is setting the widgets
std::string settings_file;

struct GFree {
    void operator()(gchar *p) const { g_free(p); }
};
struct KeyFileFree {
    void operator()(GKeyFile *k) const { g_key_file_free(k); }
};

void update_buttons()
{
    if (!history || !undo_button)
        return;
    gtk_widget_set_sensitive(GTK_WIDGET(undo_button), history->can_undo());
    gtk_widget_set_sensitive(GTK_WIDGET(redo_button), history->can_redo());
}

gboolean retry_play(gpointer);

// After a change, with "Play on change" on: render and play the sound as
// Play would. A render never starts inside another one: while one runs the
// request waits, and then plays the latest sound. Inside a playback, Play
// renders the new sound and restarts the playback with it.
void play_after_change()
{
    if (!gui_play_on_change())
        return;
    if (rendering) {
        if (!play_timer)
            play_timer = g_timeout_add(play_retry_ms, retry_play, nullptr);
        return;
    }
    on_play(nullptr, nullptr);
}

gboolean retry_play(gpointer)
{
    play_timer = 0;
    play_after_change();
    return FALSE;
}

bool commit_now()
{
    if (!history)
        return false;
    const bool recorded = history->commit(gui_current_sound());
    update_buttons();
    return recorded;
}

bool pointer_button_held()
{
    GdkModifierType mask = GdkModifierType(0);
    gdk_window_get_pointer(gdk_get_default_root_window(), nullptr, nullptr, &mask);
    return (mask & (GDK_BUTTON1_MASK | GDK_BUTTON2_MASK | GDK_BUTTON3_MASK)) != 0;
}

gboolean on_settled(gpointer)
{
    // A drag or a held arrow goes on: one step when it ends.
    if (pointer_button_held())
        return TRUE;
    settle_timer = 0;
    if (commit_now())
        play_after_change();
    return FALSE;
}

void on_sound_changed()
{
    if (showing)
        return;
    if (settle_timer)
        g_source_remove(settle_timer);
    settle_timer = g_timeout_add(settle_ms, on_settled, nullptr);
}

void set_spin(GtkWidget *spin, int32_t value)
{
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), value);
}

void show_sizes(const Instrument &t, int32_t shape)
{
    switch (shape) {
    case TYPE_TUBE:
        set_spin(tube_height_spin, t.tube_height);
        set_spin(tube_circumference_spin, t.tube_circumference);
        break;
    case TYPE_ROD:
        set_spin(rod_length_spin, t.rod_length);
        break;
    default:
        set_spin(plane_length_spin, t.plane_length);
        set_spin(plane_width_spin, t.plane_width);
        break;
    }
}

bool sizes_differ(const Instrument &a, const Instrument &b, int32_t shape)
{
    switch (shape) {
    case TYPE_TUBE:
        return a.tube_height != b.tube_height || a.tube_circumference != b.tube_circumference;
    case TYPE_ROD:
        return a.rod_length != b.rod_length;
    default:
        return a.plane_length != b.plane_length || a.plane_width != b.plane_width;
    }
}

void explore_from_here(ExploreKind kind)
{
    // Trial renders must not run inside a render.
    if (rendering)
        return;
    gui_flush_sound_history();
    const ExploreResult drawn = explore(kind, gui_current_sound(), gui_locks(),
                                        default_mutate_amount, g_random_int(), 1, playback_rate);
    if (!drawn.accepted) {
        gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_bar),
                                  _("No sound that plays was found; lock fewer values"));
        return;
    }
    gui_show_sound(drawn.params);
    if (commit_now())
        play_after_change();
}

void step_history(std::optional<SoundParams> (SoundHistory::*step)())
{
    gui_flush_sound_history();
    if (!history)
        return;
    const std::optional<SoundParams> state = ((*history).*step)();
    update_buttons();
    if (!state)
        return;
    gui_show_sound(*state);
    play_after_change();
}

void popup_locks(GtkToolButton *, gpointer)
{
    gtk_menu_popup(GTK_MENU(locks_menu), nullptr, nullptr, nullptr, nullptr, 0,
                   gtk_get_current_event_time());
}

GtkToolItem *add_button(GtkWidget *bar, const char *stock, const char *label,
                        const char *tooltip, GCallback handler)
{
    GtkToolItem *item = gtk_tool_button_new_from_stock(stock);
    if (label)
        gtk_tool_button_set_label(GTK_TOOL_BUTTON(item), _(label));
    gtk_tool_item_set_tooltip_text(item, _(tooltip));
    g_signal_connect(item, "clicked", handler, nullptr);
    gtk_toolbar_insert(GTK_TOOLBAR(bar), item, -1);
    return item;
}

void add_key(GtkToolItem *item, GtkAccelGroup *accel, guint key, GdkModifierType mods)
{
    // On "clicked", so that an insensitive button ignores its key.
    gtk_widget_add_accelerator(GTK_WIDGET(item), "clicked", accel, key, mods, GtkAccelFlags(0));
}

void load_settings()
{
    const std::unique_ptr<GKeyFile, KeyFileFree> keys(g_key_file_new());
    const bool loaded =
        !settings_file.empty() &&
        g_key_file_load_from_file(keys.get(), settings_file.c_str(), G_KEY_FILE_NONE, nullptr);
    // The Sound frame, built after this row, keeps its choice in the same file.
    sound_panel_read_settings(loaded ? keys.get() : nullptr);
    if (!loaded)
        return;
    gtk_toggle_tool_button_set_active(
        GTK_TOGGLE_TOOL_BUTTON(play_toggle),
        g_key_file_get_boolean(keys.get(), "explore", "play-on-change", nullptr));
    for (const LockRow &row : lock_rows)
        gtk_check_menu_item_set_active(
            GTK_CHECK_MENU_ITEM(lock_items[static_cast<int>(row.group)]),
            g_key_file_get_boolean(keys.get(), "locks", row.key, nullptr));
}

} // namespace

GtkWidget *gui_create_explore_bar(GtkAccelGroup *accel)
{
    GtkWidget *bar = gtk_toolbar_new();
    gtk_toolbar_set_show_arrow(GTK_TOOLBAR(bar), FALSE);

    GtkToolItem *randomise =
        add_button(bar, GTK_STOCK_REFRESH, N_("Randomise"),
                   N_("A random sound from the values that are not locked (Ctrl + R)"),
                   G_CALLBACK(on_randomise));
    add_key(randomise, accel, GDK_r, GDK_CONTROL_MASK);
    GtkToolItem *mutate =
        add_button(bar, GTK_STOCK_CONVERT, N_("Mutate"),
                   N_("Change the values that are not locked a little (Ctrl + M)"),
                   G_CALLBACK(on_mutate));
    add_key(mutate, accel, GDK_m, GDK_CONTROL_MASK);
    // Trial renders run only where a render may start.
    trial_buttons = g_slist_prepend(trial_buttons, randomise);
    trial_buttons = g_slist_prepend(trial_buttons, mutate);

    gtk_toolbar_insert(GTK_TOOLBAR(bar), gtk_separator_tool_item_new(), -1);
    undo_button = add_button(bar, GTK_STOCK_UNDO, nullptr,
                             N_("Undo the last change of the sound (Ctrl + Z)"),
                             G_CALLBACK(on_undo));
    add_key(undo_button, accel, GDK_z, GDK_CONTROL_MASK);
    redo_button = add_button(bar, GTK_STOCK_REDO, nullptr,
                             N_("Redo the change that was undone (Ctrl + Shift + Z, Ctrl + Y)"),
                             G_CALLBACK(on_redo));
    add_key(redo_button, accel, GDK_z, GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK));
    add_key(redo_button, accel, GDK_y, GDK_CONTROL_MASK);

    gtk_toolbar_insert(GTK_TOOLBAR(bar), gtk_separator_tool_item_new(), -1);
    play_toggle = gtk_toggle_tool_button_new_from_stock(GTK_STOCK_MEDIA_PLAY);
    gtk_tool_button_set_label(GTK_TOOL_BUTTON(play_toggle), _("Play on change"));
    gtk_tool_item_set_tooltip_text(play_toggle,
                                   _("Render and play the sound after every change"));
    gtk_toolbar_insert(GTK_TOOLBAR(bar), play_toggle, -1);

    locks_menu = gtk_menu_new();
    for (const LockRow &row : lock_rows) {
        GtkWidget *item = gtk_check_menu_item_new_with_label(_(row.label));
        gtk_menu_shell_append(GTK_MENU_SHELL(locks_menu), item);
        lock_items[static_cast<int>(row.group)] = item;
    }
    gtk_widget_show_all(locks_menu);
    add_button(bar, GTK_STOCK_DIALOG_AUTHENTICATION, N_("Locks"),
               N_("The values that Randomise and Mutate keep"), G_CALLBACK(popup_locks));

    load_settings();
    sound_change_hook = on_sound_changed;
    gtk_widget_show_all(bar);
    // Reached by keys and clicks, never by Tab: the focus chain of the
    // parameters stays as it is.
    gtk_container_set_focus_chain(GTK_CONTAINER(bar), nullptr);
    gtk_container_foreach(GTK_CONTAINER(bar), [](GtkWidget *item, gpointer) {
        if (GTK_IS_BIN(item) && gtk_bin_get_child(GTK_BIN(item)))
            gtk_widget_set_can_focus(gtk_bin_get_child(GTK_BIN(item)), FALSE);
    }, nullptr);
    return bar;
}

void gui_start_sound_history()
{
    history.emplace(gui_current_sound());
    update_buttons();
}

void on_randomise(GtkWidget *, gpointer)
{
    explore_from_here(ExploreKind::randomise);
}

void on_mutate(GtkWidget *, gpointer)
{
    explore_from_here(ExploreKind::mutate);
}

void on_undo(GtkWidget *, gpointer)
{
    step_history(&SoundHistory::undo);
}

void on_redo(GtkWidget *, gpointer)
{
    step_history(&SoundHistory::redo);
}

SoundParams gui_current_sound()
{
    return SoundParams{instrument, sample_length};
}

void gui_show_sound(const SoundParams &params)
{
    showing = true;
    const Instrument &t = params.instrument;
    // The sizes of the other shapes, each on its own page: a size spin
    // button's handler works on the shape shown.
    for (int32_t shape = TYPE_TUBE; shape <= TYPE_PLANE; ++shape) {
        if (shape == t.type || !sizes_differ(t, instrument, shape))
            continue;
        gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), shape);
        show_sizes(t, shape);
    }
    gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), t.type);
    show_sizes(t, t.type);
    set_spin(actuation_spin[t.type], t.actuation_node);
    set_spin(sampling_spin[t.type], t.sampling_node);
    gtk_range_set_value(GTK_RANGE(tension_scale), t.tension);
    gtk_range_set_value(GTK_RANGE(speed_scale), t.speed);
    gtk_range_set_value(GTK_RANGE(damping_scale), t.damping);
    gtk_range_set_value(GTK_RANGE(velocity_scale), t.velocity);
    gtk_combo_box_set_active(GTK_COMBO_BOX(actuation_combo), t.actuation);
    gtk_range_set_value(GTK_RANGE(length_scale), params.sample_length);
    gtk_range_set_value(GTK_RANGE(decay_scale), t.decay_level);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(decay_check), t.decay_stop != 0);
    showing = false;
}

void gui_flush_sound_history()
{
    if (!settle_timer)
        return;
    g_source_remove(settle_timer);
    settle_timer = 0;
    commit_now();
}

Locks gui_locks()
{
    Locks locks;
    for (int g = 0; g < lock_group_count; ++g)
        locks.locked[static_cast<size_t>(g)] =
            lock_items[g] &&
            gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(lock_items[g])) != FALSE;
    return locks;
}

GtkWidget *gui_lock_item(LockGroup group)
{
    return lock_items[static_cast<int>(group)];
}

GtkToolItem *gui_play_on_change_toggle()
{
    return play_toggle;
}

bool gui_play_on_change()
{
    return play_toggle &&
           gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(play_toggle)) != FALSE;
}

void gui_set_explore_settings_file(const std::string &file_name)
{
    settings_file = file_name;
}

int gui_save_explore_settings()
{
    if (settings_file.empty() || !play_toggle)
        return 0;
    const std::unique_ptr<GKeyFile, KeyFileFree> keys(g_key_file_new());
    g_key_file_set_boolean(keys.get(), "explore", "play-on-change", gui_play_on_change());
    const Locks locks = gui_locks();
    for (const LockRow &row : lock_rows)
        g_key_file_set_boolean(keys.get(), "locks", row.key, locks[row.group]);
    sound_panel_write_settings(keys.get());
    gsize length = 0;
    const std::unique_ptr<gchar, GFree> text(g_key_file_to_data(keys.get(), &length, nullptr));
    return file_save_bytes(settings_file.c_str(), std::string_view(text.get(), length));
}
