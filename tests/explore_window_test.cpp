// Randomise, Mutate, the locks, Undo and Redo, and "Play on change" through
// the real widgets and keys of the window, with the recording test driver.
#include <gdk/gdkkeysyms.h>

#include <cstring>

#include "actions.h"
#include "explore_panel.h"
#include "parameters.h"
#include "playback.h"
#include "presets.h"
#include "render.h"
#include "window_test_support.h"

namespace {

// Runs events until `done` holds or `ms` have passed.
template <typename Done> bool pump_until(Done done, int ms = 3000)
{
    for (int waited = 0; waited < ms; waited += 10) {
        pump_events();
        if (done())
            return true;
        g_usleep(10000);
    }
    pump_events();
    return done();
}

// A key to the window through a widget every page shows (the size spin
// buttons that send_key uses hide with their page).
void key(guint keyval, GdkModifierType modifiers)
{
    gtk_test_widget_send_key(tension_scale, keyval, modifiers);
}

// Long enough for a change to become a step of the history.
void let_settle()
{
    pump_until([] { return false; }, 600);
}

class ExploreWindow : public WindowTest {
protected:
    // The preset file of the sound shown, as Save presets writes it.
    std::string saved_preset(const char *name)
    {
        const std::string file = dir.file(name);
        std::string message;
        EXPECT_EQ(save_pres(&instrument, file.c_str(), message), 0) << message;
        return read_file(file);
    }
    static void lock(LockGroup group)
    {
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(gui_lock_item(group)), TRUE);
    }
    static SoundParams shown() { return gui_current_sound(); }
};

} // namespace

TEST_F(ExploreWindow, ControlRChangesOnlyWhatIsNotLocked)
{
    lock(LockGroup::speed);
    lock(LockGroup::damping);
    lock(LockGroup::length_decay);
    // A value of our own first, so that a lock is seen to keep it.
    gtk_range_set_value(GTK_RANGE(speed_scale), 0.321);
    let_settle();
    for (int i = 0; i < 5; ++i) {
        const SoundParams before = shown();
        key(GDK_r, GDK_CONTROL_MASK);
        pump_events();
        const SoundParams after = shown();
        EXPECT_FALSE(same_sound(before, after));
        EXPECT_EQ(after.instrument.speed, 0.321);
        EXPECT_EQ(after.instrument.damping, before.instrument.damping);
        EXPECT_EQ(after.sample_length, before.sample_length);
        EXPECT_EQ(after.instrument.decay_stop, before.instrument.decay_stop);
        EXPECT_TRUE(instrument_node_is_movable(after.instrument, after.instrument.actuation_node));
        EXPECT_TRUE(instrument_node_is_movable(after.instrument, after.instrument.sampling_node));
        // The widgets show what the instrument holds.
        EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(shape_notebook)),
                  after.instrument.type);
        EXPECT_EQ(gtk_range_get_value(GTK_RANGE(tension_scale)), after.instrument.tension);
        EXPECT_EQ(gtk_spin_button_get_value_as_int(
                      GTK_SPIN_BUTTON(sampling_spin[after.instrument.type])),
                  after.instrument.sampling_node);
    }

    // Everything locked: Mutate keeps every value.
    for (int g = 0; g < lock_group_count; ++g)
        lock(static_cast<LockGroup>(g));
    const SoundParams before = shown();
    key(GDK_m, GDK_CONTROL_MASK);
    pump_events();
    EXPECT_TRUE(same_sound(before, shown()));
}

