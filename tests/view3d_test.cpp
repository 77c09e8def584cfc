// The 3D view on a real (virtual) X display with software OpenGL, checked by
// its pixels: what is drawn where, in which colour, how drags turn it.
//
// Colours as lit: every channel gets the ambient 0.25 (material ambient 0.2
// times the light's 0.5 plus the model's 0.75); a lit channel of the node's
// colour adds up to 0.577 (a face turned to the light, which comes from
// (1, 1, 1) in eye space). So a channel is "on" well above 64 of 255, and a
// face turned away from the light is a uniform grey whatever its colour.
//
// Set CW_VIEW_SCREENSHOTS to a folder to keep a PNG of each shape.
#include <gtk/gtk.h>
#include <gtk/gtkgl.h>
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "instrument.h"
#include "parameters.h"
#include "view3d.h"
#include "window_state.h"

namespace {

enum class Hue { black, grey, white, red, green, blue, cyan, other };

// Channels at or below the ambient level plus this are "off".
constexpr int off_level = 64 + 30;
constexpr int black_level = 24;

Hue classify(int r, int g, int b)
{
    if (std::max({r, g, b}) < black_level)
        return Hue::black;
    const bool R = r > off_level, G = g > off_level, B = b > off_level;
    if (R && G && B)
        return Hue::white;
    if (R && !G && !B)
        return Hue::red;
    if (!R && G && !B)
        return Hue::green;
    if (!R && !G && B)
        return Hue::blue;
    if (!R && G && B)
        return Hue::cyan;
    if (!R && !G && !B)
        return Hue::grey;
    return Hue::other;
}

// An RGB picture, top row first (as on screen).
struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;

    Hue hue(int x, int y) const
    {
        const uint8_t *p = &rgb[3 * (size_t(y) * width + x)];
        return classify(p[0], p[1], p[2]);
    }
};

// Bounding box and centroid of a set of pixels.
struct Extent {
    int count = 0;
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
    double sum_x = 0, sum_y = 0;

    void add(int x, int y)
    {
        ++count;
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
        sum_x += x;
        sum_y += y;
    }
    int width() const { return right - left + 1; }
    int height() const { return bottom - top + 1; }
    double cx() const { return sum_x / count; }
    double cy() const { return sum_y / count; }
};

// Pixels of one hue (or, for Hue::black, every pixel that is not black).
Extent extent_of(const Image &img, Hue hue, int x_from = 0, int x_to = -1)
{
    if (x_to < 0)
        x_to = img.width - 1;
    Extent e;
    for (int y = 0; y < img.height; ++y)
        for (int x = x_from; x <= x_to; ++x) {
            const Hue h = img.hue(x, y);
            if (hue == Hue::black ? h != Hue::black : h == hue)
                e.add(x, y);
        }
    return e;
}

// A connected patch of non-black pixels (4-neighbourhood): one cube, as long
// as the cubes do not touch on screen.
struct Patch {
    Extent extent;
    std::map<Hue, int> hues;

    // The colour of the node: the most frequent hue other than grey (faces
    // turned away from the light are grey in every colour).
    Hue colour() const
    {
        Hue best = Hue::grey;
        int most = 0;
        for (const auto &[h, n] : hues)
            if (h != Hue::grey && n > most) {
                best = h;
                most = n;
            }
        return best;
    }
};

