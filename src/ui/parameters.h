// The handlers behind the parameter widgets: they keep `instrument` equal to
// what the widgets show, both node numbers on movable nodes, and the preview
// object in step with the shape, its sizes and the tension.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "instrument.h"

//! Replaces preview_object with a new object of the current shape, sizes and
//! tension (null when the builder fails) and asks the 3D view to redraw.
void render_object();

//! Sets the bounds of the current shape's two node spin buttons to its
//! movable node range (values outside move to the nearest bound).
void update_nodes_range();

void on_spinbutton_changed(GtkSpinButton *spin, gpointer field);
void on_node_changed(GtkSpinButton *spin, gpointer field);
void on_page_switched(GtkNotebook *notebook, gpointer page, guint page_num, gpointer data);
void on_tension_changed(GtkAdjustment *adjustment, gpointer data);
void on_value_changed(GtkAdjustment *adjustment, gpointer target);
void on_actuation_changed(GtkComboBox *combo, gpointer data);
void on_decay_toggled(GtkToggleButton *check, gpointer scale);

//! The load-presets dialog's file action: loads the preset into `ins` and
//! brings every widget in line with it. Returns load_pres's result.
int gui_set_values(Instrument *ins, const char *file_name, std::string &message);