TEST_F(ExploreWindow, UndoRestoresTheExactSoundAfterEveryKindOfChangeAndRedoComesBack)
{
    // A preset of another shape to load.
    Instrument rod = instrument_defaults();
    rod.type = TYPE_ROD;
    rod.rod_length = 40;
    rod.tension = 2.25;
    const std::string rod_file = dir.file("rod.cwrp");
    std::string message;
    ASSERT_EQ(save_pres(&rod, rod_file.c_str(), message), 0);

    const std::vector<std::pair<const char *, std::function<void()>>> changes = {
        {"Control+R", [] { key(GDK_r, GDK_CONTROL_MASK); }},
        {"Control+M", [] { key(GDK_m, GDK_CONTROL_MASK); }},
        {"a preset load",
         [&] {
             std::string m;
             gui_set_values(&instrument, rod_file.c_str(), m);
         }},
        // A drag: many values in a row, one step.
        {"a slider drag",
         [] {
             for (int i = 1; i <= 20; ++i) {
                 gtk_range_set_value(GTK_RANGE(tension_scale), 4.0 + 0.1 * i);
                 pump_events();
             }
         }},
        {"a size and a node",
         [] {
             gtk_spin_button_set_value(GTK_SPIN_BUTTON(tube_height_spin), 14);
             gtk_spin_button_set_value(GTK_SPIN_BUTTON(sampling_spin[TYPE_TUBE]), 33);
         }},
    };
    for (const auto &[what, change] : changes) {
        SCOPED_TRACE(what);
        const SoundParams before = shown();
        const std::string preset_before = saved_preset("before.cwrp");
        change();
        let_settle();
        const SoundParams after = shown();
        ASSERT_FALSE(same_sound(before, after));
        const std::string preset_after = saved_preset("after.cwrp");

        key(GDK_z, GDK_CONTROL_MASK);
        pump_events();
        EXPECT_TRUE(same_sound(shown(), before));
        EXPECT_EQ(saved_preset("undone.cwrp"), preset_before);

        key(GDK_y, GDK_CONTROL_MASK);
        pump_events();
        EXPECT_TRUE(same_sound(shown(), after));
        EXPECT_EQ(saved_preset("redone.cwrp"), preset_after);
        key(GDK_z, GDK_CONTROL_MASK);
        key(GDK_z, GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK));
        pump_events();
        EXPECT_TRUE(same_sound(shown(), after));
    }

    // All the way back to the start, where Undo has nothing more.
    for (int i = 0; i < 10; ++i)
        key(GDK_z, GDK_CONTROL_MASK);
    pump_events();
    SoundParams start{instrument_defaults(), 1.0};
    EXPECT_TRUE(same_sound(shown(), start));
}

TEST_F(ExploreWindow, PlayOnChangePlaysTheLatestSoundAndNeverNestsARender)
{
    gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(gui_play_on_change_toggle()), TRUE);

    // A change plays once it settles, with the new sound.
    gtk_range_set_value(GTK_RANGE(velocity_scale), 0.5);
    ASSERT_TRUE(pump_until([] { return test_log[0].count("finish") == 1; }));
    EXPECT_EQ(instrument.velocity, 0.5);
    EXPECT_EQ(test_log[0].consumed_frames().size(), sample_count);
    EXPECT_EQ(0, std::memcmp(test_log[0].consumed_frames().data(), samples, sample_count * 2));

    // Changes during a render and during the playback: no render inside a
    // render, and what plays at the end is the last change's sound.
    test_log[0] = TestDriverLog{};
    static int renders_inside_renders;
    static bool changed_in_render;
    renders_inside_renders = 0;
    changed_in_render = false;
    instrument.progress = [](void *user, float f) {
        if (rendering > 1)
            ++renders_inside_renders;
        if (!changed_in_render && f > 0.3f) {
            changed_in_render = true;
            gtk_range_set_value(GTK_RANGE(damping_scale), 0.1);
        }
        on_render_progress(user, f);
    };
    int writes = 0;
    test_log[0].write_result = [&](int32_t count) {
        if (++writes == 3)
            gtk_range_set_value(GTK_RANGE(speed_scale), 0.25);
        return count;
    };
    gtk_range_set_value(GTK_RANGE(tension_scale), 3.0);
    ASSERT_TRUE(pump_until([] { return instrument.speed == 0.25 && !playing &&
                                       test_log[0].count("finish") >= 1 && !need_render; },
                           8000));
    let_settle();
    EXPECT_EQ(renders_inside_renders, 0);
    EXPECT_TRUE(changed_in_render);
    // The frames last handed over are those of the final sound from its start.
    const std::vector<int16_t> played = test_log[0].consumed_frames();
    ASSERT_GE(played.size(), sample_count);
    EXPECT_EQ(0, std::memcmp(played.data() + played.size() - sample_count, samples,
                             sample_count * 2));
    Instrument final_sound = instrument;
    EXPECT_EQ(final_sound.tension, 3.0);
    EXPECT_EQ(final_sound.damping, 0.1);
    EXPECT_EQ(final_sound.speed, 0.25);
}
