// The parameter handlers through the real widgets: node ranges and resets,
// the plane's corner skip, page switches, what rebuilds the preview, and
// presets loaded into the window.
#include <gdk/gdkkeysyms.h>

#include "parameters.h"
#include "presets.h"
#include "render.h"
#include "window_test_support.h"

namespace {

int spin(GtkWidget *w) { return gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(w)); }
void set_spin(GtkWidget *w, int v) { gtk_spin_button_set_value(GTK_SPIN_BUTTON(w), v); }
void step_up(GtkWidget *w) { gtk_spin_button_spin(GTK_SPIN_BUTTON(w), GTK_SPIN_STEP_FORWARD, 1); }
void step_down(GtkWidget *w) { gtk_spin_button_spin(GTK_SPIN_BUTTON(w), GTK_SPIN_STEP_BACKWARD, 1); }

void expect_range(GtkWidget *w, int lower, int upper)
{
    double lo = 0, hi = 0;
    gtk_spin_button_get_range(GTK_SPIN_BUTTON(w), &lo, &hi);
    EXPECT_EQ(lo, lower);
    EXPECT_EQ(hi, upper);
}

void show_page(int page)
{
    gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), page);
    pump_events();
}

// Every number the spin button settles on when stepped through its range.
std::vector<int> accepted_stepping_up(GtkWidget *w)
{
    double lo = 0, hi = 0;
    gtk_spin_button_get_range(GTK_SPIN_BUTTON(w), &lo, &hi);
    set_spin(w, static_cast<int>(lo));
    std::vector<int> seen{spin(w)};
    while (spin(w) < hi) {
        step_up(w);
        seen.push_back(spin(w));
    }
    return seen;
}

} // namespace

using Parameters = WindowTest;

TEST_F(Parameters, TubeSizeChangesSetRangeAndResetNodes)
{
    set_spin(tube_circumference_spin, 6);
    expect_range(actuation_spin[TYPE_TUBE], 6, 53);
    expect_range(sampling_spin[TYPE_TUBE], 6, 53);
    EXPECT_EQ(spin(actuation_spin[TYPE_TUBE]), 9);
    EXPECT_EQ(spin(sampling_spin[TYPE_TUBE]), 48);
    EXPECT_EQ(instrument.actuation_node, 9);
    EXPECT_EQ(instrument.sampling_node, 48);
    EXPECT_EQ(preview_object->num_nodes, 60);

    set_spin(tube_circumference_spin, 5);
    set_spin(tube_height_spin, 3);
    expect_range(sampling_spin[TYPE_TUBE], 5, 9);
    EXPECT_EQ(instrument.actuation_node, 7);
    EXPECT_EQ(instrument.sampling_node, 5);
    EXPECT_EQ(spin(actuation_spin[TYPE_TUBE]), 7);
    EXPECT_EQ(spin(sampling_spin[TYPE_TUBE]), 5);

    // Every size change resets, even when the old nodes were still valid.
    set_spin(tube_height_spin, 10);
    set_spin(actuation_spin[TYPE_TUBE], 12);
    set_spin(tube_height_spin, 11);
    EXPECT_EQ(instrument.actuation_node, 7);
    EXPECT_EQ(instrument.sampling_node, 45);
}

TEST_F(Parameters, RodRangesAndPageSwitchesKeepEachPagesNodes)
{
    show_page(TYPE_ROD);
    EXPECT_EQ(instrument.type, TYPE_ROD);
    EXPECT_EQ(instrument.actuation_node, 1);
    EXPECT_EQ(instrument.sampling_node, 3);
    EXPECT_EQ(instrument.tube_height, 10); // no size changed
    EXPECT_EQ(preview_object->num_nodes, 5);

    set_spin(rod_length_spin, 3);
    expect_range(actuation_spin[TYPE_ROD], 1, 1);
    EXPECT_EQ(instrument.actuation_node, 1);
    EXPECT_EQ(instrument.sampling_node, 1);

    show_page(TYPE_TUBE);
    EXPECT_EQ(instrument.type, TYPE_TUBE);
    EXPECT_EQ(instrument.actuation_node, 7);
    EXPECT_EQ(instrument.sampling_node, 40);
    EXPECT_EQ(preview_object->num_nodes, 50);

    show_page(TYPE_ROD);
    EXPECT_EQ(instrument.rod_length, 3);
    EXPECT_EQ(instrument.sampling_node, 1);
}

