// The file dialogs' run procedure through real choosers: extension
// completion, the overwrite query, the remembered folder and how an action's
// failure is shown.
#include <cerrno>
#include <filesystem>

#include "file_dialogs.h"
#include "render.h"
#include "window_test_support.h"

namespace {

std::vector<std::string> action_files;
int action_result = 0;
std::string action_message;

int recording_action(Instrument *ins, const char *file_name, std::string &message)
{
    EXPECT_EQ(ins, &instrument);
    action_files.push_back(file_name);
    if (action_result != 0)
        message = action_message;
    return action_result;
}

// A close request as a window manager sends it (and as Escape ends in).
void request_close(GtkWidget *dialog)
{
    GdkEvent *event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(dialog->window));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

// Step: Escape on the visible dialog of the given kind, then a window
// manager's close.
DialogStep close_request_step(bool (*kind)(GtkWindow *))
{
    return [kind](GtkWindow *w) {
        if (!kind(w))
            return false;
        seen_dialogs.push_back({"closed", gtk_window_get_title(w), "", GTK_WIDGET(w)});
        g_signal_emit_by_name(w, "close"); // Escape's key binding
        if (gtk_widget_get_visible(GTK_WIDGET(w)))
            request_close(GTK_WIDGET(w));
        return true;
    };
}

bool is_chooser(GtkWindow *w)
{
    return GTK_IS_FILE_CHOOSER_DIALOG(w);
}

bool is_message(GtkWindow *w)
{
    return GTK_IS_MESSAGE_DIALOG(w);
}

// Watches a dialog that must never be destroyed.
struct Survivor {
    GtkWidget *widget;
    explicit Survivor(GtkWidget *w) : widget(w)
    {
        g_object_add_weak_pointer(G_OBJECT(widget), reinterpret_cast<gpointer *>(&widget));
    }
    ~Survivor()
    {
        if (widget)
            g_object_remove_weak_pointer(G_OBJECT(widget), reinterpret_cast<gpointer *>(&widget));
    }
    Survivor(const Survivor &) = delete;
    Survivor &operator=(const Survivor &) = delete;
};

// The chooser changes folders in the background: asked until it has one.
std::string current_folder(FileDialog *fd)
{
    gchar *folder = nullptr;
    for (int i = 0; i < 200 && !folder; ++i) {
        pump_events();
        folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(fd->dialog));
        if (!folder)
            g_usleep(5000);
    }
    std::string result = folder ? folder : "(none)";
    g_free(folder);
    return result;
}

class FileDialogs : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        if (IsSkipped())
            return;
        action_files.clear();
        action_result = 0;
        folder_index = conf_subscribe_string("paths/", "test_path", nullptr);
        save = gui_create_file_dialog("Save test", folder_index, "wav", "*.wav", "Test files",
                                      GTK_FILE_CHOOSER_ACTION_SAVE, recording_action);
        open = gui_create_file_dialog("Open test", folder_index, "cwrp", "*.cwrp", "Test files",
                                      GTK_FILE_CHOOSER_ACTION_OPEN, recording_action);
        set_behaviour(true, false);
    }

    static void set_behaviour(bool auto_ext, bool overwrite_warning)
    {
        conf_set_bool(conf_auto_ext, auto_ext);
        conf_set_bool(conf_overwrite_warning, overwrite_warning);
    }

    void run(FileDialog *fd, std::vector<DialogStep> steps)
    {
        seen_dialogs.clear();
        expect_dialogs(std::move(steps));
        gui_run_file_dialog(nullptr, fd);
        EXPECT_TRUE(dialogs_done());
        EXPECT_FALSE(gtk_widget_get_visible(fd->dialog));
    }

    std::string saved_as(const std::string &chosen)
    {
        action_files.clear();
        run(save, {choose_file_step(dir.file(chosen))});
        return action_files.size() == 1 ? action_files[0].substr(dir.path().size() + 1)
                                        : "(no action)";
    }

    int32_t folder_index = 0;
    // Dialog records live as long as the program, as the window's do.
    static inline FileDialog *save = nullptr;
    static inline FileDialog *open = nullptr;
};

} // namespace

TEST_F(FileDialogs, SavesCompleteAMissingExtensionOnlyWhenAsked)
{
    EXPECT_EQ(saved_as("take1"), "take1.wav");
    EXPECT_EQ(saved_as("take1.wav"), "take1.wav");
    EXPECT_EQ(saved_as("take1.mp3"), "take1.mp3");
    EXPECT_EQ(saved_as(".hidden"), ".hidden.wav");
    EXPECT_EQ(saved_as("a"), "a.wav");
    EXPECT_EQ(saved_as("take1."), "take1.");
    set_behaviour(false, false);
    EXPECT_EQ(saved_as("take1"), "take1");
}

