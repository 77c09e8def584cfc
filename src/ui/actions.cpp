// Play, Stop, About, Close, the Save WAV action and the status area.
#include "actions.h"

#include <algorithm>
#include <memory>

#include "install_paths.h"
#include "intl.h"
#include "live_play.h"
#include "playback.h"
#include "render.h"
#include "sound_driver.h"
#include "sound_panel.h"
#include "wav_export.h"
#include "window_state.h"

namespace {

void set_all_sensitive(GSList *buttons, bool sensitive)
{
    for (GSList *l = buttons; l; l = l->next)
        gtk_widget_set_sensitive(GTK_WIDGET(l->data), sensitive);
}

void show_real_length(uint64_t frames, int32_t rate_hz)
{
    // In single precision, as the label has always shown it.
    const float length_s = static_cast<float>(frames) / static_cast<float>(rate_hz);
    gchar *text = g_strdup_printf(_("Real length: %.1f s"), static_cast<double>(length_s));
    gtk_label_set_text(GTK_LABEL(length_label), text);
    g_free(text);
}

} // namespace

void set_ready_state(bool ready)
{
    set_all_sensitive(busy_buttons, ready);
    set_all_sensitive(stop_buttons, !ready);
    set_all_sensitive(trial_buttons, ready);
}

void on_render_progress(void *, float fraction)
{
    // With the decay stop on, the last report can reach 1 or more.
    const double shown = std::clamp(static_cast<double>(fraction), 0.0, 1.0);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_bar), shown);
    while (gtk_events_pending())
        gtk_main_iteration();
}

void render_if_needed(int32_t rate_hz)
{
    if (!need_render && rate_hz == last_render_rate)
        return;
    // A render never runs inside another one: the sound it would replace is
    // still being made.
    if (rendering)
        return;

    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_bar), _("Rendering..."));
    set_ready_state(false);

    // Cleared before the render reads the parameters: a change made while it
    // runs sets it again and is rendered at the next request.
    need_render = 0;
    rendering = 1;
    const uint64_t frames = do_render(&instrument, rate_hz);
    rendering = 0;
    sound_panel_rendered(frames, rate_hz);
    if (frames != 0)
        last_render_rate = rate_hz;
    else
        need_render = 1;

    set_ready_state(true);
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_bar), _("Ready..."));
    show_real_length(frames, rate_hz);
    on_render_progress(nullptr, 0.0f);
}

namespace {
// Set by Close: the program ends once control is back in the main loop.
bool quit_requested = false;
} // namespace

void on_play(GtkWidget *, gpointer)
{
    if (rendering)
        return;
    // A render that was running when Close came is not played afterwards;
    // a Play after Close (during the playback that delays the end) still
    // restarts the playback as any other Play would.
    const bool closed_before = quit_requested;
    // The rate is taken once: the setup dialog may change the playback rate
    // (and reopen the driver at it) while this render runs, and the frames
    // are then still those of this rate.
    const int32_t rate_hz = playback_rate;
    render_if_needed(rate_hz);
    if (quit_requested && !closed_before)
        return;
    // The driver must play at the frames' rate; after such a change it is
    // reopened at it, and the next Play renders at the new rate and reopens
    // it again.
    if (driver && driver_rate != rate_hz)
        cwr_set_driver(driver_index, rate_hz);
    set_all_sensitive(stop_buttons, true);
    // 0: a running playback was rewound and goes on in the outer call, which
    // still needs Stop.
    if (trigger_play(&instrument, rate_hz) != 0)
        set_all_sensitive(stop_buttons, false);
}

void on_stop(GtkWidget *, gpointer)
{
    instrument.stop = 1;
    live_play_silence();
}

int save_wav_action(Instrument *ins, const char *file_name, std::string &message)
{
    if (rendering) {
        message = _("A sound is being rendered. Save it when the render has finished.");
        return -1;
    }
    render_if_needed(export_rate);
    return save_wav(ins, file_name, message, export_rate);
}

void on_about(GtkWidget *, gpointer)
{
    const gchar *const authors[] = {_("The Clangwright developers"), nullptr};
    GdkPixbuf *logo = gdk_pixbuf_new_from_file(
        cw_install_path("share/clangwright/clangwright_logo.xpm").c_str(), nullptr);
    gtk_show_about_dialog(GTK_WINDOW(main_window), "program-name", "Clangwright", "version",
                          CW_VERSION, "authors", authors, "copyright",
                          _("Copyright © 2026 The Clangwright developers"), "wrap-license",
                          TRUE, "comments", _("Clangwright\nA Percussion Synthesizer\n\n"), "logo",
                          logo, nullptr);
    if (logo)
        g_object_unref(logo);
}

gboolean on_quit(GtkWidget *, gpointer)
{
    // The main loop ends when control returns to it: after a running render
    // or playback.
    if (!quit_requested)
        gtk_main_quit();
    quit_requested = true;
    return TRUE;
}
