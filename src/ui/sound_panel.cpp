// The Sound frame.
#include "sound_panel.h"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "analysis_report.h"
#include "analysis_worker.h"
#include "intl.h"
#include "render.h"
#include "sound_plot.h"

GtkWidget *sound_waveform_area = nullptr, *sound_spectrum_area = nullptr,
          *sound_line_label = nullptr;

namespace {

// Sizes in pixels: beside the 3D view, no taller than the shape pages and
// the parameter table, and the whole window within 1366 x 768.
constexpr gint graph_width = 560;
constexpr gint waveform_height = 130, spectrum_height = 235;
constexpr guint frame_border = 4, box_border = 6, box_spacing = 4;

// The analysis on screen, and the render whose analysis is wanted: a result
// for an older one is dropped.
std::optional<SoundAnalysis> shown;
uint64_t wanted_render = 0;
// What lies under the pointer on the spectrum.
std::optional<double> pointer_x;
std::string pointer_text;

const SoundAnalysis &shown_or_empty()
{
    static const SoundAnalysis empty;
    return shown ? *shown : empty;
}

void redraw()
{
    if (sound_waveform_area)
        gtk_widget_queue_draw(sound_waveform_area);
    if (sound_spectrum_area)
        gtk_widget_queue_draw(sound_spectrum_area);
}

void set_line(const std::string &text)
{
    if (!sound_line_label)
        return;
    gtk_label_set_text(GTK_LABEL(sound_line_label), text.c_str());
    // The line is cut at the frame's width; the whole of it is its tooltip.
    gtk_widget_set_tooltip_text(sound_line_label, text.c_str());
}

void show_nothing(const char *line)
{
    shown.reset();
    set_line(line);
    redraw();
}

struct Delivery {
    uint64_t render;
    SoundAnalysis analysis;
};

// On the main loop: the worker's result, shown if it is still the last
// render's.
gboolean on_analysis_delivered(gpointer data)
{
    const std::unique_ptr<Delivery> delivery(static_cast<Delivery *>(data));
    if (delivery->render == wanted_render) {
        shown = std::move(delivery->analysis);
        set_line(analysis_summary(*shown));
        redraw();
    }
    return FALSE;
}

AnalysisWorker &worker()
{
    // On the worker's thread: only hands the result to the main loop.
    static AnalysisWorker w([](uint64_t render, SoundAnalysis analysis) {
        g_idle_add(on_analysis_delivered, new Delivery{render, std::move(analysis)});
    });
    return w;
}

struct CairoDestroy {
    void operator()(cairo_t *cr) const { cairo_destroy(cr); }
};

// A cairo context on the widget's window, clipped to the exposed area.
std::unique_ptr<cairo_t, CairoDestroy> expose_context(GtkWidget *widget, GdkEventExpose *event)
{
    std::unique_ptr<cairo_t, CairoDestroy> cr(gdk_cairo_create(widget->window));
    gdk_cairo_rectangle(cr.get(), &event->area);
    cairo_clip(cr.get());
    return cr;
}

PlotRect whole(GtkWidget *widget)
{
    return {0.0, 0.0, static_cast<double>(widget->allocation.width),
            static_cast<double>(widget->allocation.height)};
}

gboolean on_waveform_expose(GtkWidget *widget, GdkEventExpose *event, gpointer)
{
    const auto cr = expose_context(widget, event);
    draw_waveform(cr.get(), whole(widget), shown_or_empty());
    return TRUE;
}

gboolean on_spectrum_expose(GtkWidget *widget, GdkEventExpose *event, gpointer)
{
    const auto cr = expose_context(widget, event);
    draw_spectrum(cr.get(), whole(widget), shown_or_empty());
    if (pointer_x)
        draw_pointer(cr.get(), whole(widget), *pointer_x, pointer_text);
    return TRUE;
}

gboolean on_spectrum_motion(GtkWidget *widget, GdkEventMotion *event, gpointer)
{
    const SoundAnalysis &a = shown_or_empty();
    const std::optional<double> freq_hz = spectrum_freq_at(whole(widget), a, event->x, event->y);
    if (freq_hz) {
        pointer_x = event->x;
        gchar *text =
            g_strdup_printf(_("%.1f Hz · %s"), *freq_hz, note_text(*freq_hz, a.a4_hz).c_str());
        pointer_text = text;
        g_free(text);
    } else {
        pointer_x.reset();
        pointer_text.clear();
    }
    gtk_widget_queue_draw(widget);
    return FALSE;
}

gboolean on_spectrum_leave(GtkWidget *widget, GdkEventCrossing *, gpointer)
{
    pointer_x.reset();
    pointer_text.clear();
    gtk_widget_queue_draw(widget);
    return FALSE;
}

GtkWidget *new_graph(gint height, GCallback expose)
{
    GtkWidget *area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, graph_width, height);
    g_signal_connect(area, "expose-event", expose, nullptr);
    return area;
}

} // namespace

GtkWidget *build_sound_frame()
{
    shown.reset();
    pointer_x.reset();
    pointer_text.clear();

    GtkWidget *frame = gtk_frame_new(_("Sound"));
    gtk_container_set_border_width(GTK_CONTAINER(frame), frame_border);
    GtkWidget *box = gtk_vbox_new(FALSE, box_spacing);
    gtk_container_set_border_width(GTK_CONTAINER(box), box_border);
    gtk_container_add(GTK_CONTAINER(frame), box);

    sound_waveform_area = new_graph(waveform_height, G_CALLBACK(on_waveform_expose));
    gtk_box_pack_start(GTK_BOX(box), sound_waveform_area, FALSE, FALSE, 0);

    sound_spectrum_area = new_graph(spectrum_height, G_CALLBACK(on_spectrum_expose));
    gtk_widget_add_events(sound_spectrum_area, GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK);
    g_signal_connect(sound_spectrum_area, "motion-notify-event", G_CALLBACK(on_spectrum_motion),
                     nullptr);
    g_signal_connect(sound_spectrum_area, "leave-notify-event", G_CALLBACK(on_spectrum_leave),
                     nullptr);
    gtk_box_pack_start(GTK_BOX(box), sound_spectrum_area, TRUE, TRUE, 0);

    sound_line_label = gtk_label_new(nullptr);
    gtk_misc_set_alignment(GTK_MISC(sound_line_label), 0.0f, 0.5f);
    gtk_label_set_ellipsize(GTK_LABEL(sound_line_label), PANGO_ELLIPSIZE_END);
    // In the theme's small size, so that the line fits the graphs' width.
    PangoAttrList *attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes, pango_attr_scale_new(PANGO_SCALE_SMALL));
    gtk_label_set_attributes(GTK_LABEL(sound_line_label), attributes);
    pango_attr_list_unref(attributes);
    gtk_widget_set_size_request(sound_line_label, graph_width, -1);
    gtk_box_pack_start(GTK_BOX(box), sound_line_label, FALSE, FALSE, 0);
    set_line(_("No sound rendered"));

    gtk_widget_show_all(frame);
    return frame;
}

void sound_panel_rendered(uint64_t frames, int32_t rate_hz)
{
    ++wanted_render;
    if (frames == 0) {
        show_nothing(_("No sound rendered"));
        return;
    }
    // A copy: the next render may move or overwrite `samples` while the
    // worker reads.
    worker().request(wanted_render, std::vector<int16_t>(samples, samples + frames), rate_hz);
    show_nothing(_("Analysing the sound..."));
}

const SoundAnalysis *sound_panel_analysis()
{
    return shown ? &*shown : nullptr;
}

const std::string &sound_panel_pointer_text()
{
    return pointer_text;
}
