// The main window as built at start-up: toolbar, widgets, ranges and the
// initial state, through the real widgets.
#include <gdk/gdkkeysyms.h>

#include <cstring>

#include "actions.h"
#include "render.h"
#include "view3d.h"
#include "window_test_support.h"

namespace {

struct ExpectedButton {
    const char *stock_id; // null: the Save WAV button
    const char *tooltip;
    guint key;
    GdkModifierType modifiers;
};

const ExpectedButton expected_toolbar[] = {
    {GTK_STOCK_OPEN, "Open Presets (Ctrl + O)", GDK_o, GDK_CONTROL_MASK},
    {GTK_STOCK_SAVE, "Save Presets (Ctrl + S)", GDK_s, GDK_CONTROL_MASK},
    {GTK_STOCK_MEDIA_PLAY, "Play Rendered Sound (space)", GDK_space, GdkModifierType(0)},
    {GTK_STOCK_MEDIA_STOP, "Stop Rendering / Playback (Ctrl + B)", GDK_b, GDK_CONTROL_MASK},
    {nullptr, "Save rendered sound as WAV (Ctrl + W)", GDK_w, GDK_CONTROL_MASK},
    {GTK_STOCK_ABOUT, "About Clangwright (Ctrl + H)", GDK_h, GDK_CONTROL_MASK},
    {GTK_STOCK_PROPERTIES, "Program Setup (Ctrl + U)", GDK_u, GDK_CONTROL_MASK},
    {GTK_STOCK_QUIT, "Close Program (Ctrl + Q)", GDK_q, GDK_CONTROL_MASK},
};

gboolean same_closure(GtkAccelKey *, GClosure *closure, gpointer wanted)
{
    return closure == wanted;
}

// The accelerator installed on a button's "clicked" signal: key, modifiers
// and flags (none).
bool has_accelerator(GtkToolItem *item, guint key, GdkModifierType modifiers)
{
    GList *closures = gtk_widget_list_accel_closures(GTK_WIDGET(item));
    bool found = false;
    for (GList *l = closures; l; l = l->next) {
        GClosure *closure = static_cast<GClosure *>(l->data);
        GtkAccelGroup *group = gtk_accel_group_from_accel_closure(closure);
        const GtkAccelKey *k = gtk_accel_group_find(group, same_closure, closure);
        // The toolkit locks a widget's accelerator itself; we add no flag.
        if (k && k->accel_key == key && k->accel_mods == modifiers &&
            (k->accel_flags & GTK_ACCEL_VISIBLE) == 0)
            found = true;
    }
    g_list_free(closures);
    return found;
}

int clicks = 0;
void count_click(GtkToolButton *, gpointer) { ++clicks; }

int spin(GtkWidget *w) { return gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(w)); }

void expect_spin(GtkWidget *w, int value, int lower, int upper, const char *what)
{
    double lo = 0, hi = 0;
    gtk_spin_button_get_range(GTK_SPIN_BUTTON(w), &lo, &hi);
    EXPECT_EQ(spin(w), value) << what;
    EXPECT_EQ(lo, lower) << what;
    EXPECT_EQ(hi, upper) << what;
}

std::string tab_label(int page)
{
    GtkWidget *child = gtk_notebook_get_nth_page(GTK_NOTEBOOK(shape_notebook), page);
    return gtk_notebook_get_tab_label_text(GTK_NOTEBOOK(shape_notebook), child);
}

} // namespace

using MainWindow = WindowTest;

TEST_F(MainWindow, ToolbarOrderStockIdsTooltipsAndAcceleratorsOnClicked)
{
    const std::vector<GtkToolItem *> items = toolbar_items();
    ASSERT_EQ(items.size(), std::size(expected_toolbar));
    for (size_t i = 0; i < items.size(); ++i) {
        const ExpectedButton &e = expected_toolbar[i];
        GtkToolButton *button = GTK_TOOL_BUTTON(items[i]);
        if (e.stock_id) {
            EXPECT_STREQ(gtk_tool_button_get_stock_id(button), e.stock_id) << i;
        } else {
            EXPECT_STREQ(gtk_tool_button_get_label(button), "Save WAV");
            EXPECT_STREQ(gtk_tool_button_get_icon_name(button), "save_wav");
        }
        gchar *tip = gtk_widget_get_tooltip_text(inner_button(items[i]));
        EXPECT_STREQ(tip, e.tooltip) << i;
        g_free(tip);
        EXPECT_TRUE(has_accelerator(items[i], e.key, e.modifiers)) << i;
    }
}

