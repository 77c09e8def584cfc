// Play, Stop, Save WAV and About through the toolbar, with the recording
// test driver: the buttons' sensitivity while rendering and playing, the
// status texts, when a render happens, and what nested handlers may do.
#include <cerrno>
#include <cstring>

#include "actions.h"
#include "playback.h"
#include "render.h"
#include "window_test_support.h"

namespace {

enum Button { OPEN, SAVE, PLAY, STOP, SAVE_WAV, ABOUT, SETUP, QUIT };

// Sensitivity of the eight buttons, Open first.
std::string sensitivity()
{
    std::string s;
    for (GtkToolItem *item : toolbar_items())
        s += gtk_widget_get_sensitive(GTK_WIDGET(item)) ? 'S' : '-';
    return s;
}

std::string bar_text()
{
    return gtk_progress_bar_get_text(GTK_PROGRESS_BAR(progress_bar));
}

std::string length_text()
{
    return gtk_label_get_text(GTK_LABEL(length_label));
}

// What the test sees at each progress report of a render.
struct RenderWatch {
    int reports = 0;
    std::string sensitivity;
    std::string text;
    std::function<void(int report)> during;
};
RenderWatch watch;

void watching_progress(void *user, float fraction)
{
    ++watch.reports;
    if (watch.reports == 1) {
        watch.sensitivity = sensitivity();
        watch.text = bar_text();
    }
    if (watch.during)
        watch.during(watch.reports);
    on_render_progress(user, fraction);
}

class Actions : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        if (IsSkipped())
            return;
        watch = RenderWatch{};
        instrument.progress = watching_progress;
    }
    void play() { click(toolbar_items()[PLAY]); }
};

} // namespace

TEST_F(Actions, FirstPlayRendersThenPlaysAndTheSecondOnlyPlays)
{
    std::string during_playback;
    test_log[0].write_result = [&](int32_t count) {
        during_playback = sensitivity();
        return count;
    };
    play();
    EXPECT_GT(watch.reports, 0);
    EXPECT_EQ(watch.sensitivity, "-S-S-SSS"); // rendering: Open, Play, Save WAV greyed
    EXPECT_EQ(watch.text, "Rendering...");
    EXPECT_EQ(during_playback, "SSSSSSSS");   // playing: everything
    EXPECT_EQ(sensitivity(), "SSS-SSSS");     // idle again
    EXPECT_EQ(bar_text(), "Ready...");
    EXPECT_EQ(length_text(), "Real length: 1.0 s");
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress_bar)), 0.0);
    EXPECT_EQ(test_log[0].consumed_frames().size(), 48000u);
    EXPECT_EQ(0, std::memcmp(test_log[0].consumed_frames().data(), samples, 48000 * 2));

    const int reports = watch.reports;
    play();
    EXPECT_EQ(watch.reports, reports); // no render
    EXPECT_EQ(test_log[0].consumed_frames().size(), 96000u);

    gtk_range_set_value(GTK_RANGE(speed_scale), 0.25);
    play();
    EXPECT_GT(watch.reports, reports);
}

TEST_F(Actions, StopDuringARenderLeavesNoSoundAndTheNextPlayRenders)
{
    watch.during = [](int report) {
        if (report == 2)
            click(toolbar_items()[STOP]);
    };
    play();
    EXPECT_EQ(length_text(), "Real length: 0.0 s");
    EXPECT_EQ(test_log[0].count("write"), 0);
    EXPECT_EQ(need_render, 1);
    EXPECT_EQ(sensitivity(), "SSS-SSSS");

    watch = RenderWatch{};
    play();
    EXPECT_GT(watch.reports, 0);
    EXPECT_EQ(length_text(), "Real length: 1.0 s");
    EXPECT_EQ(test_log[0].consumed_frames().size(), 48000u);
}

