// The main window: built once at start-up from tables, then left to the
// handlers of the other modules.
#include "main_window.h"

#include <gdk/gdkkeysyms.h>

#include <string>

#include "actions.h"
#include "config_registry.h"
#include "explore_panel.h"
#include "file_dialogs.h"
#include "install_paths.h"
#include "intl.h"
#include "keyboard.h"
#include "parameters.h"
#include "presets.h"
#include "render.h"
#include "setup_dialog.h"
#include "sound_driver.h"
#include "sound_panel.h"
#include "tune_panel.h"
#include "view3d.h"
#include "window_state.h"

namespace {

enum class ButtonList { none, busy, stop };

// One stock button of the toolbar. `dialog` points at the FileDialog the
// button runs, for the dialog rows.
struct ToolbarRow {
    const char *stock_id;
    const char *tooltip;
    guint key;
    GdkModifierType modifiers;
    GCallback handler;
    FileDialog **dialog;
    ButtonList list;
};

const ToolbarRow toolbar_rows[] = {
    {GTK_STOCK_OPEN, N_("Open Presets (Ctrl + O)"), GDK_o, GDK_CONTROL_MASK,
     G_CALLBACK(gui_run_file_dialog), &load_presets_dialog, ButtonList::busy},
    {GTK_STOCK_SAVE, N_("Save Presets (Ctrl + S)"), GDK_s, GDK_CONTROL_MASK,
     G_CALLBACK(gui_run_file_dialog), &save_presets_dialog, ButtonList::none},
    {GTK_STOCK_MEDIA_PLAY, N_("Play Rendered Sound (space)"), GDK_space, GdkModifierType(0),
     G_CALLBACK(on_play), nullptr, ButtonList::busy},
    {GTK_STOCK_MEDIA_STOP, N_("Stop Rendering / Playback (Ctrl + B)"), GDK_b, GDK_CONTROL_MASK,
     G_CALLBACK(on_stop), nullptr, ButtonList::stop},
    {GTK_STOCK_ABOUT, N_("About Clangwright (Ctrl + H)"), GDK_h, GDK_CONTROL_MASK,
     G_CALLBACK(on_about), nullptr, ButtonList::none},
    {GTK_STOCK_PROPERTIES, N_("Program Setup (Ctrl + U)"), GDK_u, GDK_CONTROL_MASK,
     G_CALLBACK(on_program_setup), nullptr, ButtonList::none},
    {GTK_STOCK_QUIT, N_("Close Program (Ctrl + Q)"), GDK_q, GDK_CONTROL_MASK,
     G_CALLBACK(on_quit), nullptr, ButtonList::none},
};

// The Save WAV button goes between Stop and About.
constexpr gint save_wav_position = 4;
constexpr int save_wav_icon_sizes[] = {22, 32};

// Spacing of the window's tables and boxes, in pixels.
constexpr guint table_border = 10;
constexpr guint table_row_spacing = 5;
constexpr guint table_column_spacing = 10;
constexpr guint view_frame_border = 4;
constexpr guint status_border = 10;
constexpr guint status_spacing = 10;
constexpr gint view_digits = 3;
constexpr gint decay_digits = 2;

// The shape pages' spin buttons: step 1, page 10, no fractions.
constexpr double node_step = 1, node_page = 10;

void add_to_list(GtkWidget *button, ButtonList list)
{
    if (list == ButtonList::busy)
        busy_buttons = g_slist_prepend(busy_buttons, button);
    else if (list == ButtonList::stop)
        stop_buttons = g_slist_prepend(stop_buttons, button);
}

void add_accelerator(GtkToolItem *item, GtkAccelGroup *accel, guint key, GdkModifierType mods)
{
    // On "clicked", so that an insensitive button ignores its key as it
    // ignores a click.
    gtk_widget_add_accelerator(GTK_WIDGET(item), "clicked", accel, key, mods, GtkAccelFlags(0));
}

void connect_row(GtkToolItem *item, const ToolbarRow &row)
{
    if (row.dialog)
        g_signal_connect(item, "clicked", row.handler, *row.dialog);
    else
        g_signal_connect(item, "clicked", row.handler, nullptr);
}

GtkWidget *build_toolbar(GtkAccelGroup *accel)
{
    GtkWidget *toolbar = gtk_toolbar_new();
    // Every button stays on the bar, so its key works whatever the window's
    // width (a narrow window without the 3D view would hide Close otherwise).
    gtk_toolbar_set_show_arrow(GTK_TOOLBAR(toolbar), FALSE);
    gint position = 0;
    for (const ToolbarRow &row : toolbar_rows) {
        GtkToolItem *item = gtk_tool_button_new_from_stock(row.stock_id);
        gtk_tool_item_set_tooltip_text(item, _(row.tooltip));
        gtk_toolbar_insert(GTK_TOOLBAR(toolbar), item, position++);
        connect_row(item, row);
        add_accelerator(item, accel, row.key, row.modifiers);
        add_to_list(GTK_WIDGET(item), row.list);
    }

    for (int size : save_wav_icon_sizes) {
        const std::string file =
            cw_install_path(("share/clangwright/save-wav-" + std::to_string(size) + ".png").c_str());
        GdkPixbuf *image = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
        if (!image)
            continue; // that size stays unregistered
        gtk_icon_theme_add_builtin_icon("save_wav", gdk_pixbuf_get_width(image), image);
        g_object_unref(image);
    }

    GtkToolItem *save_wav = gtk_tool_button_new(nullptr, _("Save WAV"));
    gtk_tool_button_set_icon_name(GTK_TOOL_BUTTON(save_wav), "save_wav");
    gtk_tool_item_set_tooltip_text(save_wav, _("Save rendered sound as WAV (Ctrl + W)"));
    add_accelerator(save_wav, accel, GDK_w, GDK_CONTROL_MASK);
    g_signal_connect(save_wav, "clicked", G_CALLBACK(gui_run_file_dialog), wav_dialog);
    gtk_toolbar_insert(GTK_TOOLBAR(toolbar), save_wav, save_wav_position);
    add_to_list(GTK_WIDGET(save_wav), ButtonList::busy);

    gtk_widget_show_all(toolbar);
    set_ready_state(true);
    return toolbar;
}

// ---- Shape pages ----

GtkWidget *new_table(guint rows, guint columns)
{
    GtkWidget *table = gtk_table_new(rows, columns, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(table), table_border);
    gtk_table_set_row_spacings(GTK_TABLE(table), table_row_spacing);
    gtk_table_set_col_spacings(GTK_TABLE(table), table_column_spacing);
    return table;
}

void attach_fixed(GtkWidget *table, GtkWidget *child, guint column, guint row)
{
    gtk_table_attach(GTK_TABLE(table), child, column, column + 1, row, row + 1, GtkAttachOptions(0),
                     GtkAttachOptions(0), 0, 0);
}

void attach_label(GtkWidget *table, const char *text, guint column, guint row)
{
    attach_fixed(table, gtk_label_new(_(text)), column, row);
}

GtkWidget *new_int_spin(int32_t value, int32_t lower, int32_t upper)
{
    GtkObject *adjustment = gtk_adjustment_new(value, lower, upper, node_step, node_page, 0);
    return gtk_spin_button_new(GTK_ADJUSTMENT(adjustment), 1, 0);
}

GtkWidget *size_spin(GtkWidget *table, const char *label, guint row, int32_t *field, int32_t lower,
                     int32_t upper)
{
    attach_label(table, label, 0, row);
    GtkWidget *spin = new_int_spin(*field, lower, upper);
    attach_fixed(table, spin, 1, row);
    g_signal_connect(spin, "value-changed", G_CALLBACK(on_spinbutton_changed), field);
    return spin;
}

void node_spins(GtkWidget *table, int shape, int32_t actuation, int32_t sampling, int32_t lower,
                int32_t upper)
{
    attach_label(table, N_("Actuation Node"), 2, 0);
    actuation_spin[shape] = new_int_spin(actuation, lower, upper);
    attach_fixed(table, actuation_spin[shape], 3, 0);
    g_signal_connect(actuation_spin[shape], "value-changed", G_CALLBACK(on_node_changed),
                     &instrument.actuation_node);

    attach_label(table, N_("Sampling Node"), 2, 1);
    sampling_spin[shape] = new_int_spin(sampling, lower, upper);
    attach_fixed(table, sampling_spin[shape], 3, 1);
    g_signal_connect(sampling_spin[shape], "value-changed", G_CALLBACK(on_node_changed),
                     &instrument.sampling_node);
}

void append_page(GtkWidget *table, const char *tab)
{
    gtk_widget_show_all(table);
    gtk_notebook_append_page(GTK_NOTEBOOK(shape_notebook), table, gtk_label_new(_(tab)));
}

void build_shape_pages()
{
    namespace range = instrument_range;
    const int32_t h = instrument.tube_height, c = instrument.tube_circumference;
    const int32_t n = instrument.rod_length;
    const int32_t L = instrument.plane_length, W = instrument.plane_width;

    GtkWidget *tube = new_table(4, 2);
    tube_height_spin = size_spin(tube, N_("Tube Height"), 0, &instrument.tube_height,
                                 range::tube_height_min, range::tube_height_max);
    tube_circumference_spin =
        size_spin(tube, N_("Tube Circumference"), 1, &instrument.tube_circumference,
                  range::tube_circumference_min, range::tube_circumference_max);
    node_spins(tube, TYPE_TUBE, c + c / 2, (h - 2) * c, c, (h - 1) * c - 1);
    append_page(tube, N_("Tube"));

    GtkWidget *rod = new_table(4, 2);
    rod_length_spin = size_spin(rod, N_("Rod Length"), 0, &instrument.rod_length,
                                range::rod_length_min, range::rod_length_max);
    node_spins(rod, TYPE_ROD, 1, n - 2, 1, n - 2);
    append_page(rod, N_("Rod"));

    GtkWidget *plane = new_table(4, 2);
    plane_length_spin = size_spin(plane, N_("Plane Length"), 0, &instrument.plane_length,
                                  range::plane_length_min, range::plane_length_max);
    plane_width_spin = size_spin(plane, N_("Plane Width"), 1, &instrument.plane_width,
                                 range::plane_width_min, range::plane_width_max);
    node_spins(plane, TYPE_PLANE, 1, L * W - W - 1, 1, L * W - 2);
    append_page(plane, N_("Plane"));
}

// ---- Parameter table ----

void attach_row_label(GtkWidget *table, const char *text, guint row)
{
    attach_fixed(table, gtk_label_new(_(text)), 0, row);
}

void attach_filling(GtkWidget *table, GtkWidget *child, guint column, guint row)
{
    gtk_table_attach(GTK_TABLE(table), child, column, column + 1, row, row + 1, GTK_FILL, GTK_FILL,
                     0, 0);
}

// A slider and a spin button on one adjustment over `field`; returns the slider.
// A spin button parses its text back whenever it loses the focus, which
// would round a value with more digits than it shows (a tuned speed) to the
// digits shown. A text the user has not edited keeps the value exactly.
gint keep_unedited_value(GtkSpinButton *spin, gdouble *new_value, gpointer)
{
    const double value = gtk_adjustment_get_value(gtk_spin_button_get_adjustment(spin));
    // As the spin button formats its value.
    gchar *shown = g_strdup_printf("%0.*f", static_cast<int>(gtk_spin_button_get_digits(spin)),
                                   value);
    const bool unedited = g_strcmp0(gtk_entry_get_text(GTK_ENTRY(spin)), shown) == 0;
    g_free(shown);
    if (!unedited)
        return FALSE; // the spin button parses the typed text itself
    *new_value = value;
    return TRUE;
}

GtkWidget *add_scale_row(const char *label, GtkWidget *table, guint row, GCallback handler,
                         double *field, double lower, double upper, double step, double page)
{
    GtkObject *adjustment = gtk_adjustment_new(*field, lower, upper, step, page, 0);
    attach_row_label(table, label, row);
    GtkWidget *spin = gtk_spin_button_new(GTK_ADJUSTMENT(adjustment), step, view_digits);
    g_signal_connect(spin, "input", G_CALLBACK(keep_unedited_value), nullptr);
    attach_filling(table, spin, 2, row);
    GtkWidget *scale = gtk_hscale_new(GTK_ADJUSTMENT(adjustment));
    gtk_scale_set_digits(GTK_SCALE(scale), view_digits);
    attach_filling(table, scale, 1, row);
    g_signal_connect(adjustment, "value-changed", handler, field);
    return scale;
}

GtkWidget *build_parameter_table()
{
    namespace range = instrument_range;
    GtkWidget *table = new_table(7, 3);

    tension_scale = add_scale_row(N_("Spring Tension"), table, 0, G_CALLBACK(on_tension_changed),
                                  &instrument.tension, range::tension_min, range::tension_max,
                                  0.005, 0.1);
    speed_scale = add_scale_row(N_("Speed"), table, 1, G_CALLBACK(on_value_changed),
                                &instrument.speed, range::speed_min, range::speed_max, 0.01, 0.02);
    damping_scale = add_scale_row(N_("Damping time"), table, 2, G_CALLBACK(on_value_changed),
                                  &instrument.damping, range::damping_min, range::damping_max,
                                  0.001, 0.01);

    attach_row_label(table, N_("Type of Actuation"), 3);
    actuation_combo = gtk_combo_box_new_text();
    gtk_combo_box_append_text(GTK_COMBO_BOX(actuation_combo), _("Compression"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(actuation_combo), _("Perpendicular Hit"));
    gtk_table_attach(GTK_TABLE(table), actuation_combo, 1, 2, 3, 4,
                     GtkAttachOptions(GTK_EXPAND | GTK_FILL), GtkAttachOptions(0), 0, 0);
    gtk_combo_box_set_active(GTK_COMBO_BOX(actuation_combo), instrument.actuation);
    g_signal_connect(actuation_combo, "changed", G_CALLBACK(on_actuation_changed), nullptr);

    // The velocity row's page increment is smaller than its step, as it
    // always was.
    velocity_scale = add_scale_row(N_("Velocity"), table, 4, G_CALLBACK(on_value_changed),
                                   &instrument.velocity, range::velocity_min,
                                   range::velocity_max, 0.1, 0.05);

    attach_row_label(table, N_("Sample Length"), 5);
    constexpr double length_initial_s = 1, length_max_s = 10;
    GtkObject *length = gtk_adjustment_new(length_initial_s, 0, length_max_s, 0.1, 0.2, 0);
    length_scale = gtk_hscale_new(GTK_ADJUSTMENT(length));
    gtk_scale_set_digits(GTK_SCALE(length_scale), view_digits);
    attach_filling(table, length_scale, 1, 5);
    g_signal_connect(length, "value-changed", G_CALLBACK(on_value_changed), &sample_length);

    attach_row_label(table, N_("Final Decay"), 6);
    GtkWidget *decay_box = gtk_hbox_new(FALSE, 0);
    decay_check = gtk_check_button_new();
    gtk_widget_set_tooltip_text(decay_check,
                                _("Check this if you want to stop rendering at given decay"));
    gtk_box_pack_start(GTK_BOX(decay_box), decay_check, FALSE, TRUE, 0);
    constexpr double decay_initial_db = -50;
    GtkObject *decay = gtk_adjustment_new(decay_initial_db, range::decay_level_min,
                                          range::decay_level_max, 1, 5, 0);
    decay_scale = gtk_hscale_new(GTK_ADJUSTMENT(decay));
    gtk_scale_set_digits(GTK_SCALE(decay_scale), decay_digits);
    gtk_widget_set_tooltip_text(decay_scale,
                                _("Relative signal amplitude at which the rendering is stopped"));
    gtk_widget_set_sensitive(decay_scale, FALSE);
    gtk_box_pack_start(GTK_BOX(decay_box), decay_scale, TRUE, TRUE, 0);
    attach_filling(table, decay_box, 1, 6);
    g_signal_connect(decay, "value-changed", G_CALLBACK(on_value_changed), &instrument.decay_level);
    g_signal_connect(decay_check, "toggled", G_CALLBACK(on_decay_toggled), decay_scale);

    gtk_widget_show_all(table);
    return table;
}

GtkWidget *build_view_frame()
{
    GtkWidget *frame = gtk_aspect_frame_new(_("3D View"), 0.5, 0.5, 1, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(frame), view_frame_border);
    gtk_container_add(GTK_CONTAINER(frame), gui_create_view_widget());
    gtk_widget_show(frame);
    return frame;
}

GtkWidget *build_status_area()
{
    GtkWidget *frame = gtk_frame_new(_("Status"));
    gtk_container_set_border_width(GTK_CONTAINER(frame), status_border);
    GtkWidget *box = gtk_hbox_new(FALSE, status_spacing);
    gtk_container_set_border_width(GTK_CONTAINER(box), status_border);
    gtk_container_add(GTK_CONTAINER(frame), box);

    progress_bar = gtk_progress_bar_new();
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_bar), _("Ready..."));
    gtk_box_pack_start(GTK_BOX(box), progress_bar, TRUE, TRUE, 0);

