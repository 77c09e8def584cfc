// The Sound frame.
#include "sound_panel.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "analysis_report.h"
#include "analysis_worker.h"
#include "intl.h"
#include "plot_support.h"
#include "render.h"
#include "sound_plot.h"
#include "spectrogram_plot.h"

GtkWidget *sound_waveform_area = nullptr, *sound_graph_area = nullptr,
          *sound_view_combo = nullptr, *sound_line_label = nullptr;

namespace {

// Sizes in pixels: beside the 3D view, no taller than the shape pages and
// the parameter table, and the whole window within 1366 x 768.
constexpr gint graph_width = 560;
constexpr gint waveform_height = 130, graph_height = 235;
constexpr guint frame_border = 4, box_border = 6, box_spacing = 4;

// The choice in the settings key file.
constexpr const char *settings_group = "sound", *settings_key = "view";
constexpr const char *spectrogram_name = "spectrogram";

// The analysis on screen, and the render whose analysis is wanted: a result
// for an older one is dropped.
std::optional<SoundAnalysis> shown;
uint64_t wanted_render = 0;
// What the graph below the waveform shows; kept from the settings, which are
// read before the frame is built.
SoundView view = SoundView::spectrum;
// What lies under the pointer on that graph.
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
    if (sound_graph_area)
        gtk_widget_queue_draw(sound_graph_area);
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

// A frequency and its note: "1000.0 Hz · B5 +48.7 cents".
std::string frequency_text(const SoundAnalysis &a, double freq_hz)
{
    return plot::format(_("%.1f Hz · %s"), freq_hz, note_text(freq_hz, a.a4_hz).c_str());
}

// What the chosen graph drawn in `outer` shows at (x, y); nothing outside
// its plotting area.
std::optional<std::string> reading_at(const PlotRect &outer, const SoundAnalysis &a, double x,
                                      double y)
{
    if (view == SoundView::spectrum) {
        const std::optional<double> freq_hz = spectrum_freq_at(outer, a, x, y);
        if (!freq_hz)
            return std::nullopt;
        return frequency_text(a, *freq_hz);
    }
    const std::optional<SpectrogramPoint> point = spectrogram_point_at(outer, a, x, y);
    if (!point)
        return std::nullopt;
    return plot::format(_("%.2f s · %s"), point->t_s, frequency_text(a, point->freq_hz).c_str());
}

void forget_pointer()
{
    pointer_x.reset();
    pointer_text.clear();
}

gboolean on_waveform_expose(GtkWidget *widget, GdkEventExpose *event, gpointer)
{
    const auto cr = expose_context(widget, event);
    draw_waveform(cr.get(), whole(widget), shown_or_empty());
    return TRUE;
}

gboolean on_graph_expose(GtkWidget *widget, GdkEventExpose *event, gpointer)
{
    const auto cr = expose_context(widget, event);
    const PlotRect outer = whole(widget);
    if (view == SoundView::spectrum)
        draw_spectrum(cr.get(), outer, shown_or_empty());
    else
        draw_spectrogram(cr.get(), outer, shown_or_empty());
    if (pointer_x) {
        const PlotRect plot =
            view == SoundView::spectrum ? plot_area(outer) : spectrogram_area(outer);
        draw_pointer(cr.get(), outer, plot, *pointer_x, pointer_text);
    }
    return TRUE;
}

gboolean on_graph_motion(GtkWidget *widget, GdkEventMotion *event, gpointer)
{
    const std::optional<std::string> text =
        reading_at(whole(widget), shown_or_empty(), event->x, event->y);
    if (text) {
        pointer_x = event->x;
        pointer_text = *text;
    } else {
        forget_pointer();
    }
    gtk_widget_queue_draw(widget);
    return FALSE;
}

gboolean on_graph_leave(GtkWidget *widget, GdkEventCrossing *, gpointer)
{
    forget_pointer();
    gtk_widget_queue_draw(widget);
    return FALSE;
}

void on_view_changed(GtkComboBox *combo, gpointer)
{
    view = gtk_combo_box_get_active(combo) == 1 ? SoundView::spectrogram : SoundView::spectrum;
    // The reading belonged to the other graph; the next motion gives the new one.
    forget_pointer();
    if (sound_graph_area)
        gtk_widget_queue_draw(sound_graph_area);
}

GtkWidget *new_graph(gint height, GCallback expose)
{
    GtkWidget *area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, graph_width, height);
    g_signal_connect(area, "expose-event", expose, nullptr);
    return area;
}

// The theme's small size, so that the line fits the graphs' width.
void set_small_text(GtkWidget *label)
{
    PangoAttrList *attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes, pango_attr_scale_new(PANGO_SCALE_SMALL));
    gtk_label_set_attributes(GTK_LABEL(label), attributes);
    pango_attr_list_unref(attributes);
}

