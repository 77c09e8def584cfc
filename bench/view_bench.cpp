// Time of one expose of the 3D view for the largest mesh the window allows
// (a plane of 30 x 39 nodes: 1170 cubes, 7020 strips in immediate mode), in
// whatever OpenGL the display offers (software GL under Xvfb). Dragging stays
// fluid while a frame takes well under 33 ms.
//
// Needs an X display with GLX; without one it says so and exits with 0.
#include <benchmark/benchmark.h>
#include <gtk/gtk.h>
#include <gtk/gtkgl.h>
#include <GL/gl.h>

#include <cstdio>

#include "instrument.h"
#include "parameters.h"
#include "view3d.h"
#include "window_state.h"

namespace {

void settle()
{
    while (gtk_events_pending())
        gtk_main_iteration();
    gdk_window_process_all_updates();
}

// One full redraw: invalidate, expose (clear, draw, swap), then wait until
// OpenGL and the X server have finished it.
void view_expose_largest_plane(benchmark::State &state)
{
    GdkGLDrawable *drawable = gtk_widget_get_gl_drawable(view_area);
    GdkGLContext *context = gtk_widget_get_gl_context(view_area);
    GdkDisplay *display = gdk_display_get_default();
    for (auto _ : state) {
        gdk_window_invalidate_rect(view_area->window, nullptr, FALSE);
        gdk_window_process_updates(view_area->window, FALSE);
        gdk_gl_drawable_gl_begin(drawable, context);
        glFinish();
        gdk_gl_drawable_gl_end(drawable);
        gdk_display_sync(display);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (!gtk_init_check(&argc, &argv) || !gtk_gl_init_check(&argc, &argv)) {
        std::puts("view_bench: no X display with OpenGL, nothing measured");
        return 0;
    }
    instrument = instrument_defaults();
    instrument.type = TYPE_PLANE;
    instrument.plane_length = instrument_range::plane_length_max;
    instrument.plane_width = instrument_range::plane_width_max;
    instrument.actuation_node = instrument_reset_actuation_node(instrument);
    instrument.sampling_node = instrument_reset_sampling_node(instrument);

    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(window), gui_create_view_widget());
    if (!view_area) {
        std::puts("view_bench: no OpenGL configuration on this display, nothing measured");
        return 0;
    }
    gtk_widget_show_all(window); // realizing the view builds the plane
    settle();
    // Each frame takes milliseconds: let the repetitions, not the iteration
    // count, give the spread.
    constexpr int repetitions = 25;
    benchmark::RegisterBenchmark("view_expose/plane_30x39", view_expose_largest_plane)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(repetitions)
        ->ReportAggregatesOnly(true);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gtk_widget_destroy(window);
    return 0;
}
