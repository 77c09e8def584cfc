// The 3D view: the preview object as one lit cube per node, drawn in
// immediate mode at every expose, and turned by dragging with button 1.
//
// Input handlers only change the angles and the remembered pointer position
// and invalidate the window; all OpenGL work happens in the expose handler,
// between gdk_gl_drawable_gl_begin and gdk_gl_drawable_gl_end. The handlers
// may run nested inside a render or a playback (their event runs); they read
// only preview_object and instrument's node numbers and tension.
#include "view3d.h"

#include <gtk/gtkgl.h>
#include <GL/gl.h>

#include "intl.h"
#include "parameters.h"
#include "view_geometry.h"
#include "window_state.h"

float view_rot_x = 0.0f, view_rot_y = 90.0f;
double drag_x = 0.0, drag_y = 0.0;

namespace {

constexpr gint view_size_px = 300;

// The light is given after the identity model-view matrix, so it stays fixed
// to the viewer while the object turns.
constexpr GLfloat light_ambient[] = {0.5f, 0.5f, 0.5f, 1.0f};
constexpr GLfloat light_diffuse[] = {1.0f, 1.0f, 1.0f, 1.0f};
constexpr GLfloat light_specular[] = {1.0f, 1.0f, 1.0f, 1.0f};
constexpr GLfloat light_position[] = {10.0f, 10.0f, 10.0f, 0.0f}; // directional
constexpr GLfloat light_model_ambient[] = {0.75f, 0.75f, 0.75f, 1.0f};

// The object's centre sits this far in front of the eye; the frustum reaches
// from 1 to 200, and the depth range is narrowed around the object.
constexpr GLfloat object_distance = 100.0f;
constexpr GLdouble frustum_near = 1.0, frustum_far = 200.0;
constexpr GLclampd depth_near = 0.4, depth_far = 0.6;

// Sets the drawing state (it is set anew at every expose), then sends every
// node's cube.
void draw_object(const MetalObj &obj, gint width, gint height)
{
    const ViewFrame frame = view_frame(obj);
    const float scale = view_projection_scale(frame.low, frame.high);

    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glDepthRange(depth_near, depth_far);
    glFrontFace(GL_CCW);
    glDepthFunc(GL_LESS);
    glEnable(GL_DEPTH_TEST);
    glCullFace(GL_BACK);
    glEnable(GL_CULL_FACE);

    glViewport(0, 0, width, height);

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(-1.0, 1.0, -1.0, 1.0, frustum_near, frustum_far);
    glScalef(scale, scale, 1.0f);

    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glLightfv(GL_LIGHT0, GL_AMBIENT, light_ambient);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, light_diffuse);
    glLightfv(GL_LIGHT0, GL_SPECULAR, light_specular);
    glLightfv(GL_LIGHT0, GL_POSITION, light_position);
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, light_model_ambient);
    glTranslatef(0.0f, 0.0f, -object_distance);
    glRotatef(view_rot_x, 1.0f, 0.0f, 0.0f);
    glRotatef(view_rot_y, 0.0f, 1.0f, 0.0f);
    glTranslatef(-frame.centre[0], -frame.centre[1], -frame.centre[2]);

    const float half = view_cube_half_size(instrument.tension);
    for (int32_t i = 0; i < obj.num_nodes; ++i) {
        const MetalObjNode *node = obj.nodes[i];
        if (!node)
            continue;
        const ViewColour &colour =
            view_node_colour(*node, i, instrument.actuation_node, instrument.sampling_node);
        glMaterialfv(GL_FRONT, GL_DIFFUSE, colour.data());
        for (const ViewFace &face : view_cube_faces(node->x, node->y, node->z, half)) {
            glBegin(GL_TRIANGLE_STRIP);
            glNormal3f(face.normal[0], face.normal[1], face.normal[2]);
            for (const auto &v : face.strip)
                glVertex3f(v[0], v[1], v[2]);
            glEnd();
        }
    }
}

} // namespace

