// Tune to a note.
#include "tune_panel.h"

#include <gdk/gdkkeysyms.h>

#include <optional>
#include <string>

#include "actions.h"
#include "explore_panel.h"
#include "intl.h"
#include "render.h"
#include "tune.h"
#include "window_state.h"

GtkWidget *tune_note_entry = nullptr, *tune_partial_combo = nullptr, *tune_result_label = nullptr;

namespace {

constexpr guint row_spacing = 6;
constexpr guint row_border = 4;

// A render of the tuning reports here: the bar moves, events run, and a
// Stop reaches the instrument being rendered.
void on_tune_progress(void *rendered, float fraction)
{
    on_render_progress(nullptr, fraction);
    if (instrument.stop)
        static_cast<Instrument *>(rendered)->stop = 1;
}

void show_result(const std::string &text)
{
    gtk_label_set_text(GTK_LABEL(tune_result_label), text.c_str());
}

} // namespace

GtkWidget *build_tune_row(GtkAccelGroup *accel)
{
    GtkWidget *row = gtk_hbox_new(FALSE, row_spacing);
    gtk_container_set_border_width(GTK_CONTAINER(row), row_border);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(_("Tune to")), FALSE, FALSE, 0);
    tune_note_entry = gtk_entry_new();
    gtk_entry_set_width_chars(GTK_ENTRY(tune_note_entry), 8);
    gtk_entry_set_text(GTK_ENTRY(tune_note_entry), "A4");
    gtk_widget_set_tooltip_text(tune_note_entry,
                                _("A note such as A4, C#5 or Bb3, or a frequency such as 440Hz"));
    gtk_box_pack_start(GTK_BOX(row), tune_note_entry, FALSE, FALSE, 0);
    tune_partial_combo = gtk_combo_box_new_text();
    gtk_combo_box_append_text(GTK_COMBO_BOX(tune_partial_combo), _("lowest partial"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(tune_partial_combo), _("strongest partial"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(tune_partial_combo), 0);
    gtk_box_pack_start(GTK_BOX(row), tune_partial_combo, FALSE, FALSE, 0);
    GtkWidget *button = gtk_button_new_with_label(_("Tune"));
    gtk_widget_set_tooltip_text(button,
                                _("Change the speed so that the partial lands on the note "
                                  "(Ctrl + T)"));
    g_signal_connect(button, "clicked", G_CALLBACK(on_tune), nullptr);
    gtk_widget_add_accelerator(button, "clicked", accel, GDK_t, GDK_CONTROL_MASK,
                               GtkAccelFlags(0));
    gtk_box_pack_start(GTK_BOX(row), button, FALSE, FALSE, 0);
    // Tuning renders: not while a render runs.
    trial_buttons = g_slist_prepend(trial_buttons, button);
    tune_result_label = gtk_label_new("");
    gtk_label_set_ellipsize(GTK_LABEL(tune_result_label), PANGO_ELLIPSIZE_END);
    gtk_misc_set_alignment(GTK_MISC(tune_result_label), 0.0f, 0.5f);
    gtk_box_pack_start(GTK_BOX(row), tune_result_label, TRUE, TRUE, 0);
    gtk_widget_show_all(row);
    return row;
}

void on_tune(GtkWidget *, gpointer)
{
    if (rendering)
        return;
    const std::optional<double> target_hz =
        parse_note_hz(gtk_entry_get_text(GTK_ENTRY(tune_note_entry)), default_a4_hz);
    if (!target_hz) {
        show_result(_("Type a note such as A4, C#5 or Bb3, or a frequency such as 440Hz."));
        return;
    }
    const PartialChoice which{gtk_combo_box_get_active(GTK_COMBO_BOX(tune_partial_combo)) == 1
                                  ? PartialChoice::strongest
                                  : PartialChoice::lowest,
                              0};

    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_bar), _("Tuning..."));
    set_ready_state(false);
    rendering = 1; // no other render while the tuning renders
    instrument.stop = 0;
    SoundAnalyser analyser;
    const TuneOutcome outcome = tune_speed(instrument, sample_length, playback_rate, *target_hz,
                                           which, default_a4_hz, analyser, on_tune_progress);
    rendering = 0;
    set_ready_state(true);
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_bar), _("Ready..."));
    on_render_progress(nullptr, 0.0f);
    if (!outcome.tuned) {
        show_result(outcome.message);
        return;
    }

    // One step of the history, then the tuned sound rendered for the frame.
    gui_flush_sound_history();
    gtk_range_set_value(GTK_RANGE(speed_scale), outcome.speed);
    gui_flush_sound_history();
    show_result(tuned_text(outcome, "%.1f"));
    render_if_needed(playback_rate);
}
