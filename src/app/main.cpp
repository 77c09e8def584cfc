// Clangwright: start-up, the main loop, and shutdown.
#include <gtk/gtk.h>
#include <gtk/gtkgl.h>
#include <libintl.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "config_registry.h"
#include "explore_panel.h"
#include "install_paths.h"
#include "intl.h"
#include "live_play.h"
#include "main_window.h"
#include "message_dialog.h"
#include "parameters.h"
#include "playback.h"
#include "sound_driver.h"
#include "window_state.h"

namespace {

void run_pending_events()
{
    while (gtk_events_pending())
        gtk_main_iteration();
}

// A preset named on the command line is loaded once the window shows, as
// the Load presets dialog would load it.
gboolean load_preset_from_command_line(gpointer file_name)
{
    std::string message;
    if (gui_set_values(&instrument, static_cast<const char *>(file_name), message) != 0) {
        static GtkWidget *load_message_dialog = nullptr;
        gui_message_dialog(&load_message_dialog, message.c_str(), GTK_MESSAGE_ERROR,
                           N_("Error!"));
    }
    return FALSE;
}

// The preset named on the command line: the first argument that is not an
// option. The toolkit has taken out the options it knows; any other argument
// that starts with "-" is an option nobody knows, reported and otherwise
// ignored, never a file name. After "--" every argument is a file name.
const char *preset_argument(int argc, char **argv)
{
    const char *preset = nullptr;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!options_end && std::strcmp(arg, "--") == 0) {
            options_end = true;
        } else if (!options_end && arg[0] == '-') {
            std::fprintf(stderr, _("clangwright: unknown option %s ignored\n"), arg);
        } else if (!preset) {
            preset = arg;
        }
    }
    return preset;
}

// The configuration file's name, or none when the user has no home
// directory to keep it in: then the program runs on defaults and saves
// nothing, rather than writing into whatever folder it was started from.
std::optional<std::string> configuration_file()
{
    const std::string home = conf_home_dir();
    if (!g_path_is_absolute(home.c_str()))
        return std::nullopt;
    return conf_prepare_user_dir(home);
}

} // namespace

int main(int argc, char **argv)
{
    bindtextdomain(CW_TEXT_DOMAIN, cw_install_path("share/locale").c_str());
    bind_textdomain_codeset(CW_TEXT_DOMAIN, "UTF-8");
    textdomain(CW_TEXT_DOMAIN);

    gtk_init(&argc, &argv);
    // Without GLX the view gives way to a label and the window still works;
    // the extension's warning about it would be the only line the program
    // ever printed.
    const guint quiet = g_log_set_handler("GdkGLExt", G_LOG_LEVEL_WARNING,
                                          [](const gchar *, GLogLevelFlags, const gchar *, gpointer) {},
                                          nullptr);
    gtk_gl_init_check(&argc, &argv);
    g_log_remove_handler("GdkGLExt", quiet);

    cwr_register_builtin_drivers();

    const std::optional<std::string> config_file = configuration_file();
    conf_open(config_file ? config_file->c_str() : "");
    cwr_init_drivers();
    cwr_choose_driver_index(conf_stored_driver_name());

    // Driver errors go to a dialog (the program writes no log), and a
    // playback keeps the window alive.
    cwr_set_error_reporter(gui_driver_error_dialog);
    set_play_events_hook(run_pending_events);

    // The locks and "Play on change" live in a small file of their own
    // beside the configuration document.
    if (config_file) {
        gchar *folder = g_path_get_dirname(config_file->c_str());
        gui_set_explore_settings_file(std::string(folder) + "/explore");
        g_free(folder);
    }
    gui_create_AppWindow(driver_index);
    if (const char *preset = preset_argument(argc, argv))
        g_idle_add(load_preset_from_command_line, const_cast<char *>(preset));

    // The keyboard and a JACK server's MIDI play from the start, on JACK when
    // a server runs, else on a stream of their own beside the driver's.
    live_play_start(playback_rate);

    gtk_main();

    live_play_stop();

    if (config_file) {
        conf_close(cwr_current_driver_name());
        gui_save_explore_settings(); // a failure keeps the old file; nothing to report
    }
    cwr_close_driver();
    return 0;
}
