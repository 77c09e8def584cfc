// Option table of the sound analyser.
#include "analyse_options.h"

#include <glib.h>

#include <memory>

#include "intl.h"
#include "option_values.h"

namespace {

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;
struct StrvDeleter {
    void operator()(gchar **v) const { g_strfreev(v); }
};
struct ContextDeleter {
    void operator()(GOptionContext *c) const { g_option_context_free(c); }
};
struct ErrorDeleter {
    void operator()(GError *e) const { g_error_free(e); }
};

template <typename... Args> std::string format(const char *fmt, Args... args)
{
    const GCharPtr text(g_strdup_printf(fmt, args...));
    return text.get();
}

} // namespace

bool parse_analyse_options(int argc, char **argv, AnalyseOptions &options, std::string &error)
{
    gboolean json = FALSE, version = FALSE;
    gchar *a4_text = nullptr, *plot = nullptr, *spectrogram = nullptr;
    gchar **files = nullptr;
    GOptionEntry entries[] = {
        {"json", 0, 0, G_OPTION_ARG_NONE, &json,
         N_("Print one JSON object per file instead of the table"), nullptr},
        {"a4", 0, 0, G_OPTION_ARG_STRING, &a4_text,
         N_("Pitch of A4 for the note names, 400 to 480 (default: 440)"), N_("HZ")},
        {"plot", 0, 0, G_OPTION_ARG_FILENAME, &plot,
         N_("Draw the waveform and the spectrum into a PNG picture (with several files: "
            "FILE-1.png, FILE-2.png, ...)"),
         N_("FILE")},
        {"spectrogram", 0, 0, G_OPTION_ARG_FILENAME, &spectrogram,
         N_("Draw the spectrogram with the partials' tracks into a PNG picture (with several "
            "files: FILE-1.png, FILE-2.png, ...)"),
         N_("FILE")},
        {"version", 0, 0, G_OPTION_ARG_NONE, &version, N_("Print the version and exit"), nullptr},
        {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, &files, nullptr, N_("FILE.wav...")},
        {},
    };
    const std::unique_ptr<GOptionContext, ContextDeleter> context(
        g_option_context_new(N_("- show the partials, notes and decay of 16-bit WAV files")));
    g_option_context_set_translation_domain(context.get(), CW_TEXT_DOMAIN);
    g_option_context_add_main_entries(context.get(), entries, CW_TEXT_DOMAIN);

    // GLib takes options out of the vector it parses: give it a copy.
    gchar **args = g_new0(gchar *, argc + 1);
    for (int i = 0; i < argc; ++i)
        args[i] = g_strdup(argv[i]);
    GError *raw = nullptr;
    const bool parsed = g_option_context_parse_strv(context.get(), &args, &raw) != FALSE;
    const std::unique_ptr<gchar *, StrvDeleter> rest(args), given_files(files);
    const GCharPtr given_a4(a4_text), given_plot(plot), given_spectrogram(spectrogram);
    const std::unique_ptr<GError, ErrorDeleter> err(raw);
    if (!parsed) {
        error = err ? err->message : _("invalid command line");
        return false;
    }
    options.json = json != FALSE;
    options.show_version = version != FALSE;
    if (given_a4 && !parse_real("--a4", given_a4.get(), a4_hz_min, a4_hz_max, options.a4_hz, error))
        return false;
    if (given_plot) {
        if (*given_plot == '\0') {
            error = format(_("%s: the file name is empty"), "--plot");
            return false;
        }
        options.plot_file = given_plot.get();
    }
    if (given_spectrogram) {
        if (*given_spectrogram == '\0') {
            error = format(_("%s: the file name is empty"), "--spectrogram");
            return false;
        }
        options.spectrogram_file = given_spectrogram.get();
    }
    for (gchar **f = given_files.get(); f && *f; ++f)
        options.files.emplace_back(*f);
    if (options.files.empty() && !options.show_version) {
        error = _("no WAV file given (usage: clangwright-analyse [OPTION...] FILE.wav...)");
        return false;
    }
    return true;
}

std::string plot_file_for(const std::string &plot_file, size_t index, size_t count)
{
    if (count <= 1)
        return plot_file;
    const std::string number = "-" + std::to_string(index + 1);
    // The extension is the last dot of the last path element, if it has one
    // that does not start the element.
    const size_t slash = plot_file.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = plot_file.rfind('.');
    if (dot == std::string::npos || dot <= base)
        return plot_file + number;
    return plot_file.substr(0, dot) + number + plot_file.substr(dot);
}
