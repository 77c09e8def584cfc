// The 3D view: the preview object drawn as lit cubes, rotated by dragging
// with the first mouse button.
#pragma once

#include <gtk/gtk.h>

//! Rotation of the object in degrees: about x (vertical drags, starts at 0)
//! and about y (horizontal drags, starts at 90); 0..360 after a motion.
extern float view_rot_x, view_rot_y;
//! Pointer position remembered by the last press or rotating motion, pixels.
extern double drag_x, drag_y;

//! Makes the child of the "3D View" frame: an OpenGL drawing area (stored in
//! view_area, 300 x 300, its five handlers connected) when an OpenGL
//! configuration can be made (double buffered, else single), otherwise the
//! label "<OpenGL is buggy!>" with view_area left null. Either widget is
//! shown, may take the focus, may not be the default and gets the view's
//! event mask. Requires gtk_gl_init_check to have run.
GtkWidget *gui_create_view_widget();

gboolean on_view_realize(GtkWidget *widget, gpointer data);
gboolean on_view_button_press(GtkWidget *widget, GdkEventButton *event, gpointer data);
gboolean on_view_button_release(GtkWidget *widget, GdkEventButton *event, gpointer data);
gboolean on_view_motion(GtkWidget *widget, GdkEventMotion *event, gpointer data);
gboolean on_view_expose(GtkWidget *widget, GdkEventExpose *event, gpointer data);