GtkWidget *gui_create_view_widget()
{
    GdkGLConfig *config = gdk_gl_config_new_by_mode(
        GdkGLConfigMode(GDK_GL_MODE_RGB | GDK_GL_MODE_DEPTH | GDK_GL_MODE_DOUBLE));
    if (!config)
        config = gdk_gl_config_new_by_mode(GdkGLConfigMode(GDK_GL_MODE_RGB | GDK_GL_MODE_DEPTH));

    GtkWidget *widget;
    if (config) {
        // The configuration stays referenced by the view for the whole run.
        widget = gtk_drawing_area_new();
        gtk_widget_set_gl_capability(widget, config, nullptr, TRUE, GDK_GL_RGBA_TYPE);
        g_signal_connect(widget, "expose_event", G_CALLBACK(on_view_expose), nullptr);
        g_signal_connect(widget, "realize", G_CALLBACK(on_view_realize), nullptr);
        g_signal_connect(widget, "button_press_event", G_CALLBACK(on_view_button_press),
                         nullptr);
        g_signal_connect(widget, "button_release_event", G_CALLBACK(on_view_button_release),
                         nullptr);
        g_signal_connect(widget, "motion_notify_event", G_CALLBACK(on_view_motion), nullptr);
        gtk_widget_set_size_request(widget, view_size_px, view_size_px);
        view_area = widget;
    } else {
        widget = gtk_label_new(_("<OpenGL is buggy!>"));
    }

    gtk_widget_show(widget);
    gtk_widget_set_can_focus(widget, TRUE);
    gtk_widget_set_can_default(widget, FALSE);
    // Motion arrives as hints, and only while button 1 is down.
    gtk_widget_set_events(widget, GDK_EXPOSURE_MASK | GDK_POINTER_MOTION_HINT_MASK |
                                      GDK_BUTTON1_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                                      GDK_BUTTON_RELEASE_MASK);
    return widget;
}

gboolean on_view_realize(GtkWidget *, gpointer)
{
    render_object();
    return TRUE;
}

gboolean on_view_button_press(GtkWidget *, GdkEventButton *event, gpointer)
{
    drag_x = event->x;
    drag_y = event->y;
    return TRUE;
}

gboolean on_view_button_release(GtkWidget *, GdkEventButton *, gpointer)
{
    return TRUE;
}

gboolean on_view_motion(GtkWidget *widget, GdkEventMotion *event, gpointer)
{
    double x, y;
    GdkModifierType state;
    if (event->is_hint) {
        // Asking for the pointer also lets the next hint through.
        gint px, py;
        gdk_window_get_pointer(event->window, &px, &py, &state);
        x = px;
        y = py;
    } else {
        x = event->x;
        y = event->y;
        state = GdkModifierType(event->state);
    }
    if (!(state & GDK_BUTTON1_MASK))
        return TRUE;

    view_rot_y = view_rotation_step(view_rot_y, drag_x, x);
    view_rot_x = view_rotation_step(view_rot_x, drag_y, y);
    // The event's own position, also for a hint: the next step starts there.
    drag_x = event->x;
    drag_y = event->y;
    view_rot_x = view_wrap_angle(view_rot_x);
    view_rot_y = view_wrap_angle(view_rot_y);

    gtk_widget_queue_draw(widget);
    return TRUE;
}

gboolean on_view_expose(GtkWidget *widget, GdkEventExpose *event, gpointer)
{
    // Only the last expose of a series draws.
    if (event->count > 0)
        return TRUE;
    if (!gtk_widget_get_realized(widget))
        return TRUE;
    GdkGLContext *context = gtk_widget_get_gl_context(widget);
    GdkGLDrawable *drawable = gtk_widget_get_gl_drawable(widget);
    if (!gdk_gl_drawable_gl_begin(drawable, context))
        return TRUE;

    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (preview_object)
        draw_object(*preview_object, widget->allocation.width, widget->allocation.height);

    if (gdk_gl_drawable_is_double_buffered(drawable))
        gdk_gl_drawable_swap_buffers(drawable);
    else
        glFlush();
    gdk_gl_drawable_gl_end(drawable);
    return TRUE;
}
