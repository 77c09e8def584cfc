// The program setup dialog, made at its first opening and kept hidden.
#include "setup_dialog.h"

#include "config_registry.h"
#include "intl.h"
#include "message_dialog.h"
#include "sound_driver.h"
#include "window_state.h"

namespace {

GtkWidget *setup_dialog = nullptr;
GtkWidget *setup_area = nullptr;
GtkWidget *driver_combo = nullptr;
GtkWidget *playback_rate_combo = nullptr, *export_rate_combo = nullptr;
GtkListStore *playback_rate_store = nullptr, *export_rate_store = nullptr;
GtkWidget *auto_ext_check = nullptr, *overwrite_check = nullptr;
GtkWidget *driver_widget = nullptr;

// What the widgets show, read when OK is pressed.
int32_t chosen_driver = 0;
int32_t chosen_playback_rate = 0, chosen_export_rate = 0;
int32_t chosen_auto_ext = 0, chosen_overwrite_warning = 0;

constexpr guint rates_hz[] = {44100, 48000, 96000};
constexpr gint row_spacing = 4;
constexpr guint row_padding = 1;
constexpr guint driver_widget_padding = 4;
constexpr guint separator_padding = 2;
// Below the dialog's own button area and the Sound output row.
constexpr gint driver_widget_position = 2;

GtkWidget *add_rate_row(const char *label, GtkListStore **store, GtkWidget *box,
                        const char *tooltip)
{
    GtkWidget *row = gtk_hbox_new(FALSE, row_spacing);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, row_padding);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(_(label)), FALSE, FALSE, 0);

    *store = gtk_list_store_new(1, G_TYPE_UINT);
    GtkWidget *combo = gtk_combo_box_new_with_model(GTK_TREE_MODEL(*store));
    for (guint rate : rates_hz) {
        GtkTreeIter iter;
        gtk_list_store_append(*store, &iter);
        gtk_list_store_set(*store, &iter, 0, rate, -1);
    }
    // The combo box holds the store from here on.
    g_object_unref(*store);

    GtkCellRenderer *cell = gtk_cell_renderer_text_new();
    gtk_cell_layout_pack_start(GTK_CELL_LAYOUT(combo), cell, TRUE);
    gtk_cell_layout_set_attributes(GTK_CELL_LAYOUT(combo), cell, "text", 0, nullptr);
    gtk_box_pack_end(GTK_BOX(row), combo, TRUE, TRUE, 0);
    if (tooltip)
        gtk_widget_set_tooltip_text(row, _(tooltip));
    return combo;
}

// Makes the row holding `rate` active; 0 when no row holds it.
int select_rate(GtkWidget *combo, GtkListStore *store, int32_t rate)
{
    GtkTreeIter iter;
    gint index = 0;
    for (gboolean row = gtk_tree_model_get_iter_first(GTK_TREE_MODEL(store), &iter); row;
         row = gtk_tree_model_iter_next(GTK_TREE_MODEL(store), &iter), ++index) {
        guint value = 0;
        gtk_tree_model_get(GTK_TREE_MODEL(store), &iter, 0, &value, -1);
        if (static_cast<int64_t>(value) == rate) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(combo), index);
            return 1;
        }
    }
    return 0;
}

// A stored rate the list does not offer (written into the configuration by
// hand) stays the choice until the user picks another: OK never stores or
// opens a rate of 0 that nobody chose, and the list shows no rate rather than
// a wrong one.
void keep_unlisted_rate(GtkWidget *combo, GtkListStore *store, int32_t rate, int32_t *chosen)
{
    if (select_rate(combo, store, rate))
        return;
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), -1);
    // A rate that cannot be one at all gives way to the usual default.
    constexpr int32_t default_rate_hz = 48000;
    *chosen = rate > 0 ? rate : default_rate_hz;
}

void on_driver_changed(GtkComboBox *combo, gpointer area)
{
    chosen_driver = gtk_combo_box_get_active(combo);
    GtkWidget *widget = nullptr;
    if (chosen_driver >= 0 && static_cast<size_t>(chosen_driver) < driver_list.size()) {
        const SoundDriver *d = driver_list[static_cast<size_t>(chosen_driver)];
        if (d->settings_widget)
            widget = d->settings_widget();
    }
    if (widget == driver_widget)
        return;
    if (driver_widget) {
        // The driver keeps its widget for a later selection.
        g_object_ref(driver_widget);
        gtk_container_remove(GTK_CONTAINER(area), driver_widget);
    }
    if (widget) {
        gtk_box_pack_start(GTK_BOX(area), widget, FALSE, FALSE, driver_widget_padding);
        gtk_box_reorder_child(GTK_BOX(area), widget, driver_widget_position);
    }
    driver_widget = widget;
}

void read_active_rate(GtkComboBox *combo, GtkListStore *store, int32_t *chosen)
{
    GtkTreeIter iter;
    if (!gtk_combo_box_get_active_iter(combo, &iter))
        return;
    guint value = 0;
    gtk_tree_model_get(GTK_TREE_MODEL(store), &iter, 0, &value, -1);
    *chosen = static_cast<int32_t>(value);
}

