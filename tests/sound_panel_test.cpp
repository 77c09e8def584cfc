// The Sound frame: each render's analysis shown once it arrives, not before
// its playback has started and never after a stopped render; frequency and
// note under the pointer; the same analysis as clangwright-analyse gives for
// the sound saved with Save WAV; and a window that still fits a small screen.
#include <sys/wait.h>

#include <functional>

#include "actions.h"
#include "analysis_report.h"
#include "file_dialogs.h"
#include "render.h"
#include "sound_panel.h"
#include "sound_plot.h"
#include "window_test_support.h"

namespace {

enum Button { OPEN, SAVE, PLAY, STOP, SAVE_WAV };

// The analysis runs on its own thread and arrives through the main loop;
// under valgrind it takes seconds.
constexpr gint64 analysis_wait_us = 60 * G_USEC_PER_SEC;

// Runs the main loop until the frame shows an analysis or the time is up.
const SoundAnalysis *wait_for_analysis()
{
    const gint64 deadline = g_get_monotonic_time() + analysis_wait_us;
    while (!sound_panel_analysis() && g_get_monotonic_time() < deadline) {
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    }
    return sound_panel_analysis();
}

// Runs the main loop for a while, so that anything the worker still had to
// say has arrived.
void settle()
{
    constexpr gint64 settle_us = G_USEC_PER_SEC / 2;
    const gint64 until = g_get_monotonic_time() + settle_us;
    while (g_get_monotonic_time() < until) {
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    }
}

std::string line_text()
{
    return gtk_label_get_text(GTK_LABEL(sound_line_label));
}

std::function<void(int report)> during_render;
int reports = 0;
void watching_progress(void *user, float fraction)
{
    ++reports;
    if (during_render)
        during_render(reports);
    on_render_progress(user, fraction);
}

class SoundPanel : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        if (IsSkipped())
            return;
        during_render = nullptr;
        reports = 0;
        instrument.progress = watching_progress;
    }
    void play() { click(toolbar_items()[PLAY]); }
};

// The frame's analysis as the analyser gives it for the window's frames.
std::string json_of(const SoundAnalysis &a)
{
    return analysis_json(a, std::nullopt);
}

std::string direct_json()
{
    return json_of(
        SoundAnalyser().analyse(std::span<const int16_t>(samples, sample_count), last_render_rate));
}

void send_pointer(GdkEventType type, double x, double y)
{
    GdkEvent *event = gdk_event_new(type);
    if (type == GDK_MOTION_NOTIFY) {
        event->motion.window = GDK_WINDOW(g_object_ref(sound_spectrum_area->window));
        event->motion.x = x;
        event->motion.y = y;
    } else {
        event->crossing.window = GDK_WINDOW(g_object_ref(sound_spectrum_area->window));
        event->crossing.x = x;
        event->crossing.y = y;
    }
    gtk_widget_event(sound_spectrum_area, event);
    gdk_event_free(event);
    pump_events();
}

} // namespace

TEST_F(SoundPanel, ShowsEachRendersAnalysisOnlyAfterItsPlaybackStarted)
{
    EXPECT_EQ(sound_panel_analysis(), nullptr);
    EXPECT_EQ(line_text(), "No sound rendered");

    // At the first block handed to the driver the analysis cannot have been
    // shown yet: it arrives through the main loop, which the pump runs only
    // after that block.
    bool shown_at_first_write = true;
    std::string line_at_first_write;
    test_log[0].write_result = [&](int32_t count) {
        if (line_at_first_write.empty()) {
            shown_at_first_write = sound_panel_analysis() != nullptr;
            line_at_first_write = line_text();
        }
        return count;
    };
    play();
    EXPECT_FALSE(shown_at_first_write);
    EXPECT_EQ(line_at_first_write, "Analysing the sound...");
    const SoundAnalysis *a = wait_for_analysis();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->frames, 48000u);
    EXPECT_EQ(a->rate_hz, 48000);
    EXPECT_EQ(json_of(*a), direct_json());
    EXPECT_EQ(line_text(), analysis_summary(*a));
    const std::string first = json_of(*a);

    // Another sound: the first analysis goes at once, the new one follows.
    gtk_range_set_value(GTK_RANGE(speed_scale), 0.3);
    line_at_first_write.clear();
    play();
    EXPECT_FALSE(shown_at_first_write);
    a = wait_for_analysis();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(json_of(*a), direct_json());
    EXPECT_NE(json_of(*a), first);
}