std::vector<Patch> patches(const Image &img)
{
    std::vector<int> label(size_t(img.width) * img.height, -1);
    std::vector<Patch> result;
    for (int y0 = 0; y0 < img.height; ++y0)
        for (int x0 = 0; x0 < img.width; ++x0) {
            if (img.hue(x0, y0) == Hue::black || label[size_t(y0) * img.width + x0] >= 0)
                continue;
            Patch patch;
            std::vector<std::pair<int, int>> todo{{x0, y0}};
            label[size_t(y0) * img.width + x0] = int(result.size());
            while (!todo.empty()) {
                const auto [x, y] = todo.back();
                todo.pop_back();
                patch.extent.add(x, y);
                ++patch.hues[img.hue(x, y)];
                const int next[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
                for (const auto &n : next) {
                    if (n[0] < 0 || n[1] < 0 || n[0] >= img.width || n[1] >= img.height)
                        continue;
                    int &l = label[size_t(n[1]) * img.width + n[0]];
                    if (l >= 0 || img.hue(n[0], n[1]) == Hue::black)
                        continue;
                    l = int(result.size());
                    todo.push_back({n[0], n[1]});
                }
            }
            result.push_back(patch);
        }
    return result;
}

// Sorted distinct values, merging those closer than `tolerance`.
std::vector<double> clusters(std::vector<double> values, double tolerance)
{
    std::sort(values.begin(), values.end());
    std::vector<double> out;
    for (double v : values)
        if (out.empty() || v - out.back() > tolerance)
            out.push_back(v);
    return out;
}

class View3d : public ::testing::Test {
protected:
    static inline bool have_display = false;
    static inline GtkWidget *window = nullptr;

    static void SetUpTestSuite()
    {
        if (!gtk_init_check(nullptr, nullptr) || !gtk_gl_init_check(nullptr, nullptr))
            return;
        instrument = instrument_defaults();
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_container_add(GTK_CONTAINER(window), gui_create_view_widget());
        if (!view_area)
            return;
        gtk_widget_show_all(window);
        settle();
        have_display = true;
    }

    void SetUp() override
    {
        if (!have_display)
            GTEST_SKIP() << "no X display with OpenGL";
        view_rot_x = 0.0f;
        view_rot_y = 90.0f;
    }

    void TearDown() override
    {
        if (!have_display)
            return;
        view_rot_x = 0.0f;
        view_rot_y = 90.0f;
        instrument = instrument_defaults();
        render_object();
        settle();
    }

    // Runs every pending event and redraw, and waits for the X server.
    static void settle()
    {
        while (gtk_events_pending())
            gtk_main_iteration();
        gdk_window_process_all_updates();
        gdk_display_sync(gdk_display_get_default());
    }

    // Rebuilds the preview from `instrument` and lets the view redraw.
    static void show_instrument()
    {
        render_object();
        settle();
    }

    // What OpenGL drew: the back buffer, which this software GL keeps intact
    // across the swap (the swap copies it to the window).
    static Image back_buffer()
    {
        Image img;
        img.width = view_area->allocation.width;
        img.height = view_area->allocation.height;
        std::vector<uint8_t> bottom_up(size_t(img.width) * img.height * 3);
        GdkGLDrawable *drawable = gtk_widget_get_gl_drawable(view_area);
        EXPECT_TRUE(gdk_gl_drawable_gl_begin(drawable, gtk_widget_get_gl_context(view_area)));
        glReadBuffer(GL_BACK);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, img.width, img.height, GL_RGB, GL_UNSIGNED_BYTE, bottom_up.data());
        gdk_gl_drawable_gl_end(drawable);
        img.rgb.resize(bottom_up.size());
        const size_t row = size_t(img.width) * 3;
        for (int y = 0; y < img.height; ++y)
            std::copy_n(&bottom_up[size_t(img.height - 1 - y) * row], row, &img.rgb[y * row]);
        return img;
    }

    // What the X server shows in the view's window.
    static GdkPixbuf *screenshot()
    {
        return gdk_pixbuf_get_from_drawable(nullptr, view_area->window, nullptr, 0, 0, 0, 0,
                                            view_area->allocation.width,
                                            view_area->allocation.height);
    }

    // The view as the user sees it.
    static Image shown()
    {
        GdkPixbuf *shot = screenshot();
        Image img;
        img.width = gdk_pixbuf_get_width(shot);
        img.height = gdk_pixbuf_get_height(shot);
        const int stride = gdk_pixbuf_get_rowstride(shot);
        const int channels = gdk_pixbuf_get_n_channels(shot);
        const guchar *pixels = gdk_pixbuf_get_pixels(shot);
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x)
                img.rgb.insert(img.rgb.end(), pixels + y * stride + x * channels,
                               pixels + y * stride + x * channels + 3);
        g_object_unref(shot);
        return img;
    }

    static void keep_screenshot(const char *name)
    {
        const char *folder = std::getenv("CW_VIEW_SCREENSHOTS");
        if (!folder)
            return;
        GdkPixbuf *pixbuf = screenshot();
        const std::string path = std::string(folder) + "/" + name + ".png";
        EXPECT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr));
        g_object_unref(pixbuf);
    }

    static void send(GdkEvent *event)
    {
        event->any.window = GDK_WINDOW(g_object_ref(view_area->window));
        event->any.send_event = TRUE;
        gtk_widget_event(view_area, event);
        gdk_event_free(event);
    }

    static void press(guint button, double x, double y)
    {
        GdkEvent *event = gdk_event_new(GDK_BUTTON_PRESS);
        event->button.button = button;
        event->button.x = x;
        event->button.y = y;
        send(event);
    }

    static void release(guint button, double x, double y)
    {
        GdkEvent *event = gdk_event_new(GDK_BUTTON_RELEASE);
        event->button.button = button;
        event->button.x = x;
        event->button.y = y;
        event->button.state = GDK_BUTTON1_MASK << (button - 1);
        send(event);
    }

    static void move(guint state, double x, double y, bool hint = false)
    {
        GdkEvent *event = gdk_event_new(GDK_MOTION_NOTIFY);
        event->motion.state = state;
        event->motion.x = x;
        event->motion.y = y;
        event->motion.is_hint = hint;
        send(event);
    }
};

