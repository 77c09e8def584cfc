// The program setup dialog through its widgets: what each opening shows,
// what OK writes and reopens, and that Cancel changes nothing.
#include <algorithm>

#include "setup_dialog.h"
#include "window_test_support.h"

namespace {

// The dialog's widgets, found by type in packing order.
struct SetupWidgets {
    GtkComboBox *driver = nullptr;
    GtkComboBox *playback = nullptr;
    GtkComboBox *export_rate = nullptr;
    GtkToggleButton *auto_ext = nullptr;
    GtkToggleButton *overwrite = nullptr;
};

void collect(GtkWidget *w, std::vector<GtkWidget *> &combos, std::vector<GtkWidget *> &checks)
{
    if (GTK_IS_COMBO_BOX(w))
        combos.push_back(w);
    else if (GTK_IS_CHECK_BUTTON(w))
        checks.push_back(w);
    else if (GTK_IS_CONTAINER(w)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList *l = children; l; l = l->next)
            collect(GTK_WIDGET(l->data), combos, checks);
        g_list_free(children);
    }
}

SetupWidgets widgets_of(GtkWindow *dialog)
{
    std::vector<GtkWidget *> combos, checks;
    collect(GTK_DIALOG(dialog)->vbox, combos, checks);
    EXPECT_EQ(combos.size(), 3u);
    EXPECT_EQ(checks.size(), 2u);
    SetupWidgets s;
    if (combos.size() == 3 && checks.size() == 2) {
        s = {GTK_COMBO_BOX(combos[0]), GTK_COMBO_BOX(combos[1]), GTK_COMBO_BOX(combos[2]),
             GTK_TOGGLE_BUTTON(checks[0]), GTK_TOGGLE_BUTTON(checks[1])};
    }
    return s;
}

std::string active_text(GtkComboBox *combo)
{
    GtkTreeIter iter;
    if (!gtk_combo_box_get_active_iter(combo, &iter))
        return "(none)";
    GtkTreeModel *model = gtk_combo_box_get_model(combo);
    if (gtk_tree_model_get_column_type(model, 0) == G_TYPE_UINT) {
        guint value = 0;
        gtk_tree_model_get(model, &iter, 0, &value, -1);
        return std::to_string(value);
    }
    gchar *text = nullptr;
    gtk_tree_model_get(model, &iter, 0, &text, -1);
    std::string s = text ? text : "";
    g_free(text);
    return s;
}

struct Shown {
    std::string title, driver, playback, export_rate;
    bool auto_ext = false, overwrite = false;
};

// Opens the dialog, records what it shows, lets `change` act, answers.
Shown run_setup(std::function<void(const SetupWidgets &)> change, gint response)
{
    Shown shown;
    expect_dialogs({dialog_step(GTK_TYPE_DIALOG,
                                [&](GtkWindow *w) {
                                    const SetupWidgets s = widgets_of(w);
                                    if (!s.driver)
                                        return;
                                    shown = {gtk_window_get_title(w), active_text(s.driver),
                                             active_text(s.playback), active_text(s.export_rate),
                                             bool(gtk_toggle_button_get_active(s.auto_ext)),
                                             bool(gtk_toggle_button_get_active(s.overwrite))};
                                    if (change)
                                        change(s);
                                },
                                response)});
    on_program_setup(nullptr, nullptr);
    EXPECT_TRUE(dialogs_done());
    return shown;
}

} // namespace

using SetupDialog = WindowTest;

TEST_F(SetupDialog, FirstOpeningShowsTheCurrentValues)
{
    const Shown shown = run_setup(nullptr, GTK_RESPONSE_CANCEL);
    EXPECT_EQ(shown.title, "Clangwright configuration");
    EXPECT_EQ(shown.driver, "Test0");
    EXPECT_EQ(shown.playback, "48000");
    EXPECT_EQ(shown.export_rate, "48000");
    EXPECT_TRUE(shown.auto_ext);
    EXPECT_TRUE(shown.overwrite);
}

