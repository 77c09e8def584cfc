// The on-screen keyboard in the real window: where it sits, its keys and
// octave buttons, and what a click plays. Live play runs without an output
// device: the test plays the synth's blocks itself, as the audio thread
// would, counting allocations there, and compares them with an engine of
// its own for the same sound.
#include <algorithm>
#include <cmath>
#include <memory>
#include <span>
#include <vector>

#include "actions.h"
#include "allocation_counter.h"
#include "keyboard.h"
#include "live_play.h"
#include "live_synth.h"
#include "partial_probe.h"
#include "voice_engine.h"
#include "window_test_support.h"

namespace {

constexpr int32_t rate = 48000;
constexpr uint32_t block = 256;

class KeyboardWindow : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        if (IsSkipped())
            return;
        live_play_start_unconnected(rate, static_cast<int32_t>(block));
    }
    void TearDown() override
    {
        live_play_stop();
        WindowTest::TearDown();
    }
};

// Waits (running the window's events) until the worker has handed over
// `count` engines.
void wait_for_engines(uint64_t count)
{
    const gint64 deadline = g_get_monotonic_time() + 60 * G_USEC_PER_SEC;
    while (live_play_engines_prepared() < count && g_get_monotonic_time() < deadline) {
        pump_events();
        g_usleep(2000);
    }
    pump_events(); // the keyboard hears of the new keys
    ASSERT_EQ(live_play_engines_prepared(), count);
}

// A mouse button on the keyboard at a point of key `key`, `depth` of its
// height down from its top, through the X server as a person's click.
void mouse(int32_t key, double depth, GdkEventType type)
{
    const GdkRectangle r = keyboard_key_rectangle(key);
    ASSERT_GT(r.width, 0) << "key " << key << " is not shown";
    ASSERT_TRUE(gdk_test_simulate_button(keyboard_area->window, r.x + r.width / 2,
                                         r.y + static_cast<int>(depth * r.height), 1,
                                         GdkModifierType(0), type));
    const gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    const bool grey = live_play_keys().highest >= live_play_keys().lowest &&
                      (key < live_play_keys().lowest || key > live_play_keys().highest);
    const int32_t want = type == GDK_BUTTON_PRESS && !grey ? key : -1;
    while (keyboard_held_key() != want && g_get_monotonic_time() < deadline) {
        pump_events();
        g_usleep(1000);
    }
    ASSERT_EQ(keyboard_held_key(), want);
}

struct Take {
    std::vector<float> left, right;
};

// `frames` of the synth in the audio thread's blocks, counting allocations.
Take play_synth(uint32_t frames)
{
    LiveSynth &synth = *live_play_synth();
    Take t{std::vector<float>(frames), std::vector<float>(frames)};
    counting = true;
    for (uint32_t at = 0; at < frames; at += block)
        synth.process({}, t.left.data() + at, t.right.data() + at, std::min(block, frames - at));
    counting = false;
    return t;
}

// The same notes through an engine of the test's own, in the same blocks.
Take play_engine(voice::VoiceEngine &e, std::vector<voice::VoiceEvent> at_start, uint32_t frames)
{
    Take t{std::vector<float>(frames), std::vector<float>(frames)};
    for (uint32_t at = 0; at < frames; at += block) {
        e.process(at == 0 ? std::span<const voice::VoiceEvent>(at_start)
                          : std::span<const voice::VoiceEvent>(),
                  t.left.data() + at, t.right.data() + at, std::min(block, frames - at));
    }
    return t;
}

std::unique_ptr<voice::VoiceEngine> engine_of_the_window()
{
    std::string error;
    Instrument ins = instrument;
    ins.progress = nullptr;
    auto e = voice::VoiceEngine::prepare(ins, rate, voice::EngineSettings{},
                                         static_cast<int32_t>(block), error);
    EXPECT_NE(e, nullptr) << error;
    return e;
}

std::vector<double> as_double(const std::vector<float> &x)
{
    return {x.begin(), x.end()};
}

double peak(const std::vector<float> &x, size_t from = 0)
{
    float p = 0.0f;
    for (size_t i = from; i < x.size(); ++i)
        p = std::max(p, std::fabs(x[i]));
    return p;
}

} // namespace