TEST_F(View3d, DefaultTubeLiesAcrossWithColouredRings)
{
    show_instrument();
    keep_screenshot("tube");
    const Image img = shown();
    ASSERT_EQ(img.width, 300);
    ASSERT_EQ(img.height, 300);

    // Across the view and centred: 36 long against a diameter under 2.
    const Extent all = extent_of(img, Hue::black);
    ASSERT_GT(all.count, 0);
    EXPECT_GT(all.width(), 200);
    EXPECT_LT(all.height(), 20);
    EXPECT_NEAR((all.left + all.right) / 2.0, 150, 2);
    EXPECT_NEAR((all.top + all.bottom) / 2.0, 150, 2);

    // Ten rings as ten columns of cubes, equally spaced.
    std::vector<double> xs;
    for (const Patch &p : patches(img))
        xs.push_back(p.extent.cx());
    const std::vector<double> rings = clusters(xs, 6);
    ASSERT_EQ(rings.size(), 10u);
    const double spacing = (rings[9] - rings[0]) / 9;
    const double half_band = spacing / 2;
    auto band = [&](int ring, Hue hue) {
        return extent_of(img, hue, int(rings[ring] - half_band), int(rings[ring] + half_band));
    };

    // First and last ring red (z grows to the right: ring 0 on the left),
    // struck node 7 (ring 1) green, sampled node 40 (ring 8) blue, all
    // other nodes white.
    for (int ring : {0, 9}) {
        EXPECT_GT(band(ring, Hue::red).count, 0) << "ring " << ring;
        EXPECT_EQ(band(ring, Hue::white).count, 0) << "ring " << ring;
    }
    for (int ring = 1; ring <= 8; ++ring) {
        EXPECT_GT(band(ring, Hue::white).count, 0) << "ring " << ring;
        EXPECT_EQ(band(ring, Hue::red).count, 0) << "ring " << ring;
    }
    EXPECT_GT(band(1, Hue::green).count, 0);
    EXPECT_EQ(extent_of(img, Hue::green).count, band(1, Hue::green).count);
    // Node 40 sits on the far side of its ring, seen through the gap between
    // its neighbours: a thin line at the tube's axis.
    EXPECT_GT(band(8, Hue::blue).count, 0);
    EXPECT_EQ(extent_of(img, Hue::blue).count, band(8, Hue::blue).count);
    EXPECT_NEAR(band(8, Hue::blue).cy(), 150, 2);
    EXPECT_EQ(extent_of(img, Hue::cyan).count, 0);
    EXPECT_EQ(extent_of(img, Hue::other).count, 0);

    // Black behind it.
    EXPECT_EQ(img.hue(0, 0), Hue::black);
    EXPECT_EQ(img.hue(150, 60), Hue::black);
}

