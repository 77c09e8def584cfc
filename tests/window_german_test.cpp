// The window in German: the catalogue compiled in the build tree, looked up
// through the text domain as the program looks it up.
#include <libintl.h>

#include <clocale>

#include "actions.h"
#include "file_dialogs.h"
#include "intl.h"
#include "keyboard.h"
#include "sound_panel.h"
#include "window_test_support.h"

namespace {

class GermanWindow : public WindowTest {
protected:
    void SetUp() override
    {
        g_setenv("LANGUAGE", "de", TRUE);
        g_setenv("LC_ALL", "de_DE.UTF-8", TRUE);
        if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
            GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed";
        bindtextdomain(CW_TEXT_DOMAIN, CW_BUILD_LOCALEDIR);
        bind_textdomain_codeset(CW_TEXT_DOMAIN, "UTF-8");
        WindowTest::SetUp();
    }
};

std::string tab_label(int page)
{
    GtkWidget *child = gtk_notebook_get_nth_page(GTK_NOTEBOOK(shape_notebook), page);
    return gtk_notebook_get_tab_label_text(GTK_NOTEBOOK(shape_notebook), child);
}

// The texts of the labels in column 0 of the parameter table, top to bottom.
std::vector<std::string> parameter_labels()
{
    GtkWidget *table = gtk_widget_get_parent(tension_scale);
    std::vector<std::string> texts(7);
    GList *children = gtk_container_get_children(GTK_CONTAINER(table));
    for (GList *l = children; l; l = l->next) {
        guint top = 0, left = 0;
        gtk_container_child_get(GTK_CONTAINER(table), GTK_WIDGET(l->data), "top-attach", &top,
                                "left-attach", &left, nullptr);
        if (left == 0 && GTK_IS_LABEL(l->data))
            texts[top] = gtk_label_get_text(GTK_LABEL(l->data));
    }
    g_list_free(children);
    return texts;
}

std::string rendering_text;
void note_progress_text(void *user, float fraction)
{
    if (rendering_text.empty())
        rendering_text = gtk_progress_bar_get_text(GTK_PROGRESS_BAR(progress_bar));
    on_render_progress(user, fraction);
}

} // namespace

TEST_F(GermanWindow, TabsLabelsStatusAndChooserTitlesAreGerman)
{
    EXPECT_EQ(tab_label(0), "Rohr");
    EXPECT_EQ(tab_label(1), "Stab");
    EXPECT_EQ(tab_label(2), "Platte");
    const std::vector<std::string> labels = parameter_labels();
    EXPECT_EQ(labels[0], "Federspannung");
    EXPECT_EQ(labels[1], "Geschwindigkeit");
    EXPECT_EQ(labels[2], "Dämpfungszeit");
    EXPECT_STREQ(gtk_progress_bar_get_text(GTK_PROGRESS_BAR(progress_bar)), "Bereit...");
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(wav_dialog->dialog)), ".WAV-Datei speichern");
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(save_presets_dialog->dialog)),
                 "Voreinstellungen in Datei speichern");
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(load_presets_dialog->dialog)),
                 "Voreinstellungen aus Datei laden");

    instrument.progress = note_progress_text;
    render_if_needed(playback_rate);
    EXPECT_EQ(rendering_text, "Berechnung läuft...");
    EXPECT_STREQ(gtk_progress_bar_get_text(GTK_PROGRESS_BAR(progress_bar)), "Bereit...");
}

TEST_F(GermanWindow, SoundFrameAndKeyboardAreGermanAndTheWindowStillFitsA1366By768Screen)
{
    GtkWidget *frame = gtk_widget_get_parent(gtk_widget_get_parent(sound_waveform_area));
    GList *title = gtk_container_get_children(
        GTK_CONTAINER(gtk_frame_get_label_widget(GTK_FRAME(frame))));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(title->data)), "Klang");
    g_list_free(title);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(sound_line_label)), "Kein Klang berechnet");

    render_if_needed(playback_rate);
    const gint64 deadline = g_get_monotonic_time() + 60 * G_USEC_PER_SEC;
    while (!sound_panel_analysis() && g_get_monotonic_time() < deadline)
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    ASSERT_NE(sound_panel_analysis(), nullptr);
    const std::string line = gtk_label_get_text(GTK_LABEL(sound_line_label));
    EXPECT_EQ(line.rfind("Tiefster ", 0), 0u) << line;
    EXPECT_NE(line.find(" · Stärkster "), std::string::npos) << line;
    EXPECT_NE(line.find(" · Spitze "), std::string::npos) << line;

    // The keyboard beside the Status frame, its texts in German.
    GtkWidget *keys = gtk_widget_get_parent(gtk_widget_get_parent(keyboard_area));
    EXPECT_STREQ(gtk_frame_get_label(GTK_FRAME(keys)), "Tastatur");
    gchar *tip = gtk_widget_get_tooltip_text(octave_down_button);
    EXPECT_STREQ(tip, "Tastatur eine Oktave tiefer");
    g_free(tip);
    GtkAllocation k{}, status{};
    gtk_widget_get_allocation(keys, &k);
    gtk_widget_get_allocation(gtk_widget_get_parent(gtk_widget_get_parent(progress_bar)), &status);
    EXPECT_GE(k.x, status.x + status.width);

    // German texts are longer; a title bar and a desktop panel take some 70
    // pixels of the height.
    GtkRequisition size{};
    gtk_widget_size_request(main_window, &size);
    EXPECT_LE(size.width, 1366);
    EXPECT_LE(size.height, 768 - 70);
}