TEST_F(FileDialogs, OverwriteQueryCancelBringsTheChooserBackAndOkRunsTheAction)
{
    set_behaviour(true, true);
    const std::string existing = dir.file("take1.wav");
    write_file(existing, "old");
    // The chooser's name entry would complete "take1" to the one file that
    // starts so; with two, the name stays as typed.
    write_file(dir.file("take1_other"), "");

    // Chosen as "take1": asked about the completed name. Cancel, then the
    // chooser is back; the user gives up there.
    run(save, {choose_file_step(dir.file("take1")), answer_message_step(GTK_RESPONSE_CANCEL),
               cancel_chooser_step()});
    ASSERT_EQ(seen_dialogs.size(), 3u);
    EXPECT_EQ(seen_dialogs[1].title, "File overwriting query");
    EXPECT_EQ(seen_dialogs[1].text, "Warning! File exists!\nWould you like to overwrite it?");
    EXPECT_EQ(seen_dialogs[2].widget, save->dialog);
    EXPECT_TRUE(action_files.empty());
    EXPECT_EQ(read_file(existing), "old");
    EXPECT_FALSE(conf_get_string(folder_index)); // nothing remembered on a cancel

    run(save, {choose_file_step(dir.file("take1")), answer_message_step(GTK_RESPONSE_OK)});
    EXPECT_EQ(action_files, std::vector<std::string>{existing});

    // With the warning off nobody asks.
    set_behaviour(true, false);
    run(save, {choose_file_step(existing)});
    EXPECT_EQ(seen_dialogs.size(), 1u);
    EXPECT_EQ(action_files.size(), 2u);
}

TEST_F(FileDialogs, LoadNeverCompletesOrAsks)
{
    set_behaviour(true, true);
    const std::string preset = dir.file("bell");
    write_file(preset, "x");
    run(open, {choose_file_step(preset)});
    EXPECT_EQ(action_files, std::vector<std::string>{preset});
    EXPECT_EQ(seen_dialogs.size(), 1u);
}

TEST_F(FileDialogs, FolderIsRememberedEvenWhenTheActionFails)
{
    std::filesystem::create_directory(dir.file("snd"));
    action_result = -1;
    action_message = "first <failure> & more";
    run(save, {choose_file_step(dir.file("snd/take1.wav")), answer_message_step(GTK_RESPONSE_CLOSE)});
    EXPECT_EQ(conf_get_string(folder_index), dir.file("snd") + "/");

    action_message = "second failure";
    write_file(dir.file("snd/take1.wav"), "x");
    run(open, {choose_file_step(dir.file("snd/take1.wav")), answer_message_step(GTK_RESPONSE_CLOSE)});

    // Both -1 results in the one dialog of the file dialogs, titled "Error!".
    ASSERT_EQ(action_files.size(), 2u);
    ASSERT_EQ(seen_dialogs.size(), 2u);
    EXPECT_EQ(seen_dialogs[1].title, "Error!");
    EXPECT_EQ(seen_dialogs[1].text, "second failure");
}

TEST_F(FileDialogs, TwoFailuresShareOneDialogAndSystemErrorsShowTheirText)
{
    action_result = -1;
    action_message = "Incorrect or incomplete presets file. Some values may be missing.";
    std::vector<SeenDialog> errors;
    for (int i = 0; i < 2; ++i) {
        run(save, {choose_file_step(dir.file("x.wav")), answer_message_step(GTK_RESPONSE_CLOSE)});
        ASSERT_EQ(seen_dialogs.size(), 2u);
        errors.push_back(seen_dialogs[1]);
    }
    EXPECT_EQ(errors[0].widget, errors[1].widget);
    EXPECT_EQ(errors[0].title, "Error!");
    EXPECT_EQ(errors[1].text, action_message);

    action_result = EACCES;
    action_message = "Could not write file " + dir.file("x.wav");
    run(save, {choose_file_step(dir.file("x.wav")), answer_message_step(GTK_RESPONSE_CLOSE)});
    ASSERT_EQ(seen_dialogs.size(), 2u);
    EXPECT_EQ(seen_dialogs[1].title, "Error!");
    EXPECT_EQ(seen_dialogs[1].text, action_message + ": " + g_strerror(EACCES));
    EXPECT_NE(seen_dialogs[1].widget, errors[0].widget);
}