TEST_F(View3d, ScreenMatchesWhatOpenGlDrew)
{
    show_instrument();
    const Image drawn = back_buffer(), on_screen = shown();
    ASSERT_EQ(drawn.rgb.size(), on_screen.rgb.size());
    EXPECT_GT(extent_of(drawn, Hue::black).count, 0);
    EXPECT_TRUE(drawn.rgb == on_screen.rgb);
}

TEST_F(View3d, SameStruckAndSampledNodeIsCyan)
{
    instrument.sampling_node = instrument.actuation_node = 7;
    show_instrument();
    const Image img = shown();
    const Extent cyan = extent_of(img, Hue::cyan);
    EXPECT_GT(cyan.count, 0);
    EXPECT_EQ(extent_of(img, Hue::green).count, 0);
    EXPECT_EQ(extent_of(img, Hue::blue).count, 0);
    // Where node 7 was green before: in the second ring from the left.
    const Extent all = extent_of(img, Hue::black);
    const double ring_px = all.width() / 9.5;
    EXPECT_NEAR(cyan.cx(), all.left + 1.25 * ring_px, ring_px / 2);
}

TEST_F(View3d, RodLiesAcrossWithRedEnds)
{
    instrument.type = TYPE_ROD; // 5 nodes, 4 apart, struck at 7: none green
    instrument.actuation_node = 1;
    instrument.sampling_node = 3;
    show_instrument();
    keep_screenshot("rod");
    const Image img = shown();
    std::vector<Patch> cubes = patches(img);
    ASSERT_EQ(cubes.size(), 5u);
    std::sort(cubes.begin(), cubes.end(),
              [](const Patch &a, const Patch &b) { return a.extent.cx() < b.extent.cx(); });
    const Hue expected[] = {Hue::red, Hue::green, Hue::white, Hue::blue, Hue::red};
    for (size_t i = 0; i < cubes.size(); ++i) {
        EXPECT_EQ(cubes[i].colour(), expected[i]) << "node " << i;
        EXPECT_NEAR(cubes[i].extent.cy(), 150, 1.5) << "node " << i;
    }
}

TEST_F(View3d, PlaneFacesTheViewer)
{
    // 7 rows of 9 nodes in the y-z plane: rows (z) run left to right,
    // columns (y) bottom to top. Corners 0, 8, 54, 62 red.
    instrument.type = TYPE_PLANE;
    instrument.actuation_node = 1;
    instrument.sampling_node = 53;
    show_instrument();
    keep_screenshot("plane");
    const Image img = shown();
    const std::vector<Patch> cubes = patches(img);
    ASSERT_EQ(cubes.size(), 63u);
    std::vector<double> xs, ys;
    for (const Patch &p : cubes) {
        xs.push_back(p.extent.cx());
        ys.push_back(p.extent.cy());
        // Face on: square fronts, all the same size (within a pixel of
        // rounding and the sides perspective shows).
        EXPECT_NEAR(p.extent.width(), p.extent.height(), 1.5);
        EXPECT_NEAR(p.extent.width(), cubes[0].extent.width(), 1.5);
    }
    const std::vector<double> columns = clusters(xs, 3), rows = clusters(ys, 3);
    ASSERT_EQ(columns.size(), 7u);
    ASSERT_EQ(rows.size(), 9u);

    auto node_at = [&](size_t column, size_t row) {
        for (const Patch &p : cubes)
            if (std::fabs(p.extent.cx() - columns[column]) < 3 &&
                std::fabs(p.extent.cy() - rows[row]) < 3)
                return p.colour();
        return Hue::black;
    };
    // Screen rows are counted from the top: y = 8 is row 0 on screen.
    EXPECT_EQ(node_at(0, 8), Hue::red);   // node 0: z 0, y 0
    EXPECT_EQ(node_at(0, 0), Hue::red);   // node 8: z 0, y 8
    EXPECT_EQ(node_at(6, 8), Hue::red);   // node 54
    EXPECT_EQ(node_at(6, 0), Hue::red);   // node 62
    EXPECT_EQ(node_at(0, 7), Hue::green); // node 1: z 0, y 1
    EXPECT_EQ(node_at(5, 0), Hue::blue);  // node 53: z 20, y 8
    int white = 0;
    for (const Patch &p : cubes)
        white += p.colour() == Hue::white;
    EXPECT_EQ(white, 63 - 6);
}

