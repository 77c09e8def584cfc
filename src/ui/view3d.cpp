// Placeholder until the OpenGL view is written: the fallback label only.
#include "view3d.h"

#include "intl.h"
#include "window_state.h"

float view_rot_x = 0.0f, view_rot_y = 90.0f;
double drag_x = 0.0, drag_y = 0.0;

GtkWidget *gui_create_view_widget()
{
    GtkWidget *label = gtk_label_new(_("<OpenGL is buggy!>"));
    gtk_widget_show(label);
    return label;
}

gboolean on_view_realize(GtkWidget *, gpointer) { return TRUE; }
gboolean on_view_button_press(GtkWidget *, GdkEventButton *, gpointer) { return TRUE; }
gboolean on_view_button_release(GtkWidget *, GdkEventButton *, gpointer) { return TRUE; }
gboolean on_view_motion(GtkWidget *, GdkEventMotion *, gpointer) { return TRUE; }
gboolean on_view_expose(GtkWidget *, GdkEventExpose *, gpointer) { return TRUE; }