TEST_F(KeyboardWindow, FourOctavesBesideTheStatusThatFitTheScreen)
{
    GtkWidget *frame = gtk_widget_get_parent(gtk_widget_get_parent(keyboard_area));
    ASSERT_TRUE(GTK_IS_FRAME(frame));
    EXPECT_STREQ(gtk_frame_get_label(GTK_FRAME(frame)), "Keyboard");
    // In the window's bottom row, right of the Status frame.
    GtkWidget *row = gtk_widget_get_parent(frame);
    GtkWidget *status = gtk_widget_get_parent(gtk_widget_get_parent(progress_bar));
    EXPECT_EQ(gtk_widget_get_parent(status), row);
    GList *children = gtk_container_get_children(GTK_CONTAINER(row));
    EXPECT_EQ(g_list_length(children), 2u);
    EXPECT_EQ(g_list_index(children, status), 0);
    EXPECT_EQ(g_list_index(children, frame), 1);
    g_list_free(children);
    GtkAllocation k{}, s{}, view{};
    gtk_widget_get_allocation(frame, &k);
    gtk_widget_get_allocation(status, &s);
    EXPECT_EQ(k.y, s.y);
    EXPECT_GE(k.x, s.x + s.width);
    if (view_area) {
        gtk_widget_get_allocation(view_area, &view);
        EXPECT_GE(k.y, view.y + view.height);
    }

    EXPECT_EQ(keyboard_first_key(), 48);
    for (int32_t key = 48; key < 96; ++key)
        EXPECT_GT(keyboard_key_rectangle(key).width, 0) << key;
    EXPECT_EQ(keyboard_key_rectangle(47).width, 0);
    EXPECT_EQ(keyboard_key_rectangle(96).width, 0);
    // A black key lies over its white neighbours' top; nearer the top is harder.
    const GdkRectangle c_sharp = keyboard_key_rectangle(49);
    int32_t top = 0, bottom = 0;
    EXPECT_EQ(keyboard_key_at(c_sharp.x + 1, 0, &top), 49);
    EXPECT_EQ(keyboard_key_at(c_sharp.x + 1, c_sharp.height + 2, &bottom), 48);
    EXPECT_EQ(top, 127);
    EXPECT_LT(bottom, 100);

    // Neither keys nor buttons take the focus: Tab runs as before.
    EXPECT_FALSE(gtk_widget_get_can_focus(keyboard_area));
    for (GtkWidget *b : {octave_down_button, octave_up_button}) {
        EXPECT_FALSE(gtk_widget_get_can_focus(b));
        EXPECT_TRUE(gtk_widget_get_sensitive(b));
    }
    gchar *tip = gtk_widget_get_tooltip_text(octave_up_button);
    EXPECT_STREQ(tip, "Keyboard one octave up");
    g_free(tip);
    gtk_test_widget_click(octave_up_button, 1, GdkModifierType(0));
    pump_events();
    gtk_test_widget_click(octave_up_button, 1, GdkModifierType(0));
    pump_events();
    EXPECT_EQ(keyboard_first_key(), 72);
    EXPECT_GT(keyboard_key_rectangle(119).width, 0);
    EXPECT_EQ(keyboard_key_rectangle(120).width, 0);
    EXPECT_FALSE(gtk_widget_get_sensitive(octave_up_button)) << "keys end at 127";
    for (int i = 0; i < 7; ++i) {
        gtk_test_widget_click(octave_down_button, 1, GdkModifierType(0));
        pump_events();
    }
    EXPECT_EQ(keyboard_first_key(), 0);
    EXPECT_FALSE(gtk_widget_get_sensitive(octave_down_button));

    // A title bar and a desktop panel take some 70 pixels of the height.
    GtkRequisition size{};
    gtk_widget_size_request(main_window, &size);
    EXPECT_LE(size.width, 1366);
    EXPECT_LE(size.height, 768 - 70);
}

TEST_F(KeyboardWindow, AClickPlaysItsKeyAsTheEngineDoesWithoutAllocating)
{
    wait_for_engines(1);
    const LiveKeys keys = live_play_keys();
    const std::unique_ptr<voice::VoiceEngine> own = engine_of_the_window();
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(keys.lowest, own->lowest_key());
    EXPECT_EQ(keys.highest, own->highest_key());
    EXPECT_EQ(keys.root, own->root_key());

    // Key 72 (C5), a tenth of the way down from its top.
    constexpr int32_t key = 72;
    int32_t velocity = 0;
    const GdkRectangle r = keyboard_key_rectangle(key);
    ASSERT_EQ(keyboard_key_at(r.x + r.width / 2, r.y + static_cast<int>(0.1 * r.height), &velocity),
              key);
    EXPECT_GT(velocity, 110);
    allocations = 0;
    play_synth(block); // the synth takes its engine
    mouse(key, 0.1, GDK_BUTTON_PRESS);
    constexpr uint32_t held = rate * 3 / 10;
    const Take down = play_synth(held);
    mouse(key, 0.1, GDK_BUTTON_RELEASE);
    const Take up = play_synth(rate / 5);
    EXPECT_EQ(allocations, 0);

    // Frame for frame what the engine plays for the key pressed at frame 0.
    const Take want = play_engine(*own, {{0, 0x90, key, static_cast<uint8_t>(velocity)}}, held);
    EXPECT_EQ(down.left, want.left);
    EXPECT_EQ(down.right, want.right);
    // The engine's pitch for the key: its root key's partial, moved in
    // equal-tempered semitones.
    own->reset();
    const Take root = play_engine(*own, {{0, 0x90, static_cast<uint8_t>(own->root_key()),
                                          static_cast<uint8_t>(velocity)}}, held);
    const double root_hz = peak_near(rate, as_double(root.left), own->reference_hz());
    ASSERT_GT(root_hz, 0.0);
    const double pitch = root_hz * std::exp2((key - own->root_key()) / 12.0);
    const double heard = peak_near(rate, as_double(down.left), pitch);
    ASSERT_GT(heard, 0.0);
    EXPECT_LT(std::fabs(cents(heard, pitch)), 3.0) << heard << " Hz against " << pitch;
    // Key-up damps it 60 dB within half a second.
    EXPECT_GT(peak(down.left), 0.05);
    EXPECT_LT(peak(up.left, up.left.size() - block), peak(down.left) / 10);
}

