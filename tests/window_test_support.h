// The real main window in the test process: a scratch configuration file,
// the recording test driver instead of a sound server, and a script of
// answers for the modal dialogs the window opens.
//
// CTest runs every test in a process of its own, so each test gets a fresh
// window built exactly as the program builds it.
#pragma once

#include <gtk/gtk.h>
#include <gtk/gtkgl.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "config_registry.h"
#include "main_window.h"
#include "settings_test_support.h"
#include "sound_driver.h"
#include "test_driver.h"
#include "window_state.h"

//! The toolbar's items in order.
std::vector<GtkToolItem *> toolbar_items();
GtkWidget *toolbar_widget();
//! The inner button of a tool button, for gtk_test_widget_click.
GtkWidget *inner_button(GtkToolItem *item);
//! Clicks a tool button as a person would (its inner button).
void click(GtkToolItem *item);
//! Sends a key press and release to a child of the main window.
void send_key(guint keyval, GdkModifierType modifiers);
//! Runs every pending event.
void pump_events();

//! What a script step saw of a dialog it answered.
struct SeenDialog {
    std::string kind; // "chooser", "message", "setup", "about", "query"
    std::string title;
    std::string text; // message dialogs: the shown text
    GtkWidget *widget;
};

//! One step: acts on the first visible dialog it recognises and returns
//! true, or returns false to be asked again on the next poll.
using DialogStep = std::function<bool(GtkWindow *dialog)>;

//! Queues steps that a timeout runs against the visible dialogs, in order.
void expect_dialogs(std::vector<DialogStep> steps);
//! True when every queued step has run.
bool dialogs_done();
//! The dialogs the steps answered, in order.
extern std::vector<SeenDialog> seen_dialogs;

//! Step: the visible file chooser takes `path` and is confirmed with OK.
DialogStep choose_file_step(const std::string &path);
//! Step: the visible file chooser is cancelled.
DialogStep cancel_chooser_step();
//! Step: the visible message dialog (query or error) is answered.
DialogStep answer_message_step(gint response);
//! Step: runs `act` on the visible dialog of type `type` and answers it.
DialogStep dialog_step(GType type, std::function<void(GtkWindow *)> act, gint response);

//! The fixture: builds the window in SetUp.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    //! Writes `document` to the configuration file before the window is
    //! built; call from a test's own SetUp override before WindowTest::SetUp.
    std::string config_document;
    TempDir dir;
};