TEST_F(SoundPanel, AStoppedRenderLeavesNothingShownNotEvenALateAnalysis)
{
    play();
    ASSERT_NE(wait_for_analysis(), nullptr);

    // A new render whose analysis is normally still under way (the test
    // driver plays in no time) when the next render is stopped: neither may
    // show afterwards.
    gtk_range_set_value(GTK_RANGE(speed_scale), 0.3);
    play();
    gtk_range_set_value(GTK_RANGE(speed_scale), 0.25);
    reports = 0;
    during_render = [](int report) {
        if (report == 2)
            click(toolbar_items()[STOP]);
    };
    play();
    EXPECT_EQ(sample_count, 0u);
    settle();
    EXPECT_EQ(sound_panel_analysis(), nullptr);
    EXPECT_EQ(line_text(), "No sound rendered");
}

TEST_F(SoundPanel, PointerOnTheSpectrumShowsFrequencyAndNote)
{
    play();
    const SoundAnalysis *a = wait_for_analysis();
    ASSERT_NE(a, nullptr);
    const GtkAllocation &size = sound_spectrum_area->allocation;
    const PlotRect outer{0, 0, static_cast<double>(size.width), static_cast<double>(size.height)};
    const double middle_y = size.height / 2.0;
    // The column nearest to 440 Hz.
    double x440 = -1.0;
    for (double x = 0.5; x < size.width && x440 < 0; x += 1.0)
        if (const auto f = spectrum_freq_at(outer, *a, x, middle_y); f && *f >= 440.0)
            x440 = x;
    ASSERT_GE(x440, 0.0);

    send_pointer(GDK_MOTION_NOTIFY, x440, middle_y);
    const std::string text = sound_panel_pointer_text();
    const double shown_hz = g_ascii_strtod(text.c_str(), nullptr);
    // One pixel of a log axis over 20 Hz to 24 kHz is about 1.5 % here.
    EXPECT_NEAR(shown_hz, 440.0, 440.0 * 0.02) << text;
    EXPECT_NE(text.find(" Hz · A4 "), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(" cents")) << text;

    // Over the axis labels, and after leaving: nothing.
    send_pointer(GDK_MOTION_NOTIFY, 2.0, middle_y);
    EXPECT_EQ(sound_panel_pointer_text(), "");
    send_pointer(GDK_MOTION_NOTIFY, x440, middle_y);
    EXPECT_FALSE(sound_panel_pointer_text().empty());
    send_pointer(GDK_LEAVE_NOTIFY, x440, -5.0);
    EXPECT_EQ(sound_panel_pointer_text(), "");
}

TEST_F(SoundPanel, SameAnalysisAsTheAnalyserGivesForTheSavedWav)
{
    gtk_range_set_value(GTK_RANGE(tension_scale), 2.5);
    play();
    const SoundAnalysis *a = wait_for_analysis();
    ASSERT_NE(a, nullptr);

    const std::string wav = dir.file("take.wav");
    expect_dialogs({choose_file_step(wav)});
    click(toolbar_items()[SAVE_WAV]);
    ASSERT_TRUE(dialogs_done());
    ASSERT_EQ(sound_panel_analysis(), a) << "the save needed no new render";

    const gchar *argv[] = {CW_ANALYSE_PROGRAM, "--json", wav.c_str(), nullptr};
    gchar **env = g_environ_setenv(g_get_environ(), "LC_ALL", "C", TRUE);
    gchar *out = nullptr;
    gint status = -1;
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar **>(argv), env, G_SPAWN_STDERR_TO_DEV_NULL,
                             nullptr, nullptr, &out, nullptr, &status, nullptr));
    const std::string printed = out;
    g_free(out);
    g_strfreev(env);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(printed, analysis_json(*a, wav) + "\n");
}

TEST_F(SoundPanel, WindowWithTheFrameFitsA1366By768Screen)
{
    play();
    ASSERT_NE(wait_for_analysis(), nullptr);
    pump_events();
    GtkRequisition size{};
    gtk_widget_size_request(main_window, &size);
    // A title bar and a panel of the desktop take some 70 pixels of the height.
    constexpr int screen_width = 1366, usable_height = 768 - 70;
    EXPECT_LE(size.width, screen_width);
    EXPECT_LE(size.height, usable_height);
    // The frame sits beside the 3D view (in a column with the Tune row), not
    // above or below the written layout.
    GtkWidget *frame = gtk_widget_get_parent(gtk_widget_get_parent(sound_waveform_area));
    EXPECT_STREQ(gtk_frame_get_label(GTK_FRAME(frame)), "Sound");
    if (view_area) {
        EXPECT_EQ(gtk_widget_get_parent(gtk_widget_get_parent(frame)),
                  gtk_widget_get_parent(gtk_widget_get_parent(view_area)));
    }
}