TEST_F(Parameters, PlaneCornerSkipCountingUpAndDownAndTyping)
{
    show_page(TYPE_PLANE);
    for (GtkWidget *w : {sampling_spin[TYPE_PLANE], actuation_spin[TYPE_PLANE]}) {
        int32_t *field = w == sampling_spin[TYPE_PLANE] ? &instrument.sampling_node
                                                        : &instrument.actuation_node;
        set_spin(w, 7);
        step_up(w);
        EXPECT_EQ(spin(w), 9);
        EXPECT_EQ(*field, 9);
        step_down(w);
        EXPECT_EQ(spin(w), 7);
        set_spin(w, 53);
        step_up(w);
        EXPECT_EQ(spin(w), 55);
        step_down(w);
        EXPECT_EQ(spin(w), 53);
        set_spin(w, 20);
        set_spin(w, 8); // typed in above the corner's lower neighbour
        EXPECT_EQ(spin(w), 7);
        EXPECT_EQ(*field, 7);
        set_spin(w, 5);
        set_spin(w, 54);
        EXPECT_EQ(spin(w), 55);
    }

    set_spin(plane_length_spin, 3);
    set_spin(plane_width_spin, 3);
    EXPECT_EQ(accepted_stepping_up(sampling_spin[TYPE_PLANE]), (std::vector<int>{1, 3, 4, 5, 7}));
    EXPECT_EQ(accepted_stepping_up(actuation_spin[TYPE_PLANE]), (std::vector<int>{1, 3, 4, 5, 7}));
    EXPECT_EQ(instrument.sampling_node, 7);
}

TEST_F(Parameters, WhichChangesRebuildThePreviewAndWhichOnlyMarkTheSound)
{
    struct Change {
        const char *what;
        std::function<void()> make;
        bool rebuilds;
    };
    GtkWidget *length_scale = nullptr; // the Sample Length slider: row 5, column 1
    GtkWidget *table = gtk_widget_get_parent(tension_scale);
    GList *children = gtk_container_get_children(GTK_CONTAINER(table));
    for (GList *l = children; l; l = l->next) {
        guint top = 0, left = 0;
        gtk_container_child_get(GTK_CONTAINER(table), GTK_WIDGET(l->data), "top-attach", &top,
                                "left-attach", &left, nullptr);
        if (top == 5 && left == 1)
            length_scale = GTK_WIDGET(l->data);
    }
    g_list_free(children);
    ASSERT_NE(length_scale, nullptr);

    const std::vector<Change> changes = {
        {"speed", [] { gtk_range_set_value(GTK_RANGE(speed_scale), 0.3); }, false},
        {"damping", [] { gtk_range_set_value(GTK_RANGE(damping_scale), 0.1); }, false},
        {"velocity", [] { gtk_range_set_value(GTK_RANGE(velocity_scale), 0.5); }, false},
        {"length", [&] { gtk_range_set_value(GTK_RANGE(length_scale), 2.5); }, false},
        {"decay level", [] { gtk_range_set_value(GTK_RANGE(decay_scale), -30); }, false},
        {"decay box", [] { gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(decay_check), TRUE); },
         false},
        {"actuation", [] { gtk_combo_box_set_active(GTK_COMBO_BOX(actuation_combo), 1); }, false},
        {"tension", [] { gtk_range_set_value(GTK_RANGE(tension_scale), 0.5); }, true},
        {"node", [] { set_spin(sampling_spin[TYPE_TUBE], 41); }, true},
        {"size", [] { set_spin(tube_height_spin, 12); }, true},
        {"page", [] { show_page(TYPE_PLANE); }, true},
    };
    for (const Change &c : changes) {
        need_render = 0;
        // A rebuilt object may land at the old address: a marked node tells.
        constexpr double marker = 1234.5;
        preview_object->nodes[0]->vx = marker;
        c.make();
        EXPECT_EQ(need_render, 1) << c.what;
        EXPECT_EQ(preview_object->nodes[0]->vx != marker, c.rebuilds) << c.what;
    }
    EXPECT_DOUBLE_EQ(instrument.speed, 0.3);
    EXPECT_DOUBLE_EQ(instrument.damping, 0.1);
    EXPECT_DOUBLE_EQ(instrument.velocity, 0.5);
    EXPECT_DOUBLE_EQ(sample_length, 2.5);
    EXPECT_DOUBLE_EQ(instrument.decay_level, -30);
    EXPECT_EQ(instrument.actuation, 1);
    EXPECT_DOUBLE_EQ(instrument.tension, 0.5);

    // The decay box greys its slider out and keeps the level.
    EXPECT_EQ(instrument.decay_stop, 1);
    EXPECT_TRUE(gtk_widget_get_sensitive(decay_scale));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(decay_check), FALSE);
    EXPECT_EQ(instrument.decay_stop, 0);
    EXPECT_FALSE(gtk_widget_get_sensitive(decay_scale));
    EXPECT_DOUBLE_EQ(instrument.decay_level, -30);
}