TEST_F(MainWindow, StartsIdleOnTheTubePageWithReadyAndZeroLength)
{
    const std::vector<GtkToolItem *> items = toolbar_items();
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(gtk_widget_get_sensitive(GTK_WIDGET(items[i])), i != 3) << i;
    EXPECT_TRUE(gtk_widget_get_visible(main_window));
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(main_window)), "Clangwright");
    EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(main_window)));
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(shape_notebook)), 0);
    EXPECT_EQ(tab_label(0), "Tube");
    EXPECT_EQ(tab_label(1), "Rod");
    EXPECT_EQ(tab_label(2), "Plane");
    EXPECT_STREQ(gtk_progress_bar_get_text(GTK_PROGRESS_BAR(progress_bar)), "Ready...");
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(length_label)), "Real length: 0.0 s");
    EXPECT_EQ(g_slist_length(busy_buttons), 3u);
    EXPECT_EQ(g_slist_length(stop_buttons), 1u);
    EXPECT_EQ(stop_buttons->data, items[3]);
    // The driver was opened at the stored playback rate before the window showed.
    EXPECT_EQ(test_log[0].open_rates, std::vector<int32_t>{48000});
    EXPECT_EQ(playback_rate, 48000);
    EXPECT_EQ(export_rate, 48000);
}

TEST_F(MainWindow, InsensitiveButtonsIgnoreTheirKeys)
{
    const std::vector<GtkToolItem *> items = toolbar_items();
    g_signal_connect(items[3], "clicked", G_CALLBACK(count_click), nullptr);
    g_signal_connect(items[2], "clicked", G_CALLBACK(count_click), nullptr);

    send_key(GDK_b, GDK_CONTROL_MASK); // Stop is insensitive
    pump_events();
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(instrument.stop, 0);

    set_ready_state(false); // as during a render: Play insensitive, Stop sensitive
    send_key(GDK_space, GdkModifierType(0));
    pump_events();
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(sample_count, 0u); // nothing rendered

    send_key(GDK_b, GDK_CONTROL_MASK);
    pump_events();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(instrument.stop, 1);
    set_ready_state(true);
}

TEST_F(MainWindow, SpinButtonsStartWithTheirRangesAndValues)
{
    expect_spin(tube_height_spin, 10, 3, 30, "tube height");
    expect_spin(tube_circumference_spin, 5, 3, 30, "tube circumference");
    expect_spin(rod_length_spin, 5, 3, 200, "rod length");
    expect_spin(plane_length_spin, 7, 3, 30, "plane length");
    expect_spin(plane_width_spin, 9, 3, 39, "plane width");
    expect_spin(actuation_spin[TYPE_TUBE], 7, 5, 44, "tube actuation");
    expect_spin(sampling_spin[TYPE_TUBE], 40, 5, 44, "tube sampling");
    expect_spin(actuation_spin[TYPE_ROD], 1, 1, 3, "rod actuation");
    expect_spin(sampling_spin[TYPE_ROD], 3, 1, 3, "rod sampling");
    expect_spin(actuation_spin[TYPE_PLANE], 1, 1, 61, "plane actuation");
    expect_spin(sampling_spin[TYPE_PLANE], 53, 1, 61, "plane sampling");
    // Before the first page switch the instrument holds the tube's nodes.
    EXPECT_EQ(instrument.type, TYPE_TUBE);
    EXPECT_EQ(instrument.actuation_node, 7);
    EXPECT_EQ(instrument.sampling_node, 40);

    EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(tension_scale)), 4.0);
    EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(speed_scale)), 0.2);
    EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(damping_scale)), 0.05);
    EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(velocity_scale)), 1.0);
    EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(decay_scale)), -50.0);
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(actuation_combo)), 0);
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(decay_check)));
    EXPECT_FALSE(gtk_widget_get_sensitive(decay_scale));
    EXPECT_NE(instrument.progress, nullptr);
}

TEST_F(MainWindow, ViewFrameHoldsTheGlAreaOrTheLabel)
{
    GtkWidget *child = view_area;
    if (!child)
        GTEST_SKIP() << "this display has no OpenGL; the label case runs without GLX";
    GtkWidget *frame = gtk_widget_get_parent(child);
    ASSERT_TRUE(GTK_IS_ASPECT_FRAME(frame));
    EXPECT_STREQ(gtk_frame_get_label(GTK_FRAME(frame)), "3D View");
    EXPECT_NE(preview_object, nullptr); // realizing the view built it
    EXPECT_EQ(preview_object->num_nodes, 50);
}