    gchar *length = g_strdup_printf(_("Real length: %.1f s"), 0.0);
    length_label = gtk_label_new(length);
    g_free(length);
    gtk_box_pack_start(GTK_BOX(box), length_label, FALSE, FALSE, 0);

    gtk_widget_show_all(frame);
    return frame;
}

// The preset library as the load chooser's sidebar names it: the toolkit
// shows a shortcut's folder name, so the install links the library under
// "Examples" in each language; without the link in the window's language the
// library's own folder is offered.
std::string examples_folder()
{
    const std::string library = cw_install_path("share/clangwright/presets");
    gchar *name = g_filename_from_utf8(_("Examples"), -1, nullptr, nullptr, nullptr);
    if (!name)
        return library;
    gchar *link = g_build_filename(cw_install_path("share/clangwright/examples").c_str(), name,
                                   nullptr);
    const std::string folder = link;
    g_free(link);
    g_free(name);
    return g_file_test(folder.c_str(), G_FILE_TEST_IS_DIR) ? folder : library;
}

} // namespace

void gui_create_AppWindow(int32_t start_driver_index)
{
    ProgressFn progress = on_render_progress;
    instrument = instrument_defaults();
    instrument.progress = progress;

    const ConfBehaviourIndexes behaviour = conf_subscribe_behaviour_settings();
    conf_auto_ext = behaviour.auto_ext;
    conf_overwrite_warning = behaviour.overwrite_warning;
    conf_rate = behaviour.rate;
    conf_export_rate = behaviour.export_rate;
    playback_rate = conf_get_int(conf_rate);
    export_rate = conf_get_int(conf_export_rate);

    main_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(main_window), _("Clangwright"));
    gtk_window_set_resizable(GTK_WINDOW(main_window), FALSE);
    // A missing icon leaves the window without one; nothing to report.
    if (GdkPixbuf *icon = gdk_pixbuf_new_from_file(
            cw_install_path("share/pixmaps/clangwright.png").c_str(), nullptr)) {
        gtk_window_set_icon(GTK_WINDOW(main_window), icon);
        g_object_unref(icon);
    }
    GtkAccelGroup *accel = gtk_accel_group_new();
    gtk_window_add_accel_group(GTK_WINDOW(main_window), accel);

    GtkWidget *outer = gtk_vbox_new(FALSE, 0);
    gtk_widget_show(outer);
    gtk_container_add(GTK_CONTAINER(main_window), outer);

    const int32_t sample_path = conf_subscribe_sample_path();
    wav_dialog = gui_create_file_dialog(N_("Save .WAV file"), sample_path, "wav", "*.[wW][aA][vV]",
                                        N_("Microsoft RIFF (*.wav)"),
                                        GTK_FILE_CHOOSER_ACTION_SAVE, save_wav_action);
    const int32_t presets_path = conf_subscribe_presets_path();
    save_presets_dialog = gui_create_file_dialog(
        N_("Save presets to file"), presets_path, "cwrp", "*.[cC][wW][rR][pP]",
        N_("Clangwright presets (*.cwrp)"), GTK_FILE_CHOOSER_ACTION_SAVE, save_pres);
    load_presets_dialog = gui_create_file_dialog(
        N_("Load presets from file"), presets_path, "cwrp", "*.[cC][wW][rR][iIpP]",
        N_("Clangwright presets (*.cwri, *.cwrp)"), GTK_FILE_CHOOSER_ACTION_OPEN, gui_set_values);
    gui_offer_examples(load_presets_dialog, examples_folder());

    gtk_box_pack_start(GTK_BOX(outer), build_toolbar(accel), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(outer), gui_create_explore_bar(accel), FALSE, FALSE, 0);

    GtkWidget *across = gtk_hbox_new(FALSE, 0);
    gtk_widget_show(across);
    gtk_box_pack_start(GTK_BOX(outer), across, TRUE, TRUE, 0);
    GtkWidget *left = gtk_vbox_new(FALSE, 0);
    gtk_widget_show(left);
    gtk_box_pack_start(GTK_BOX(across), left, TRUE, TRUE, 0);

    shape_notebook = gtk_notebook_new();
    gtk_widget_show(shape_notebook);
    gtk_box_pack_start(GTK_BOX(left), shape_notebook, TRUE, TRUE, 0);
    build_shape_pages();
    gtk_box_pack_start(GTK_BOX(left), build_parameter_table(), TRUE, TRUE, 0);

    gtk_box_pack_start(GTK_BOX(across), build_view_frame(), TRUE, TRUE, 0);
    GtkWidget *right = gtk_vbox_new(FALSE, 0);
    gtk_widget_show(right);
    gtk_box_pack_start(GTK_BOX(right), build_sound_frame(), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(right), build_tune_row(accel), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(across), right, FALSE, FALSE, 0);
    // The keyboard shares the bottom row with the Status frame: below the
    // layout the window would no longer fit a 1366 x 768 screen.
    GtkWidget *bottom = gtk_hbox_new(FALSE, 0);
    gtk_widget_show(bottom);
    gtk_box_pack_start(GTK_BOX(bottom), build_status_area(), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(bottom), build_keyboard_frame(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(outer), bottom, TRUE, TRUE, 0);

    g_signal_connect(main_window, "delete-event", G_CALLBACK(on_quit), nullptr);
    // Connected only now, so that appending the pages ran no handler.
    g_signal_connect(shape_notebook, "switch-page", G_CALLBACK(on_page_switched), nullptr);

    cwr_set_driver(start_driver_index, playback_rate);
    gui_start_sound_history();

    gtk_widget_show(main_window);
}