namespace {

std::string rod_preset(const TempDir &dir, int length)
{
    Instrument rod = instrument_defaults();
    rod.type = TYPE_ROD;
    rod.rod_length = length;
    rod.tension = 2.0;
    rod.speed = 0.1;
    rod.actuation = 1;
    const std::string file = dir.file("rod.cwrp");
    std::string message;
    EXPECT_EQ(save_pres(&rod, file.c_str(), message), 0);
    return file;
}

} // namespace

TEST_F(Parameters, LoadingARodPresetOnTheTubePageSwitchesPages)
{
    const std::string file = rod_preset(dir, 9);
    std::string message;
    EXPECT_EQ(gui_set_values(&instrument, file.c_str(), message), 0);
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(shape_notebook)), TYPE_ROD);
    EXPECT_EQ(instrument.type, TYPE_ROD);
    EXPECT_EQ(spin(rod_length_spin), 9);
    EXPECT_EQ(instrument.actuation_node, 1);
    EXPECT_EQ(instrument.sampling_node, 7);
    EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(tension_scale)), 2.0);
    EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(speed_scale)), 0.1);
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(actuation_combo)), 1);
    EXPECT_EQ(preview_object->num_nodes, 9);
    EXPECT_EQ(need_render, 1);
}

TEST_F(Parameters, LoadingThePresetOfTheShownShapeAndSizesKeepsTheNodes)
{
    Instrument same = instrument_defaults();
    same.speed = 0.25;
    const std::string file = dir.file("same.cwrp");
    std::string message;
    ASSERT_EQ(save_pres(&same, file.c_str(), message), 0);
    set_spin(actuation_spin[TYPE_TUBE], 12);
    set_spin(sampling_spin[TYPE_TUBE], 33);
    EXPECT_EQ(gui_set_values(&instrument, file.c_str(), message), 0);
    EXPECT_EQ(instrument.actuation_node, 12);
    EXPECT_EQ(instrument.sampling_node, 33);
    EXPECT_DOUBLE_EQ(instrument.speed, 0.25);
}

TEST_F(Parameters, LoadedSizesOutsideTheRangesEndAsTheSpinButtonsShowThem)
{
    // Rod of 500 nodes, loaded while the rod page already shows the upper
    // bound 200: the spin button does not change, so no handler runs.
    show_page(TYPE_ROD);
    set_spin(rod_length_spin, 200);
    const std::string file = rod_preset(dir, 500);
    std::string message;
    gui_set_values(&instrument, file.c_str(), message);
    EXPECT_EQ(instrument.rod_length, 200);
    EXPECT_EQ(preview_object->num_nodes, 200);
    EXPECT_LE(instrument.sampling_node, 198);

    // A tube of 2 x 1000 from the plane page.
    show_page(TYPE_PLANE);
    const std::string tube = dir.file("tube.cwrp");
    write_file(tube, "<?xml version=\"1.0\"?>\n<cwrp version=\"0.1.0\">"
                     "<string name=\"type\" value=\"tube\"/><int name=\"height\" value=\"2\"/>"
                     "<int name=\"circumference\" value=\"1000\"/></cwrp>\n");
    EXPECT_EQ(gui_set_values(&instrument, tube.c_str(), message), -1); // incomplete
    EXPECT_EQ(instrument.type, TYPE_TUBE);
    EXPECT_EQ(instrument.tube_height, spin(tube_height_spin));
    EXPECT_EQ(instrument.tube_circumference, spin(tube_circumference_spin));
    EXPECT_EQ(instrument.tube_height, 3);
    EXPECT_EQ(instrument.tube_circumference, 30);
    EXPECT_EQ(preview_object->num_nodes, 90);
    EXPECT_TRUE(instrument_node_is_movable(instrument, instrument.actuation_node));
    EXPECT_TRUE(instrument_node_is_movable(instrument, instrument.sampling_node));
}
