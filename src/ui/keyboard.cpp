// The on-screen keyboard.
#include "keyboard.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "intl.h"
#include "live_play.h"

GtkWidget *keyboard_area = nullptr, *octave_down_button = nullptr, *octave_up_button = nullptr;

namespace {

constexpr int32_t white_keys = 7 * keyboard_octaves;
// The white key each semitone of an octave lies on or right of.
constexpr int32_t white_index[12] = {0, 0, 1, 1, 2, 3, 3, 4, 4, 5, 5, 6};
constexpr bool is_black[12] = {false, true, false, true, false, false,
                               true, false, true, false, true, false};
constexpr int32_t area_width = white_keys * 18, area_height = 56;
constexpr double black_height = 0.62, black_width = 0.6;
// Velocity at the top of a key and at its bottom.
constexpr int32_t hardest = 127, softest = 20;
// As the Status frame beside it.
constexpr guint frame_border = 10, box_border = 2, box_spacing = 4;
constexpr double label_size = 9.0;

int32_t first_key = keyboard_start_key;
int32_t held_key = -1;

struct Geometry {
    int32_t left, white, height; // left edge, a white key's width, the area's height
};

Geometry geometry()
{
    GtkAllocation a{};
    gtk_widget_get_allocation(keyboard_area, &a);
    const int32_t white = std::max(1, a.width / white_keys);
    return {(a.width - white * white_keys) / 2, white, a.height};
}

GdkRectangle rectangle_of(const Geometry &g, int32_t key)
{
    const int32_t offset = key - first_key;
    if (offset < 0 || offset >= keyboard_keys)
        return {0, 0, 0, 0};
    const int32_t octave = offset / 12, semitone = offset % 12;
    const int32_t index = 7 * octave + white_index[semitone];
    if (!is_black[semitone])
        return {g.left + index * g.white, 0, g.white, g.height};
    const auto w = static_cast<int32_t>(std::lround(black_width * g.white));
    const int32_t edge = g.left + (index + 1) * g.white;
    return {edge - w / 2, 0, w, static_cast<int32_t>(std::lround(black_height * g.height))};
}

bool inside(const GdkRectangle &r, double x, double y)
{
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

bool playable(int32_t key)
{
    const LiveKeys keys = live_play_keys();
    // Before the first engine every key is taken as playable.
    return keys.highest < keys.lowest || (key >= keys.lowest && key <= keys.highest);
}

std::string note_name(int32_t key)
{
    static const char *const names[12] = {"C", "C#", "D", "D#", "E", "F",
                                          "F#", "G", "G#", "A", "A#", "B"};
    return names[key % 12] + std::to_string(key / 12 - 1);
}

void set_octave_buttons()
{
    gtk_widget_set_sensitive(octave_down_button, first_key >= 12);
    gtk_widget_set_sensitive(octave_up_button, first_key + keyboard_keys + 12 <= 128);
}

void release_held()
{
    if (held_key < 0)
        return;
    live_play_key(held_key, 0, false);
    held_key = -1;
    gtk_widget_queue_draw(keyboard_area);
}

void shift(GtkButton *, gpointer octaves)
{
    release_held();
    first_key = std::clamp(first_key + 12 * GPOINTER_TO_INT(octaves), 0, 128 - keyboard_keys);
    set_octave_buttons();
    gtk_widget_queue_draw(keyboard_area);
}

void fill(cairo_t *cr, const GdkRectangle &r, double grey)
{
    cairo_set_source_rgb(cr, grey, grey, grey);
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    cairo_fill(cr);
}

gboolean on_expose(GtkWidget *widget, GdkEventExpose *event, gpointer)
{
    cairo_t *cr = gdk_cairo_create(widget->window);
    gdk_cairo_rectangle(cr, &event->area);
    cairo_clip(cr);
    const Geometry g = geometry();
    cairo_set_line_width(cr, 1.0);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, label_size);
    for (int32_t key = first_key; key < first_key + keyboard_keys; ++key) {
        if (is_black[key % 12])
            continue;
        const GdkRectangle r = rectangle_of(g, key);
        if (key == held_key)
            cairo_set_source_rgb(cr, 0.55, 0.7, 0.95);
        else {
            const double grey = playable(key) ? 1.0 : 0.75;
            cairo_set_source_rgb(cr, grey, grey, grey);
        }
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        cairo_rectangle(cr, r.x + 0.5, r.y + 0.5, r.width - 1, r.height - 1);
        cairo_stroke(cr);
        if (key % 12 == 0) {
            const std::string name = note_name(key);
            cairo_text_extents_t extents{};
            cairo_text_extents(cr, name.c_str(), &extents);
            cairo_move_to(cr, r.x + (r.width - extents.width) / 2 - extents.x_bearing,
                          r.y + r.height - 4);
            cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
            cairo_show_text(cr, name.c_str());
        }
    }
    for (int32_t key = first_key; key < first_key + keyboard_keys; ++key) {
        if (!is_black[key % 12])
            continue;
        const double grey = key == held_key ? -1.0 : playable(key) ? 0.1 : 0.5;
        const GdkRectangle r = rectangle_of(g, key);
        if (grey < 0) {
            cairo_set_source_rgb(cr, 0.2, 0.35, 0.75);
            cairo_rectangle(cr, r.x, r.y, r.width, r.height);
            cairo_fill(cr);
        } else
            fill(cr, r, grey);
    }
    cairo_destroy(cr);
    return TRUE;
}

gboolean on_press(GtkWidget *, GdkEventButton *event, gpointer)
{
    // A double click sends a second press of its own, then this one.
    if (event->type != GDK_BUTTON_PRESS || event->button != 1)
        return FALSE;
    release_held();
    int32_t velocity = 0;
    const int32_t key = keyboard_key_at(event->x, event->y, &velocity);
    if (key < 0 || !playable(key))
        return TRUE;
    live_play_key(key, velocity, true);
    held_key = key;
    gtk_widget_queue_draw(keyboard_area);
    return TRUE;
}

gboolean on_release(GtkWidget *, GdkEventButton *event, gpointer)
{
    if (event->button == 1)
        release_held();
    return TRUE;
}

gboolean on_grab_broken(GtkWidget *, GdkEvent *, gpointer)
{
    release_held();
    return FALSE;
}

void on_keys_changed()
{
    if (keyboard_area)
        gtk_widget_queue_draw(keyboard_area);
}

GtkWidget *octave_button(GtkArrowType direction, const char *tooltip, int octaves)
{
    GtkWidget *button = gtk_button_new();
    gtk_container_add(GTK_CONTAINER(button), gtk_arrow_new(direction, GTK_SHADOW_NONE));
    gtk_widget_set_tooltip_text(button, _(tooltip));
    gtk_widget_set_can_focus(button, FALSE);
    g_signal_connect(button, "clicked", G_CALLBACK(shift), GINT_TO_POINTER(octaves));
    return button;
}

} // namespace