TEST_F(Actions, StopEndsAPlaybackAndSpaceRestartsItFromTheFirstFrame)
{
    int writes = 0;
    test_log[0].write_result = [&](int32_t count) {
        if (++writes == 3)
            g_idle_add([](gpointer) -> gboolean {
                click(toolbar_items()[STOP]);
                return FALSE;
            }, nullptr);
        return count;
    };
    play();
    EXPECT_LT(test_log[0].consumed_frames().size(), 48000u);
    EXPECT_EQ(sensitivity(), "SSS-SSSS");

    // A nested Play rewinds the running playback: the frames start again.
    test_log[0] = TestDriverLog{};
    writes = 0;
    test_log[0].write_result = [&](int32_t count) {
        if (++writes == 2)
            g_idle_add([](gpointer) -> gboolean {
                click(toolbar_items()[PLAY]);
                return FALSE;
            }, nullptr);
        return count;
    };
    play();
    const std::vector<int16_t> frames = test_log[0].consumed_frames();
    const size_t block = play_block_frames;
    ASSERT_EQ(frames.size(), 48000u + 2 * block);
    EXPECT_EQ(0, std::memcmp(frames.data() + 2 * block, samples, 48000 * 2));
    EXPECT_EQ(test_log[0].count("start"), 1);
    EXPECT_EQ(sensitivity(), "SSS-SSSS");
}

TEST_F(Actions, SaveWavAfterPlayWritesWithoutRenderingAndAtTheExportRateOtherwise)
{
    play();
    const int reports = watch.reports;
    std::string message;
    const std::string file = dir.file("take.wav");
    EXPECT_EQ(save_wav_action(&instrument, file.c_str(), message), 0);
    EXPECT_EQ(watch.reports, reports);
    EXPECT_EQ(read_file(file).size(), 44u + 2 * 48000u);

    // Another export rate renders again, and the next Play renders back.
    export_rate = 44100;
    EXPECT_EQ(save_wav_action(&instrument, file.c_str(), message), 0);
    EXPECT_GT(watch.reports, reports);
    EXPECT_EQ(last_render_rate, 44100);
    EXPECT_EQ(read_file(file).size(), 44u + 2 * 44100u);
    const int after_export = watch.reports;
    play();
    EXPECT_GT(watch.reports, after_export);
    EXPECT_EQ(last_render_rate, 48000);
}

TEST_F(Actions, SaveWavDuringAPlaybackAtAnotherRateEndsThatPlayback)
{
    export_rate = 96000;
    const std::string file = dir.file("during.wav");
    int writes = 0;
    test_log[0].write_result = [&](int32_t count) {
        if (++writes == 2) {
            std::string message;
            EXPECT_EQ(save_wav_action(&instrument, file.c_str(), message), 0);
        }
        return count;
    };
    play();
    // Not one frame of the 96000 Hz sound went to the 48000 Hz stream.
    EXPECT_EQ(test_log[0].consumed_frames().size(), 2u * play_block_frames);
    EXPECT_EQ(read_file(file).size(), 44u + 2 * 96000u);
    EXPECT_EQ(sensitivity(), "SSS-SSSS");
}

TEST_F(Actions, ARenderNeverRunsInsideAnotherOne)
{
    int nested_reports = -1;
    watch.during = [&](int report) {
        if (report != 1)
            return;
        const int before = watch.reports;
        need_render = 1;
        render_if_needed(96000); // as a handler that got past the buttons would
        nested_reports = watch.reports - before;
        std::string message;
        EXPECT_EQ(save_wav_action(&instrument, dir.file("x.wav").c_str(), message), -1);
        EXPECT_FALSE(message.empty());
    };
    play();
    EXPECT_EQ(nested_reports, 0);
    EXPECT_EQ(last_render_rate, 48000);
    EXPECT_EQ(sample_count, 48000u);
}

TEST_F(Actions, AChangeMadeDuringARenderIsRenderedNextTime)
{
    watch.during = [](int report) {
        if (report == 3)
            gtk_range_set_value(GTK_RANGE(velocity_scale), 0.5);
    };
    play();
    EXPECT_EQ(need_render, 1);
    watch = RenderWatch{};
    play();
    EXPECT_GT(watch.reports, 0);
    EXPECT_EQ(need_render, 0);
}

TEST_F(Actions, ProgressBarShowsAClampedFraction)
{
    on_render_progress(nullptr, 1.7f);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress_bar)), 1.0);
    on_render_progress(nullptr, -0.5f);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress_bar)), 0.0);
    on_render_progress(nullptr, 0.25f);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress_bar)), 0.25);
}