TEST_F(View3d, CubeSizeFollowsTensionUpToPointFour)
{
    // Face-on plane of 7 x 9: the front of a cube is 2e wide at distance
    // 100 - e from the eye, magnified by the projection scale s and by half
    // the view's 300 pixels. s = 95 / (extent x 0.6), the extent being the
    // larger of the 8 across and 6 x tension along.
    instrument.type = TYPE_PLANE;
    instrument.actuation_node = 1;
    instrument.sampling_node = 53;
    for (double tension : {0.5, 2.0}) {
        instrument.tension = tension;
        show_instrument();
        const std::vector<Patch> cubes = patches(shown());
        ASSERT_EQ(cubes.size(), 63u) << "tension " << tension;
        const double e = std::min(0.4 * tension, 0.4);
        const double s = 95.0 / (std::max(8.0, 6.0 * tension) * 0.6);
        const double front_px = 2 * e * s / (100.0 - e) * 150.0;
        std::vector<int> widths;
        for (const Patch &p : cubes)
            widths.push_back(p.extent.width());
        std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
        // Rasterisation rounds each edge to a pixel centre.
        EXPECT_NEAR(widths[widths.size() / 2], front_px, 1.5) << "tension " << tension;
    }
}

TEST_F(View3d, DragWithFirstButtonTurnsAQuarterDegreePerPixel)
{
    press(1, 100, 100);
    EXPECT_EQ(drag_x, 100.0);
    EXPECT_EQ(drag_y, 100.0);
    move(GDK_BUTTON1_MASK, 60, 100);
    EXPECT_EQ(view_rot_y, 100.0f);
    EXPECT_EQ(view_rot_x, 0.0f);
    EXPECT_EQ(drag_x, 60.0);
    move(GDK_BUTTON1_MASK, 60, 140);
    EXPECT_EQ(view_rot_x, 350.0f);
    EXPECT_EQ(view_rot_y, 100.0f);
    EXPECT_EQ(drag_y, 140.0);
    release(1, 60, 140);
    EXPECT_EQ(drag_x, 60.0);
    EXPECT_EQ(drag_y, 140.0);

    // A further 320 pixels left makes 180 degrees about y: the tube is seen
    // end on, a small ring instead of a long bar.
    view_rot_x = 0.0f;
    press(1, 320, 150);
    move(GDK_BUTTON1_MASK, 0, 150);
    EXPECT_EQ(view_rot_y, 180.0f);
    settle();
    const Extent end_on = extent_of(shown(), Hue::black);
    EXPECT_LT(end_on.width(), 40);
    EXPECT_NEAR(end_on.width(), end_on.height(), 4);
}