GtkWidget *new_view_combo()
{
    GtkWidget *combo = gtk_combo_box_new_text();
    gtk_combo_box_append_text(GTK_COMBO_BOX(combo), _("Spectrum"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(combo), _("Spectrogram"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), view == SoundView::spectrogram ? 1 : 0);
    gtk_widget_set_tooltip_text(combo, _("What the graph below the waveform shows: the "
                                         "spectrum of the whole sound, or how it changes "
                                         "over time"));
    g_signal_connect(combo, "changed", G_CALLBACK(on_view_changed), nullptr);
    return combo;
}

// The widgets go with the window; a choice made before the next window is
// built only sets the view.
void on_frame_destroyed(GtkWidget *, gpointer)
{
    sound_waveform_area = sound_graph_area = sound_view_combo = sound_line_label = nullptr;
}

} // namespace

GtkWidget *build_sound_frame()
{
    shown.reset();
    forget_pointer();

    // The choice of the graph beside the frame's title, where it takes no
    // room from the line.
    GtkWidget *frame = gtk_frame_new(nullptr);
    GtkWidget *title = gtk_hbox_new(FALSE, box_spacing);
    GtkWidget *title_label = gtk_label_new(_("Sound"));
    gtk_box_pack_start(GTK_BOX(title), title_label, FALSE, FALSE, 0);
    sound_view_combo = new_view_combo();
    gtk_box_pack_start(GTK_BOX(title), sound_view_combo, FALSE, FALSE, 0);
    gtk_frame_set_label_widget(GTK_FRAME(frame), title);
    g_signal_connect(frame, "destroy", G_CALLBACK(on_frame_destroyed), nullptr);
    gtk_container_set_border_width(GTK_CONTAINER(frame), frame_border);
    GtkWidget *box = gtk_vbox_new(FALSE, box_spacing);
    gtk_container_set_border_width(GTK_CONTAINER(box), box_border);
    gtk_container_add(GTK_CONTAINER(frame), box);

    sound_waveform_area = new_graph(waveform_height, G_CALLBACK(on_waveform_expose));
    gtk_box_pack_start(GTK_BOX(box), sound_waveform_area, FALSE, FALSE, 0);

    sound_graph_area = new_graph(graph_height, G_CALLBACK(on_graph_expose));
    gtk_widget_add_events(sound_graph_area, GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK);
    g_signal_connect(sound_graph_area, "motion-notify-event", G_CALLBACK(on_graph_motion),
                     nullptr);
    g_signal_connect(sound_graph_area, "leave-notify-event", G_CALLBACK(on_graph_leave),
                     nullptr);
    gtk_box_pack_start(GTK_BOX(box), sound_graph_area, TRUE, TRUE, 0);

    GtkWidget *row = gtk_hbox_new(FALSE, box_spacing);
    gtk_widget_set_size_request(row, graph_width, -1);
    sound_line_label = gtk_label_new(nullptr);
    gtk_misc_set_alignment(GTK_MISC(sound_line_label), 0.0f, 0.5f);
    gtk_label_set_ellipsize(GTK_LABEL(sound_line_label), PANGO_ELLIPSIZE_END);
    set_small_text(sound_line_label);
    gtk_box_pack_start(GTK_BOX(row), sound_line_label, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
    set_line(_("No sound rendered"));
    // The combo box is taller than the title: the graph gives up the
    // difference, so that the frame stays as tall as with the title alone.
    GtkRequisition title_size{}, combo{};
    gtk_widget_size_request(title_label, &title_size);
    gtk_widget_size_request(sound_view_combo, &combo);
    gtk_widget_set_size_request(sound_graph_area, graph_width,
                                graph_height - std::max(0, combo.height - title_size.height));

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

SoundView sound_panel_view()
{
    return view;
}

void sound_panel_set_view(SoundView chosen)
{
    if (sound_view_combo)
        gtk_combo_box_set_active(GTK_COMBO_BOX(sound_view_combo),
                                 chosen == SoundView::spectrogram ? 1 : 0);
    view = chosen;
}

void sound_panel_read_settings(GKeyFile *keys)
{
    const plot::GCharPtr name(
        keys ? g_key_file_get_string(keys, settings_group, settings_key, nullptr) : nullptr);
    sound_panel_set_view(name && std::strcmp(name.get(), spectrogram_name) == 0
                             ? SoundView::spectrogram
                             : SoundView::spectrum);
}

void sound_panel_write_settings(GKeyFile *keys)
{
    if (view == SoundView::spectrogram)
        g_key_file_set_string(keys, settings_group, settings_key, spectrogram_name);
}