TEST_F(Actions, AboutBoxShowsTheProgramItsVersionAndLogo)
{
    std::string name, version, comments;
    expect_dialogs({dialog_step(GTK_TYPE_ABOUT_DIALOG,
                                [&](GtkWindow *w) {
                                    GtkAboutDialog *about = GTK_ABOUT_DIALOG(w);
                                    name = gtk_about_dialog_get_program_name(about);
                                    version = gtk_about_dialog_get_version(about);
                                    comments = gtk_about_dialog_get_comments(about);
                                    EXPECT_TRUE(gtk_about_dialog_get_wrap_license(about));
                                    EXPECT_EQ(gtk_window_get_transient_for(w),
                                              GTK_WINDOW(main_window));
                                },
                                GTK_RESPONSE_CANCEL)});
    click(toolbar_items()[ABOUT]);
    for (int i = 0; i < 200 && !dialogs_done(); ++i) {
        pump_events();
        g_usleep(10000);
    }
    ASSERT_TRUE(dialogs_done());
    EXPECT_EQ(name, "Clangwright");
    EXPECT_EQ(version, "0.2.7");
    EXPECT_EQ(comments, "Clangwright\nA Percussion Synthesizer\n\n");
}

TEST_F(Actions, ShapeSizeAndNodeChangesDuringARenderStayInsideItsObject)
{
    // The render keeps the tube it built (50 nodes) while the widgets move
    // on to a plane whose sampling node lies far outside that tube.
    watch.during = [](int report) {
        if (report == 2) {
            gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), TYPE_PLANE);
            gtk_spin_button_set_value(GTK_SPIN_BUTTON(plane_width_spin), 39);
            gtk_spin_button_set_value(GTK_SPIN_BUTTON(sampling_spin[TYPE_PLANE]), 1000);
        }
        if (report == 4) {
            gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), TYPE_ROD);
            gtk_spin_button_set_value(GTK_SPIN_BUTTON(rod_length_spin), 3);
        }
    };
    play();
    EXPECT_EQ(sample_count, 48000u);
    EXPECT_EQ(instrument.type, TYPE_ROD);
    EXPECT_EQ(instrument.sampling_node, 1);
    EXPECT_EQ(need_render, 1); // the rod is rendered next time
}

TEST_F(Actions, SetupDuringAPlaysRenderPlaysItAtItsRateAndTheNextPlayRendersAtTheNewOne)
{
    watch.during = [](int report) {
        if (report == 2) {
            // What OK in the setup dialog does when 96000 was chosen.
            playback_rate = 96000;
            cwr_set_driver(cwr_get_current_driver(), playback_rate);
        }
    };
    test_log[0] = TestDriverLog{};
    play();
    // The frames rendered at 48000 Hz went to a stream at 48000 Hz.
    EXPECT_EQ(last_render_rate, 48000);
    EXPECT_EQ(test_log[0].open_rates, (std::vector<int32_t>{96000, 48000}));
    EXPECT_EQ(test_log[0].start_rates, std::vector<int32_t>{48000});
    EXPECT_EQ(test_log[0].consumed_frames().size(), 48000u);

    watch = RenderWatch{};
    test_log[0] = TestDriverLog{};
    play();
    EXPECT_GT(watch.reports, 0);
    EXPECT_EQ(last_render_rate, 96000);
    EXPECT_EQ(test_log[0].open_rates, std::vector<int32_t>{96000});
    EXPECT_EQ(test_log[0].start_rates, std::vector<int32_t>{96000});
    EXPECT_EQ(test_log[0].consumed_frames().size(), 96000u);
}

TEST_F(Actions, PlayAfterCloseDuringAPlaybackStillRestartsItAndTheProgramEndsAfterIt)
{
    int writes = 0;
    test_log[0].write_result = [&](int32_t count) {
        ++writes;
        if (writes == 2)
            g_idle_add([](gpointer) -> gboolean {
                click(toolbar_items()[QUIT]);
                return FALSE;
            }, nullptr);
        if (writes == 4)
            g_idle_add([](gpointer) -> gboolean {
                click(toolbar_items()[PLAY]);
                return FALSE;
            }, nullptr);
        return count;
    };
    g_idle_add([](gpointer) -> gboolean {
        click(toolbar_items()[PLAY]);
        return FALSE;
    }, nullptr);
    gtk_main(); // Close ends it once the playback is over
    const std::vector<int16_t> frames = test_log[0].consumed_frames();
    const size_t block = play_block_frames;
    ASSERT_EQ(frames.size(), 4 * block + 48000u);
    EXPECT_EQ(0, std::memcmp(frames.data() + 4 * block, samples, 48000 * 2));
    EXPECT_EQ(sensitivity(), "SSS-SSSS");
}