GtkWidget *build_keyboard_frame()
{
    first_key = keyboard_start_key;
    held_key = -1;
    GtkWidget *frame = gtk_frame_new(_("Keyboard"));
    gtk_container_set_border_width(GTK_CONTAINER(frame), frame_border);
    GtkWidget *box = gtk_hbox_new(FALSE, box_spacing);
    gtk_container_set_border_width(GTK_CONTAINER(box), box_border);
    gtk_container_add(GTK_CONTAINER(frame), box);

    octave_down_button = octave_button(GTK_ARROW_LEFT, N_("Keyboard one octave down"), -1);
    gtk_box_pack_start(GTK_BOX(box), octave_down_button, FALSE, FALSE, 0);
    keyboard_area = gtk_drawing_area_new();
    gtk_widget_set_size_request(keyboard_area, area_width, area_height);
    gtk_widget_add_events(keyboard_area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK);
    gtk_widget_set_tooltip_text(
        keyboard_area, _("Click a key to play it, nearer its top to strike harder; grey keys are "
                         "beyond the sound's range"));
    g_signal_connect(keyboard_area, "expose-event", G_CALLBACK(on_expose), nullptr);
    g_signal_connect(keyboard_area, "button-press-event", G_CALLBACK(on_press), nullptr);
    g_signal_connect(keyboard_area, "button-release-event", G_CALLBACK(on_release), nullptr);
    g_signal_connect(keyboard_area, "grab-broken-event", G_CALLBACK(on_grab_broken), nullptr);
    g_signal_connect(keyboard_area, "unmap", G_CALLBACK(+[](GtkWidget *, gpointer) {
                         release_held();
                     }),
                     nullptr);
    gtk_box_pack_start(GTK_BOX(box), keyboard_area, TRUE, TRUE, 0);
    octave_up_button = octave_button(GTK_ARROW_RIGHT, N_("Keyboard one octave up"), 1);
    gtk_box_pack_start(GTK_BOX(box), octave_up_button, FALSE, FALSE, 0);
    set_octave_buttons();
    live_play_set_keys_listener(on_keys_changed);
    gtk_widget_show_all(frame);
    return frame;
}

int32_t keyboard_first_key()
{
    return first_key;
}

int32_t keyboard_held_key()
{
    return held_key;
}

int32_t keyboard_key_at(double x, double y, int32_t *velocity)
{
    const Geometry g = geometry();
    for (int pass = 0; pass < 2; ++pass) // the black keys lie over the white ones
        for (int32_t key = first_key; key < first_key + keyboard_keys; ++key) {
            if (is_black[key % 12] != (pass == 0))
                continue;
            const GdkRectangle r = rectangle_of(g, key);
            if (!inside(r, x, y))
                continue;
            const double depth = (y - r.y) / std::max(1, r.height);
            *velocity = std::clamp(
                static_cast<int32_t>(std::lround(hardest - (hardest - softest) * depth)), 1, 127);
            return key;
        }
    return -1;
}

GdkRectangle keyboard_key_rectangle(int32_t key)
{
    return rectangle_of(geometry(), key);
}
