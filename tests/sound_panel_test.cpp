// The Sound frame: each render's analysis shown once it arrives, not before
// its playback has started and never after a stopped render; frequency and
// note under the pointer; the spectrogram in place of the spectrum, with time
// under the pointer as well, and the choice kept from one run to the next;
// the same analysis as clangwright-analyse gives for the sound saved with
// Save WAV; and a window that still fits a small screen.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "actions.h"
#include "analysis_report.h"
#include "explore_panel.h"
#include "file_dialogs.h"
#include "render.h"
#include "sound_panel.h"
#include "sound_plot.h"
#include "spectrogram_plot.h"
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
        event->motion.window = GDK_WINDOW(g_object_ref(sound_graph_area->window));
        event->motion.x = x;
        event->motion.y = y;
    } else {
        event->crossing.window = GDK_WINDOW(g_object_ref(sound_graph_area->window));
        event->crossing.x = x;
        event->crossing.y = y;
    }
    gtk_widget_event(sound_graph_area, event);
    gdk_event_free(event);
    pump_events();
}

struct GObjectUnref {
    void operator()(gpointer p) const { g_object_unref(p); }
};
struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};

// Runs every pending event and redraw, and waits for the X server.
void show_drawn()
{
    pump_events();
    gdk_window_process_all_updates();
    gdk_display_sync(gdk_display_get_default());
}

PlotRect graph_rect()
{
    const GtkAllocation &size = sound_graph_area->allocation;
    return {0, 0, static_cast<double>(size.width), static_cast<double>(size.height)};
}

// The share of the pixels of `plot` that the X server shows on the graph as
// `draw` draws them on an image of the graph's size.
double share_drawn_as(void (*draw)(cairo_t *, const PlotRect &, const SoundAnalysis &),
                      const SoundAnalysis &a, const PlotRect &plot)
{
    const PlotRect outer = graph_rect();
    const auto width = static_cast<int>(outer.width), height = static_cast<int>(outer.height);
    const std::unique_ptr<GdkPixbuf, GObjectUnref> shot(gdk_pixbuf_get_from_drawable(
        nullptr, sound_graph_area->window, nullptr, 0, 0, 0, 0, width, height));
    const std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> image(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height), cairo_surface_destroy);
    const std::unique_ptr<cairo_t, decltype(&cairo_destroy)> cr(cairo_create(image.get()),
                                                                cairo_destroy);
    draw(cr.get(), outer, a);
    cairo_surface_flush(image.get());

    const guchar *shown = gdk_pixbuf_get_pixels(shot.get());
    const int shown_stride = gdk_pixbuf_get_rowstride(shot.get());
    const int channels = gdk_pixbuf_get_n_channels(shot.get());
    const unsigned char *drawn = cairo_image_surface_get_data(image.get());
    const int drawn_stride = cairo_image_surface_get_stride(image.get());
    int same = 0, all = 0;
    for (int y = static_cast<int>(plot.y); y < static_cast<int>(plot.y + plot.height); ++y)
        for (int x = static_cast<int>(plot.x); x < static_cast<int>(plot.x + plot.width); ++x) {
            const guchar *s = shown + y * shown_stride + x * channels;
            uint32_t d = 0;
            std::memcpy(&d, drawn + y * drawn_stride + x * 4, sizeof d);
            const int rgb[3] = {int(d >> 16 & 0xff), int(d >> 8 & 0xff), int(d & 0xff)};
            bool close = true;
            for (int c = 0; c < 3; ++c)
                close = close && std::abs(int(s[c]) - rgb[c]) <= 8;
            same += close ? 1 : 0;
            ++all;
        }
    return all ? double(same) / all : 0.0;
}

