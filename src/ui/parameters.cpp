// Parameter handlers: instrument fields, node ranges, preview object.
#include "parameters.h"

#include "live_play.h"
#include "node_range.h"
#include "presets.h"
#include "window_state.h"

void render_object()
{
    cw_metal_obj_free(preview_object);
    preview_object = nullptr;
    switch (instrument.type) {
    case TYPE_TUBE:
        preview_object = cw_metal_obj_new_tube(instrument.tube_height,
                                               instrument.tube_circumference, instrument.tension);
        break;
    case TYPE_ROD:
        preview_object = cw_metal_obj_new_rod(instrument.rod_length, instrument.tension);
        break;
    case TYPE_PLANE:
        preview_object = cw_metal_obj_new_plane(instrument.plane_length, instrument.plane_width,
                                                instrument.tension);
        break;
    default:
        g_assert_not_reached();
    }
    if (view_area)
        gtk_widget_queue_draw(view_area);
}

namespace {

// A value that shapes the sound changed: the next Play renders again, and
// whoever keeps the sound's history hears of it.
void sound_changed()
{
    need_render = 1;
    live_play_sound_changed();
    if (sound_change_hook)
        sound_change_hook();
}

int32_t spin_value(GtkWidget *spin)
{
    return gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(spin));
}

void set_spin(GtkWidget *spin, int32_t value)
{
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), value);
}

void check_shape(int32_t type)
{
    g_assert(type == TYPE_TUBE || type == TYPE_ROD || type == TYPE_PLANE);
}

// The size fields of the shown shape take what their spin buttons show: a
// loaded size outside a spin button's range is brought to its nearest bound
// without a change the spin button would report.
void take_shown_sizes()
{
    switch (instrument.type) {
    case TYPE_TUBE:
        instrument.tube_height = spin_value(tube_height_spin);
        instrument.tube_circumference = spin_value(tube_circumference_spin);
        break;
    case TYPE_ROD:
        instrument.rod_length = spin_value(rod_length_spin);
        break;
    case TYPE_PLANE:
        instrument.plane_length = spin_value(plane_length_spin);
        instrument.plane_width = spin_value(plane_width_spin);
        break;
    default:
        g_assert_not_reached();
    }
}

} // namespace

void update_nodes_range()
{
    check_shape(instrument.type);
    const NodeRange range = node_range(instrument);
    gtk_spin_button_set_range(GTK_SPIN_BUTTON(actuation_spin[instrument.type]), range.lower,
                              range.upper);
    gtk_spin_button_set_range(GTK_SPIN_BUTTON(sampling_spin[instrument.type]), range.lower,
                              range.upper);
}

void on_spinbutton_changed(GtkSpinButton *spin, gpointer field)
{
    *static_cast<int32_t *>(field) = gtk_spin_button_get_value_as_int(spin);
    update_nodes_range();
    check_shape(instrument.type);
    instrument.actuation_node = instrument_reset_actuation_node(instrument);
    instrument.sampling_node = instrument_reset_sampling_node(instrument);
    set_spin(actuation_spin[instrument.type], instrument.actuation_node);
    set_spin(sampling_spin[instrument.type], instrument.sampling_node);
    sound_changed();
    render_object();
}

void on_node_changed(GtkSpinButton *spin, gpointer field)
{
    int32_t *node = static_cast<int32_t *>(field);
    const int32_t value = gtk_spin_button_get_value_as_int(spin);
    if (plane_node_is_skipped(instrument, value)) {
        // Setting the spin button runs this handler again with an accepted
        // number.
        gtk_spin_button_set_value(spin, plane_corner_skip_target(value, *node));
        return;
    }
    *node = value;
    sound_changed();
    render_object();
}

void on_page_switched(GtkNotebook *, gpointer, guint page_num, gpointer)
{
    instrument.type = static_cast<int32_t>(page_num);
    check_shape(instrument.type);
    instrument.actuation_node = spin_value(actuation_spin[instrument.type]);
    instrument.sampling_node = spin_value(sampling_spin[instrument.type]);
    render_object();
    sound_changed();
}

void on_tension_changed(GtkAdjustment *adjustment, gpointer)
{
    instrument.tension = gtk_adjustment_get_value(adjustment);
    sound_changed();
    render_object();
}

void on_value_changed(GtkAdjustment *adjustment, gpointer target)
{
    *static_cast<double *>(target) = gtk_adjustment_get_value(adjustment);
    sound_changed();
}

void on_actuation_changed(GtkComboBox *combo, gpointer)
{
    instrument.actuation = gtk_combo_box_get_active(combo);
    sound_changed();
}

void on_decay_toggled(GtkToggleButton *check, gpointer scale)
{
    instrument.decay_stop = gtk_toggle_button_get_active(check) ? 1 : 0;
    gtk_widget_set_sensitive(GTK_WIDGET(scale), instrument.decay_stop);
    sound_changed();
}

int gui_set_values(Instrument *ins, const char *file_name, std::string &message)
{
    const PresLoadResult loaded = load_pres_result(ins, file_name, message);
    const int result = loaded == PRES_LOADED ? 0 : -1;
    check_shape(ins->type);
    // Nothing may be built from a loaded value the widgets cannot show: the
    // page switch below rebuilds the preview before the sizes are set.
    clamp_pres(ins);

    gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), ins->type);

    gtk_range_set_value(GTK_RANGE(tension_scale), ins->tension);
    gtk_range_set_value(GTK_RANGE(speed_scale), ins->speed);
    gtk_range_set_value(GTK_RANGE(damping_scale), ins->damping);
    gtk_range_set_value(GTK_RANGE(velocity_scale), ins->velocity);
    gtk_combo_box_set_active(GTK_COMBO_BOX(actuation_combo), ins->actuation);

    switch (ins->type) {
    case TYPE_TUBE: {
        // The height's handler rewrites the nodes, never the sizes.
        const int32_t circumference = ins->tube_circumference;
        set_spin(tube_height_spin, ins->tube_height);
        set_spin(tube_circumference_spin, circumference);
        break;
    }
    case TYPE_ROD:
        set_spin(rod_length_spin, ins->rod_length);
        break;
    case TYPE_PLANE: {
        const int32_t width = ins->plane_width;
        set_spin(plane_length_spin, ins->plane_length);
        set_spin(plane_width_spin, width);
        break;
    }
    default:
        g_assert_not_reached();
    }
    take_shown_sizes();
    sound_changed();
    return result;
}