void on_playback_rate_changed(GtkComboBox *combo, gpointer store)
{
    read_active_rate(combo, GTK_LIST_STORE(store), &chosen_playback_rate);
}

void on_export_rate_changed(GtkComboBox *combo, gpointer store)
{
    read_active_rate(combo, GTK_LIST_STORE(store), &chosen_export_rate);
}

void on_check_toggled(GtkToggleButton *check, gpointer choice)
{
    *static_cast<int32_t *>(choice) = gtk_toggle_button_get_active(check) ? 1 : 0;
}

GtkWidget *add_check(const char *label, int32_t *choice)
{
    GtkWidget *check = gtk_check_button_new_with_label(_(label));
    gtk_box_pack_start(GTK_BOX(setup_area), check, FALSE, FALSE, 0);
    g_signal_connect(check, "toggled", G_CALLBACK(on_check_toggled), choice);
    return check;
}

void make_setup_dialog()
{
    setup_dialog = gtk_dialog_new_with_buttons(
        _("Clangwright configuration"), main_window ? GTK_WINDOW(main_window) : nullptr,
        GTK_DIALOG_MODAL, GTK_STOCK_OK, GTK_RESPONSE_OK, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
        nullptr);
    gtk_window_set_resizable(GTK_WINDOW(setup_dialog), FALSE);
    gui_keep_on_close(setup_dialog);
    setup_area = GTK_DIALOG(setup_dialog)->vbox;

    GtkWidget *output_row = gtk_hbox_new(FALSE, row_spacing);
    gtk_box_pack_start(GTK_BOX(setup_area), output_row, FALSE, FALSE, row_padding);
    gtk_box_pack_start(GTK_BOX(output_row), gtk_label_new(_("Sound output:")), FALSE, FALSE, 0);
    driver_combo = gtk_combo_box_new_text();
    for (const SoundDriver *d : driver_list)
        gtk_combo_box_append_text(GTK_COMBO_BOX(driver_combo), d->name);
    gtk_box_pack_end(GTK_BOX(output_row), driver_combo, TRUE, TRUE, 0);
    g_signal_connect(driver_combo, "changed", G_CALLBACK(on_driver_changed), setup_area);

    if (driver && driver->settings_widget) {
        driver_widget = driver->settings_widget();
        if (driver_widget)
            gtk_box_pack_start(GTK_BOX(setup_area), driver_widget, FALSE, FALSE,
                               driver_widget_padding);
    }

    playback_rate_combo =
        add_rate_row(N_("Playback rate:"), &playback_rate_store, setup_area, nullptr);
    g_signal_connect(playback_rate_combo, "changed", G_CALLBACK(on_playback_rate_changed),
                     playback_rate_store);

    gtk_box_pack_start(GTK_BOX(setup_area), gtk_hseparator_new(), FALSE, FALSE,
                       separator_padding);

    auto_ext_check = add_check(N_("Add extension to files without it"), &chosen_auto_ext);
    overwrite_check = add_check(N_("File overwrite warning"), &chosen_overwrite_warning);

    export_rate_combo = add_rate_row(N_("Export rate:"), &export_rate_store, setup_area,
                                     N_("Discretization rate for export to WAV file"));
    g_signal_connect(export_rate_combo, "changed", G_CALLBACK(on_export_rate_changed),
                     export_rate_store);

    gtk_widget_show_all(setup_area);
}

} // namespace

void on_program_setup(GtkWidget *, gpointer)
{
    if (!setup_dialog)
        make_setup_dialog();

    gtk_combo_box_set_active(GTK_COMBO_BOX(driver_combo), cwr_get_current_driver());
    chosen_auto_ext = conf_get_bool(conf_auto_ext);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(auto_ext_check), chosen_auto_ext);
    chosen_overwrite_warning = conf_get_bool(conf_overwrite_warning);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(overwrite_check), chosen_overwrite_warning);
    keep_unlisted_rate(playback_rate_combo, playback_rate_store, playback_rate,
                       &chosen_playback_rate);
    keep_unlisted_rate(export_rate_combo, export_rate_store, export_rate, &chosen_export_rate);

    const gint response = gtk_dialog_run(GTK_DIALOG(setup_dialog));
    gtk_widget_hide(setup_dialog);

    if (response == GTK_RESPONSE_OK) {
        conf_set_bool(conf_auto_ext, chosen_auto_ext);
        conf_set_bool(conf_overwrite_warning, chosen_overwrite_warning);
        playback_rate = chosen_playback_rate;
        conf_set_int(conf_rate, playback_rate);
        cwr_set_driver(chosen_driver, playback_rate);
        export_rate = chosen_export_rate;
        conf_set_int(conf_export_rate, export_rate);
    }
    for (size_t i = 0; i < driver_list.size(); ++i)
        if (driver_list[i]->setup_done)
            driver_list[i]->setup_done(response == GTK_RESPONSE_OK &&
                                               static_cast<int32_t>(i) == chosen_driver
                                           ? 1
                                           : 0);
}