TEST_F(FileDialogs, SaveWavDialogWritesTheRenderedSoundAtTheExportRate)
{
    set_behaviour(true, true);
    run(wav_dialog, {choose_file_step(dir.file("take1"))});
    const std::string wav = read_file(dir.file("take1.wav"));
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(last_render_rate, 48000);
    EXPECT_EQ(sample_count, 48000u);
}

TEST_F(FileDialogs, CloseRequestsWhileTheActionRunsLeaveTheChooserWholeAndUsable)
{
    const Survivor chooser(save->dialog);
    static FileDialog *running = nullptr;
    running = save;
    // The action pumps events as a render does; Escape and a window
    // manager's close reach the chooser, which stays on screen meanwhile.
    action_result = 0;
    save->callback = [](Instrument *, const char *file_name, std::string &) {
        action_files.push_back(file_name);
        EXPECT_TRUE(gtk_widget_get_visible(running->dialog));
        g_signal_emit_by_name(running->dialog, "close");
        request_close(running->dialog);
        pump_events();
        EXPECT_TRUE(gtk_widget_get_visible(running->dialog));
        return 0;
    };
    run(save, {choose_file_step(dir.file("a.wav"))});
    ASSERT_NE(chooser.widget, nullptr) << "the chooser was destroyed";

    // It runs again as before.
    save->callback = recording_action;
    run(save, {choose_file_step(dir.file("b.wav"))});
    ASSERT_NE(chooser.widget, nullptr);
    EXPECT_EQ(action_files, (std::vector<std::string>{dir.file("a.wav"), dir.file("b.wav")}));
}

TEST_F(FileDialogs, CloseRequestsWhileRunningCancelAndNoKeptDialogIsDestroyed)
{
    set_behaviour(true, true);
    const std::string existing = dir.file("take1.wav");
    write_file(existing, "old");

    // The chooser closed: nothing happens, nothing is remembered.
    run(save, {close_request_step(is_chooser)});
    EXPECT_TRUE(action_files.empty());
    EXPECT_FALSE(conf_get_string(folder_index));

    // The overwrite query closed: as Cancel, the chooser comes back.
    run(save, {choose_file_step(existing), close_request_step(is_message), cancel_chooser_step()});
    ASSERT_EQ(seen_dialogs.size(), 3u);
    const Survivor query(seen_dialogs[1].widget);
    EXPECT_TRUE(action_files.empty());
    EXPECT_EQ(read_file(existing), "old");

    // The error message closed: as Close; then both dialogs serve again.
    action_result = -1;
    action_message = "failed";
    run(save, {choose_file_step(dir.file("x.wav")), close_request_step(is_message)});
    ASSERT_EQ(seen_dialogs.size(), 2u);
    const Survivor message(seen_dialogs[1].widget);
    run(save, {choose_file_step(existing), answer_message_step(GTK_RESPONSE_OK),
               answer_message_step(GTK_RESPONSE_CLOSE)});
    EXPECT_NE(query.widget, nullptr);
    EXPECT_NE(message.widget, nullptr);
    EXPECT_EQ(seen_dialogs[1].widget, query.widget);
    EXPECT_EQ(seen_dialogs[2].widget, message.widget);
    EXPECT_EQ(action_files.size(), 2u);
}

TEST_F(FileDialogs, EmptyMissingOrVanishedFoldersOpenTheWorkingFolder)
{
    gchar *cwd_raw = g_get_current_dir();
    const std::string cwd = cwd_raw;
    g_free(cwd_raw);

    // A first run stores empty folders; the next start reads them back.
    conf_set_string(folder_index, std::string());
    FileDialog *fd = gui_create_file_dialog("Empty", folder_index, "wav", "*.wav", "Test files",
                                            GTK_FILE_CHOOSER_ACTION_SAVE, recording_action);
    EXPECT_EQ(current_folder(fd), cwd);

    conf_set_string(folder_index, dir.file("gone") + "/");
    fd = gui_create_file_dialog("Missing", folder_index, "wav", "*.wav", "Test files",
                                GTK_FILE_CHOOSER_ACTION_OPEN, recording_action);
    EXPECT_EQ(current_folder(fd), cwd);

    std::filesystem::create_directory(dir.file("snd"));
    conf_set_string(folder_index, dir.file("snd") + "/");
    fd = gui_create_file_dialog("Kept", folder_index, "wav", "*.wav", "Test files",
                                GTK_FILE_CHOOSER_ACTION_SAVE, recording_action);
    std::string shown;
    const DialogStep look_and_cancel = [&](GtkWindow *w) {
        if (!GTK_IS_FILE_CHOOSER_DIALOG(w))
            return false;
        shown = current_folder(fd);
        gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_CANCEL);
        return true;
    };
    run(fd, {look_and_cancel});
    EXPECT_EQ(shown, dir.file("snd"));

    // The folder goes away between two uses: the next run opens the working
    // folder.
    std::filesystem::remove(dir.file("snd"));
    run(fd, {look_and_cancel});
    EXPECT_EQ(shown, cwd);
}