TEST_F(KeyboardWindow, ANewSoundTakesTheNextNoteWhileTheOldOneRingsAndStopSilencesBoth)
{
    wait_for_engines(1);
    const std::unique_ptr<voice::VoiceEngine> old_sound = engine_of_the_window();
    play_synth(block);
    mouse(60, 0.5, GDK_BUTTON_PRESS);
    const Take first = play_synth(rate / 10);

    // A new speed while key 60 is held: the worker prepares the new sound.
    gtk_range_set_value(GTK_RANGE(speed_scale), 0.3);
    wait_for_engines(2);
    const std::unique_ptr<voice::VoiceEngine> new_sound = engine_of_the_window();
    allocations = 0;
    mouse(67, 0.5, GDK_BUTTON_PRESS); // takes the place of 60 on the mouse: 60 is let go
    const Take both = play_synth(rate / 5);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(live_play_synth()->engines_taken(), 2u);

    // The old note, let go at the new note's frame, rings on in the old
    // sound; the new note plays the new one; the output is both.
    int32_t v60 = 0, v67 = 0;
    const GdkRectangle r60 = keyboard_key_rectangle(60), r67 = keyboard_key_rectangle(67);
    keyboard_key_at(r60.x + r60.width / 2, r60.y + r60.height / 2, &v60);
    keyboard_key_at(r67.x + r67.width / 2, r67.y + r67.height / 2, &v67);
    const Take old_held =
        play_engine(*old_sound, {{0, 0x90, 60, static_cast<uint8_t>(v60)}}, rate / 10);
    const Take old_released = play_engine(*old_sound, {{0, 0x80, 60, 0}}, rate / 5);
    const Take new_note =
        play_engine(*new_sound, {{0, 0x90, 67, static_cast<uint8_t>(v67)}}, rate / 5);
    EXPECT_EQ(first.left, old_held.left);
    std::vector<float> sum(both.left.size());
    for (size_t i = 0; i < sum.size(); ++i)
        sum[i] = new_note.left[i] + old_released.left[i];
    EXPECT_EQ(both.left, sum);
    EXPECT_GT(peak(old_released.left), 0.01) << "the old note went silent at once";
    EXPECT_EQ(keyboard_held_key(), 67);

    // Stop: every voice of both sounds falls silent within a few ms.
    on_stop(nullptr, nullptr);
    const Take stopped = play_synth(rate / 20);
    EXPECT_EQ(peak(stopped.left, rate / 100), 0.0);
    EXPECT_EQ(live_play_synth()->active_voices(), 0);
    mouse(67, 0.5, GDK_BUTTON_RELEASE);
}

namespace {
// The colour at the middle of the lower part of white key `key` as drawn.
guint32 face_of(int32_t key)
{
    gdk_window_process_updates(keyboard_area->window, TRUE);
    gdk_flush();
    const GdkRectangle r = keyboard_key_rectangle(key);
    GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, keyboard_area->window, nullptr,
                                                   r.x + r.width / 2, r.y + r.height * 3 / 4, 0,
                                                   0, 1, 1);
    const guchar *p = gdk_pixbuf_get_pixels(shot);
    const guint32 rgb = (guint32(p[0]) << 16) | (guint32(p[1]) << 8) | p[2];
    g_object_unref(shot);
    return rgb;
}
} // namespace

TEST_F(KeyboardWindow, KeysTheSoundCannotPlayAreGreyAndSilent)
{
    wait_for_engines(1);
    // The plane of the defaults plays keys 0 to 115.
    gtk_notebook_set_current_page(GTK_NOTEBOOK(shape_notebook), TYPE_PLANE);
    wait_for_engines(2);
    const std::unique_ptr<voice::VoiceEngine> plane = engine_of_the_window();
    ASSERT_EQ(live_play_keys().highest, plane->highest_key());
    ASSERT_LT(plane->highest_key(), 119);
    gtk_test_widget_click(octave_up_button, 1, GdkModifierType(0));
    gtk_test_widget_click(octave_up_button, 1, GdkModifierType(0));
    pump_events();
    ASSERT_EQ(keyboard_first_key(), 72);
    for (int32_t key : {113, 115, 117, 119}) { // white keys (F, G, A, B)
        const bool playable = key <= plane->highest_key();
        EXPECT_EQ(face_of(key), playable ? 0xffffffu : 0xbfbfbfu) << "key " << key;
    }
    // A grey key plays nothing.
    play_synth(block);
    mouse(119, 0.5, GDK_BUTTON_PRESS);
    EXPECT_EQ(keyboard_held_key(), -1);
}