// The pixel whose reading lies nearest to `t_s` across and `freq_hz` up.
std::pair<double, double> spectrogram_pixel(const SoundAnalysis &a, double t_s, double freq_hz)
{
    const PlotRect outer = graph_rect(), plot = spectrogram_area(outer);
    const double middle_x = plot.x + plot.width / 2.0, middle_y = plot.y + plot.height / 2.0;
    std::pair<double, double> best{-1.0, -1.0};
    double best_t = 1e9, best_cents = 1e9;
    for (double x = plot.x + 0.5; x < plot.x + plot.width; x += 1.0)
        if (const auto p = spectrogram_point_at(outer, a, x, middle_y);
            p && std::abs(p->t_s - t_s) < best_t) {
            best_t = std::abs(p->t_s - t_s);
            best.first = x;
        }
    for (double y = plot.y + 0.5; y < plot.y + plot.height; y += 1.0)
        if (const auto p = spectrogram_point_at(outer, a, middle_x, y);
            p && std::abs(1200.0 * std::log2(p->freq_hz / freq_hz)) < best_cents) {
            best_cents = std::abs(1200.0 * std::log2(p->freq_hz / freq_hz));
            best.second = y;
        }
    return best;
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
    const GtkAllocation &size = sound_graph_area->allocation;
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

TEST_F(SoundPanel, SpectrogramInPlaceOfTheSpectrumWithTimeFrequencyAndNoteUnderThePointer)
{
    play();
    const SoundAnalysis *a = wait_for_analysis();
    ASSERT_NE(a, nullptr);
    ASSERT_GT(a->spectrogram.columns, 0);
    show_drawn();
    const PlotRect spectrum_plot = plot_area(graph_rect());
    EXPECT_GT(share_drawn_as(draw_spectrum, *a, spectrum_plot), 0.95);

    gtk_combo_box_set_active(GTK_COMBO_BOX(sound_view_combo), 1);
    show_drawn();
    EXPECT_EQ(sound_panel_view(), SoundView::spectrogram);
    const PlotRect plot = spectrogram_area(graph_rect());
    EXPECT_GT(share_drawn_as(draw_spectrogram, *a, plot), 0.95);
    EXPECT_LT(share_drawn_as(draw_spectrum, *a, plot), 0.5);

    // Half a second in, at 440 Hz: one pixel of the log axis over 20 Hz to
    // 24 kHz is some 60 cents here, a pixel of time some 2.5 ms.
    const auto [x, y] = spectrogram_pixel(*a, 0.5, 440.0);
    ASSERT_GE(x, 0.0);
    ASSERT_GE(y, 0.0);
    send_pointer(GDK_MOTION_NOTIFY, x, y);
    const std::string text = sound_panel_pointer_text();
    char *rest = nullptr;
    const double shown_s = g_ascii_strtod(text.c_str(), &rest);
    EXPECT_NEAR(shown_s, 0.5, 0.01) << text;
    ASSERT_EQ(std::string(rest).rfind(" s · ", 0), 0u) << text;
    const double shown_hz = g_ascii_strtod(rest + std::strlen(" s · "), nullptr);
    EXPECT_NEAR(shown_hz, 440.0, 440.0 * 0.02) << text;
    EXPECT_NE(text.find(" Hz · A4 "), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(" cents")) << text;
    show_drawn();
    EXPECT_GT(share_drawn_as(draw_spectrogram, *a, plot), 0.9) << "the hairline and its box only";

    // Over the colour scale, and after going back to the spectrum: nothing
    // until the pointer moves again, then frequency and note only.
    send_pointer(GDK_MOTION_NOTIFY, plot.x + plot.width + 5.0, y);
    EXPECT_EQ(sound_panel_pointer_text(), "");
    send_pointer(GDK_MOTION_NOTIFY, x, y);
    gtk_combo_box_set_active(GTK_COMBO_BOX(sound_view_combo), 0);
    EXPECT_EQ(sound_panel_pointer_text(), "");
    send_pointer(GDK_MOTION_NOTIFY, x, y);
    EXPECT_EQ(sound_panel_pointer_text().find(" s · "), std::string::npos);
    EXPECT_TRUE(sound_panel_pointer_text().ends_with(" cents")) << sound_panel_pointer_text();
}

// One start of the program, in a process of its own (the window is built
// once a process): the test program again, running SoundPanelStart.Once with
// the settings file `settings` beside the configuration. It prints the graph
// the frame starts with, chooses `choice` ("Spectrum", "Spectrogram") and
// saves the settings as the program does at its end.
std::string start_once(const std::string &settings, const char *choice)
{
    const std::unique_ptr<gchar, GFree> self(g_file_read_link("/proc/self/exe", nullptr));
    const gchar *argv[] = {self.get(), "--gtest_filter=SoundPanelStart.Once", nullptr};
    gchar **env = g_environ_setenv(g_get_environ(), "CW_SOUND_PANEL_SETTINGS", settings.c_str(),
                                   TRUE);
    env = g_environ_setenv(env, "CW_SOUND_PANEL_CHOICE", choice, TRUE);
    gchar *out = nullptr;
    gint status = -1;
    const bool ran = g_spawn_sync(nullptr, const_cast<gchar **>(argv), env,
                                  G_SPAWN_STDERR_TO_DEV_NULL, nullptr, nullptr, &out, nullptr,
                                  &status, nullptr);
    g_strfreev(env);
    const std::string printed = out ? out : "";
    g_free(out);
    EXPECT_TRUE(ran && WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
    const std::string::size_type at = printed.find("Starts with: ");
    if (at == std::string::npos)
        return printed;
    const std::string::size_type from = at + std::strlen("Starts with: ");
    return printed.substr(from, printed.find('\n', from) - from);
}

class SoundPanelStart : public SoundPanel {
protected:
    void SetUp() override
    {
        const char *settings = g_getenv("CW_SOUND_PANEL_SETTINGS");
        if (!settings)
            GTEST_SKIP() << "one start for TheChosenGraphSurvivesARestart";
        gui_set_explore_settings_file(settings);
        SoundPanel::SetUp();
    }
};

TEST_F(SoundPanelStart, Once)
{
    const std::unique_ptr<gchar, GFree> text(
        gtk_combo_box_get_active_text(GTK_COMBO_BOX(sound_view_combo)));
    std::printf("Starts with: %s\n", text ? text.get() : "");
    const bool spectrogram = std::string(g_getenv("CW_SOUND_PANEL_CHOICE")) == "Spectrogram";
    gtk_combo_box_set_active(GTK_COMBO_BOX(sound_view_combo), spectrogram ? 1 : 0);
    EXPECT_EQ(sound_panel_view(), spectrogram ? SoundView::spectrogram : SoundView::spectrum);
    EXPECT_EQ(gui_save_explore_settings(), 0);
}

// The settings file of an earlier version: the locks and the toggle, no
// graph.
constexpr const char *earlier_settings = "[explore]\n"
                                         "play-on-change=false\n"
                                         "\n"
                                         "[locks]\n"
                                         "shape=true\n"
                                         "nodes=false\n"
                                         "tension=false\n"
                                         "speed=false\n"
                                         "damping=false\n"
                                         "actuation=false\n"
                                         "velocity=false\n"
                                         "length=false\n";

TEST(SoundPanelSettings, TheChosenGraphSurvivesARestartAndTheSpectrumLeavesTheFileAsItWas)
{
    if (!gtk_init_check(nullptr, nullptr))
        GTEST_SKIP() << "needs an X display (scripts/test.sh provides one with Xvfb)";
    const TempDir dir;
    const std::string settings = dir.file("explore");
    write_file(settings, earlier_settings);

    EXPECT_EQ(start_once(settings, "Spectrogram"), "Spectrum");
    EXPECT_EQ(read_file(settings), std::string(earlier_settings) + "\n[sound]\nview=spectrogram\n");
    EXPECT_EQ(start_once(settings, "Spectrum"), "Spectrogram");
    EXPECT_EQ(read_file(settings), earlier_settings);
    EXPECT_EQ(start_once(settings, "Spectrum"), "Spectrum");
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
    // The choice of the graph sits beside the frame's title; the graph gives
    // up what it takes more than the title, so the frame is no taller; the
    // line keeps the frame's whole width.
    GtkWidget *frame = gtk_widget_get_parent(gtk_widget_get_parent(sound_waveform_area));
    GtkWidget *title = gtk_frame_get_label_widget(GTK_FRAME(frame));
    ASSERT_EQ(gtk_widget_get_parent(sound_view_combo), title);
    GList *children = gtk_container_get_children(GTK_CONTAINER(title));
    GtkWidget *title_label = GTK_WIDGET(children->data);
    g_list_free(children);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(title_label)), "Sound");
    GtkRequisition graph{}, title_size{}, combo{};
    gtk_widget_size_request(sound_graph_area, &graph);
    gtk_widget_size_request(title_label, &title_size);
    gtk_widget_size_request(sound_view_combo, &combo);
    EXPECT_EQ(graph.height + std::max(combo.height, title_size.height), 235 + title_size.height);
    // The frame sits beside the 3D view (in a column with the Tune row), not
    // above or below the written layout.
    if (view_area) {
        EXPECT_EQ(gtk_widget_get_parent(gtk_widget_get_parent(frame)),
                  gtk_widget_get_parent(gtk_widget_get_parent(view_area)));
    }
}