namespace {

bool is_path_arrow(GtkWidget *w)
{
    GtkWidget *parent = w ? gtk_widget_get_parent(w) : nullptr;
    return GTK_IS_BUTTON(w) && !GTK_IS_TOGGLE_BUTTON(w) && parent &&
           std::string(G_OBJECT_TYPE_NAME(parent)) == "GtkPathBar";
}

void count_shown_path_arrows(GtkWidget *w, gpointer count)
{
    if (is_path_arrow(w) && gtk_widget_get_mapped(w) && gtk_widget_get_child_visible(w))
        ++*static_cast<int *>(count);
    if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), count_shown_path_arrows, count);
}

} // namespace

// A folder too deep for the bar of folder buttons shows its scroll arrows;
// Tab through the whole chooser never gives them the focus (pressed from the
// keyboard while the bar refills, the toolkit's arrows end the program).
TEST_F(FileDialogs, TabNeverFocusesThePathBarsScrollArrows)
{
    std::string deep = dir.path();
    for (int i = 0; i < 12; ++i)
        deep += "/a-folder-with-a-long-name-" + std::to_string(i);
    std::filesystem::create_directories(deep);
    conf_set_string(folder_index, deep + "/");
    FileDialog *fd = gui_create_file_dialog("Deep", folder_index, "cwrp", "*.cwrp",
                                            "Test files", GTK_FILE_CHOOSER_ACTION_OPEN,
                                            recording_action);
    int arrows = 0;
    int arrow_focused = 0;
    const DialogStep tab_around = [&](GtkWindow *w) {
        if (!GTK_IS_FILE_CHOOSER_DIALOG(w))
            return false;
        for (int i = 0; i < 50; ++i) {
            pump_events();
            g_usleep(2000);
        }
        count_shown_path_arrows(GTK_WIDGET(w), &arrows);
        for (int i = 0; i < 60; ++i) {
            if (!gtk_widget_child_focus(GTK_WIDGET(w), GTK_DIR_TAB_FORWARD))
                gtk_widget_child_focus(GTK_WIDGET(w), GTK_DIR_TAB_FORWARD);
            arrow_focused += is_path_arrow(gtk_window_get_focus(w)) ? 1 : 0;
        }
        gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_CANCEL);
        return true;
    };
    run(fd, {tab_around});
    EXPECT_GT(arrows, 0) << "the folder is not deep enough to show the arrows";
    EXPECT_EQ(arrow_focused, 0);
}


namespace {

void expand_browsing(GtkWidget *w, gpointer)
{
    if (GTK_IS_EXPANDER(w))
        gtk_expander_set_expanded(GTK_EXPANDER(w), TRUE);
    if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), expand_browsing, nullptr);
}

void count_shown_create_folder(GtkWidget *w, gpointer count)
{
    const gchar *label = GTK_IS_BUTTON(w) ? gtk_button_get_label(GTK_BUTTON(w)) : nullptr;
    if (label && std::string(label) == g_dgettext("gtk20", "Create Fo_lder") &&
        gtk_widget_get_visible(w))
        ++*static_cast<int *>(count);
    if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), count_shown_create_folder, count);
}

} // namespace

// The toolkit's "Create Folder" breaks its chooser when the folder changes
// while the new name is typed: the save choosers do not offer it, also when
// their browsing part is opened.
TEST_F(FileDialogs, SaveChoosersOfferNoCreateFolder)
{
    int shown = -1;
    const DialogStep look = [&](GtkWindow *w) {
        if (!GTK_IS_FILE_CHOOSER_DIALOG(w))
            return false;
        expand_browsing(GTK_WIDGET(w), nullptr);
        pump_events();
        shown = 0;
        count_shown_create_folder(GTK_WIDGET(w), &shown);
        gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_CANCEL);
        return true;
    };
    run(save, {look});
    EXPECT_EQ(shown, 0);
}
