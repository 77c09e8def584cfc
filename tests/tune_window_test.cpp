// Tune in the window: the Speed row takes the tuned speed at full precision
// and keeps it whatever the focus and the pages do, the Sound frame shows the
// partial on its note, a saved preset stays in tune, and a note out of reach
// changes nothing.
#include <gdk/gdkkeysyms.h>

#include <cmath>

#include "presets.h"
#include "render.h"
#include "sound_panel.h"
#include "tune_panel.h"
#include "window_test_support.h"

namespace {

void key(guint keyval, GdkModifierType modifiers)
{
    gtk_test_widget_send_key(tension_scale, keyval, modifiers);
    pump_events();
}

double cents(double f, double reference)
{
    return 1200.0 * std::log2(f / reference);
}

} // namespace

class TuneWindow : public WindowTest {};

TEST_F(TuneWindow, TunedSpeedSurvivesTheWidgetsAndTheSavedPresetStaysInTune)
{
    gtk_entry_set_text(GTK_ENTRY(tune_note_entry), "A4");
    key(GDK_t, GDK_CONTROL_MASK);
    const double tuned = instrument.speed;
    ASSERT_NE(tuned, 0.2);
    EXPECT_NE(std::round(tuned * 1000.0) / 1000.0, tuned) << "no more digits than shown";
    EXPECT_EQ(gtk_range_get_value(GTK_RANGE(speed_scale)), tuned);
    EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(tune_result_label))).rfind("Tuned: ", 0),
              0u);

    // The Sound frame shows the tuned sound with a partial on A4.
    for (int i = 0; i < 300 && !sound_panel_analysis(); ++i) {
        pump_events();
        g_usleep(10000);
    }
    ASSERT_NE(sound_panel_analysis(), nullptr);
    double nearest = 0.0;
    for (const Partial &p : sound_panel_analysis()->partials)
        if (std::abs(cents(p.freq_hz, 440.0)) < std::abs(cents(nearest, 440.0)))
            nearest = p.freq_hz;
    EXPECT_LT(std::abs(cents(nearest, 440.0)), 1.5);

    // Tab through every widget and back, switch pages and back: the spin
    // buttons parse their text when they lose the focus.
    gtk_widget_grab_focus(shape_notebook);
    for (int i = 0; i < 40; ++i) {
        GtkWidget *focus = gtk_window_get_focus(GTK_WINDOW(main_window));
        ASSERT_NE(focus, nullptr);
        gtk_test_widget_send_key(focus, GDK_Tab, GdkModifierType(0));
        pump_events();
    }
    for (int i = 0; i < 10; ++i) {
        gtk_test_widget_send_key(gtk_window_get_focus(GTK_WINDOW(main_window)), GDK_Tab,
                                 GDK_SHIFT_MASK);
        pump_events();
    }
    gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), TYPE_ROD);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), TYPE_TUBE);
    pump_events();
    EXPECT_EQ(instrument.speed, tuned);

    // The preset keeps the speed, and its sound is in tune.
    const std::string file = dir.file("a4.cwrp");
    std::string message;
    ASSERT_EQ(save_pres(&instrument, file.c_str(), message), 0);
    Instrument loaded = instrument_defaults();
    ASSERT_EQ(load_pres(&loaded, file.c_str(), message), 0) << message;
    EXPECT_EQ(loaded.speed, tuned);
    std::vector<double> sound(48000);
    loaded.progress = nullptr;
    sound.resize(cw_metal_obj_render(&loaded, 48000, sound.size(), sound.data(), nullptr, 0.0));
    std::vector<int16_t> pcm;
    for (const double v : sound)
        pcm.push_back(pcm_from_double(v));
    SoundAnalyser analyser;
    const SoundAnalysis again = analyser.analyse(pcm, 48000);
    double nearest_again = 0.0;
    for (const Partial &p : again.partials)
        if (std::abs(cents(p.freq_hz, 440.0)) < std::abs(cents(nearest_again, 440.0)))
            nearest_again = p.freq_hz;
    EXPECT_LT(std::abs(cents(nearest_again, 440.0)), 1.5);
}

TEST_F(TuneWindow, NoteOutOfReachOrNoNoteChangesNothing)
{
    for (const char *note : {"C9", "H4"}) {
        gtk_entry_set_text(GTK_ENTRY(tune_note_entry), note);
        key(GDK_t, GDK_CONTROL_MASK);
        EXPECT_EQ(instrument.speed, 0.2) << note;
        EXPECT_EQ(need_render, 1) << "nothing rendered";
    }
    EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(tune_result_label))),
              "Type a note such as A4, C#5 or Bb3, or a frequency such as 440Hz.");
    gtk_entry_set_text(GTK_ENTRY(tune_note_entry), "C9");
    key(GDK_t, GDK_CONTROL_MASK);
    EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(tune_result_label)))
                  .rfind("C9 is out of reach: the highest note this partial reaches is ", 0),
              0u);
}