TEST_F(View3d, VerticalDragSpinsTheTubeAboutItsOwnAxis)
{
    // The x rotation comes first in the eye's frame: at the start angles the
    // tube already lies along the screen's x axis, so 360 pixels up (90
    // degrees) turn it about itself and it stays across the view.
    press(1, 150, 360);
    move(GDK_BUTTON1_MASK, 150, 0);
    EXPECT_EQ(view_rot_x, 90.0f);
    settle();
    const Image img = shown();
    const Extent all = extent_of(img, Hue::black);
    EXPECT_GT(all.width(), 200);
    EXPECT_LT(all.height(), 20);
    // Still with a red ring at each end.
    const int middle = (all.left + all.right) / 2;
    EXPECT_GT(extent_of(img, Hue::red, 0, middle - 100).count, 0);
    EXPECT_GT(extent_of(img, Hue::red, middle + 100).count, 0);
}

TEST_F(View3d, OtherButtonsOnlyRememberThePosition)
{
    const Image before = shown();
    for (guint button : {2u, 3u}) {
        press(button, 30 * button, 40 * button);
        EXPECT_EQ(drag_x, 30.0 * button);
        EXPECT_EQ(drag_y, 40.0 * button);
        move(GDK_BUTTON1_MASK << (button - 1), 0, 0);
        release(button, 0, 0);
        EXPECT_EQ(view_rot_x, 0.0f);
        EXPECT_EQ(view_rot_y, 90.0f);
        EXPECT_EQ(drag_x, 30.0 * button);
    }
    // A hint carries no position or buttons of its own: the pointer is
    // asked, and no button is down on the server.
    move(GDK_BUTTON1_MASK, 0, 0, true);
    EXPECT_EQ(view_rot_y, 90.0f);
    settle();
    EXPECT_EQ(shown().rgb, before.rgb);
}

TEST_F(View3d, OnlyTheLastExposeOfASeriesDraws)
{
    show_instrument();
    const Image tube = shown();
    instrument.type = TYPE_PLANE;
    instrument.actuation_node = 1;
    instrument.sampling_node = 53;
    render_object(); // queues a redraw; the events below come first

    GdkEventExpose expose{};
    expose.type = GDK_EXPOSE;
    expose.window = view_area->window;
    expose.area = {0, 0, view_area->allocation.width, view_area->allocation.height};
    expose.count = 1;
    on_view_expose(view_area, &expose, nullptr);
    EXPECT_EQ(shown().rgb, tube.rgb);
    expose.count = 0;
    on_view_expose(view_area, &expose, nullptr);
    EXPECT_EQ(patches(shown()).size(), 63u);
}

TEST_F(View3d, WithoutPreviewObjectOnlyClears)
{
    cw_metal_obj_free(preview_object);
    preview_object = nullptr;
    gtk_widget_queue_draw(view_area);
    settle();
    EXPECT_EQ(extent_of(shown(), Hue::black).count, 0);
    // An object without nodes likewise.
    preview_object = cw_metal_obj_new(0);
    gtk_widget_queue_draw(view_area);
    settle();
    EXPECT_EQ(extent_of(shown(), Hue::black).count, 0);
}

TEST_F(View3d, ViewWidgetIsTheFocusableGlArea)
{
    EXPECT_TRUE(GTK_IS_DRAWING_AREA(view_area));
    EXPECT_TRUE(gtk_widget_is_gl_capable(view_area));
    EXPECT_TRUE(gtk_widget_get_can_focus(view_area));
    EXPECT_FALSE(gtk_widget_get_can_default(view_area));
    gint w, h;
    gtk_widget_get_size_request(view_area, &w, &h);
    EXPECT_EQ(w, 300);
    EXPECT_EQ(h, 300);
    const gint mask = gtk_widget_get_events(view_area);
    EXPECT_EQ(mask, GDK_EXPOSURE_MASK | GDK_POINTER_MOTION_HINT_MASK | GDK_BUTTON1_MOTION_MASK |
                        GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK);
    EXPECT_TRUE(gdk_gl_drawable_is_double_buffered(gtk_widget_get_gl_drawable(view_area)));
}

} // namespace
