// The 3D view on an X display without OpenGL: this program starts its own
// Xvfb with the GLX extension switched off (the display number chosen by the
// server itself) and checks that the view falls back to a label.
#include <gtk/gtk.h>
#include <gtk/gtkgl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "instrument.h"
#include "view3d.h"
#include "window_state.h"

namespace {

// A private X server without GLX, stopped at the end of the program.
class PlainXServer {
public:
    PlainXServer()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-extension", "GLX", "-screen",
                   "0", "640x480x24", "-nolisten", "tcp", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            return;
        }
        // The server writes its display number once it accepts clients.
        std::string number;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (!number.empty())
            display_ = ":" + number;
    }

    ~PlainXServer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    const std::string &display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

TEST(View3dWithoutOpenGl, LabelTakesThePlaceOfTheView)
{
    static PlainXServer server;
    if (server.display().empty())
        GTEST_SKIP() << "cannot start Xvfb";
    setenv("DISPLAY", server.display().c_str(), 1);
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    gtk_gl_init_check(nullptr, nullptr);

    instrument = instrument_defaults();
    GtkWidget *child = gui_create_view_widget();
    ASSERT_TRUE(GTK_IS_LABEL(child));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(child)), "<OpenGL is buggy!>");
    EXPECT_EQ(view_area, nullptr);
    EXPECT_TRUE(gtk_widget_get_visible(child));
    EXPECT_TRUE(gtk_widget_get_can_focus(child));
    EXPECT_FALSE(gtk_widget_get_can_default(child));

    // The window shows it, and no preview is built without a view.
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(window), child);
    gtk_widget_show(window);
    while (gtk_events_pending())
        gtk_main_iteration();
    EXPECT_TRUE(gtk_widget_get_mapped(child));
    EXPECT_EQ(preview_object, nullptr);
    gtk_widget_destroy(window);
}

} // namespace