TEST_F(SetupDialog, OkWritesTheSettingsAndReopensTheDriverAtTheNewRate)
{
    test_log[0] = TestDriverLog{};
    run_setup(
        [](const SetupWidgets &s) {
            gtk_combo_box_set_active(s.playback, 2); // 96000
            gtk_combo_box_set_active(s.export_rate, 0); // 44100
            gtk_toggle_button_set_active(s.auto_ext, FALSE);
        },
        GTK_RESPONSE_OK);
    EXPECT_EQ(conf_get_int(conf_rate), 96000);
    EXPECT_EQ(playback_rate, 96000);
    EXPECT_EQ(conf_get_int(conf_export_rate), 44100);
    EXPECT_EQ(export_rate, 44100);
    EXPECT_EQ(conf_get_bool(conf_auto_ext), 0);
    EXPECT_EQ(conf_get_bool(conf_overwrite_warning), 1);
    const std::vector<std::string> &calls = test_log[0].calls;
    const auto close = std::find(calls.begin(), calls.end(), "close");
    EXPECT_LT(close, std::find(calls.begin(), calls.end(), "open")); // closed, then opened
    EXPECT_EQ(test_log[0].open_rates, std::vector<int32_t>{96000});
    EXPECT_EQ(test_log[0].setup_done_args, std::vector<int32_t>{1});
    EXPECT_EQ(test_log[1].setup_done_args, std::vector<int32_t>{0});

    // The next opening shows what was stored.
    const Shown shown = run_setup(nullptr, GTK_RESPONSE_CANCEL);
    EXPECT_EQ(shown.playback, "96000");
    EXPECT_EQ(shown.export_rate, "44100");
    EXPECT_FALSE(shown.auto_ext);
}

TEST_F(SetupDialog, OkWithoutChangesStillReopensTheDriver)
{
    test_log[0] = TestDriverLog{};
    run_setup(nullptr, GTK_RESPONSE_OK);
    EXPECT_EQ(test_log[0].count("close"), 1);
    EXPECT_EQ(test_log[0].open_rates, std::vector<int32_t>{48000});
    EXPECT_EQ(conf_get_int(conf_rate), 48000);
}

TEST_F(SetupDialog, SwitchingTheDriverOpensTheChosenOne)
{
    run_setup([](const SetupWidgets &s) { gtk_combo_box_set_active(s.driver, 1); },
              GTK_RESPONSE_OK);
    EXPECT_EQ(driver, &test_driver_full[1]);
    EXPECT_EQ(test_log[1].open_rates, std::vector<int32_t>{48000});
    EXPECT_EQ(test_log[1].setup_done_args, std::vector<int32_t>{1});
    EXPECT_EQ(test_log[0].setup_done_args, std::vector<int32_t>{0});
    EXPECT_EQ(run_setup(nullptr, GTK_RESPONSE_CANCEL).driver, "Test1");
}

TEST_F(SetupDialog, CancelChangesNothing)
{
    test_log[0] = TestDriverLog{};
    run_setup(
        [](const SetupWidgets &s) {
            gtk_combo_box_set_active(s.driver, 1);
            gtk_combo_box_set_active(s.playback, 0);
            gtk_combo_box_set_active(s.export_rate, 2);
            gtk_toggle_button_set_active(s.auto_ext, FALSE);
            gtk_toggle_button_set_active(s.overwrite, FALSE);
        },
        GTK_RESPONSE_CANCEL);
    EXPECT_EQ(conf_get_int(conf_rate), 48000);
    EXPECT_EQ(conf_get_int(conf_export_rate), 48000);
    EXPECT_EQ(conf_get_bool(conf_auto_ext), 1);
    EXPECT_EQ(conf_get_bool(conf_overwrite_warning), 1);
    EXPECT_EQ(test_log[0].count("close"), 0);
    EXPECT_EQ(test_log[0].count("open"), 0);
    EXPECT_EQ(test_log[0].setup_done_args, std::vector<int32_t>{0});
    EXPECT_EQ(test_log[1].setup_done_args, std::vector<int32_t>{0});
    EXPECT_EQ(driver, &test_driver_full[0]);

    const Shown shown = run_setup(nullptr, GTK_RESPONSE_CANCEL);
    EXPECT_EQ(shown.driver, "Test0");
    EXPECT_EQ(shown.playback, "48000");
    EXPECT_EQ(shown.export_rate, "48000");
    EXPECT_TRUE(shown.auto_ext);
    EXPECT_TRUE(shown.overwrite);
}

class SetupDialogUnlistedRate : public WindowTest {
protected:
    void SetUp() override
    {
        config_document = "<?xml version=\"1.0\"?>\n<cwrconfig version=\"0.1.0\"><settings>"
                          "<int name=\"rate\" value=\"22050\"/>"
                          "<int name=\"export_rate\" value=\"0\"/></settings></cwrconfig>\n";
        WindowTest::SetUp();
    }
};

TEST_F(SetupDialogUnlistedRate, OkNeverStoresOrOpensARateOfZero)
{
    test_log[0] = TestDriverLog{};
    const Shown shown = run_setup(nullptr, GTK_RESPONSE_OK);
    EXPECT_EQ(shown.playback, "(none)");
    EXPECT_EQ(shown.export_rate, "(none)");
    // The unlisted playback rate stays; an export rate of 0 gives way to 48000.
    EXPECT_EQ(conf_get_int(conf_rate), 22050);
    EXPECT_EQ(test_log[0].open_rates, std::vector<int32_t>{22050});
    EXPECT_EQ(conf_get_int(conf_export_rate), 48000);
}
