// clangwright-analyse: the partials, notes and decay of 16-bit WAV files, as
// a table or as JSON, and optionally drawn as PNG pictures.
#include <glib.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <new>
#include <string>

#include "analyse_options.h"
#include "analysis_report.h"
#include "install_paths.h"
#include "intl.h"
#include "sound_file.h"
#include "sound_plot.h"
#include "spectrogram_plot.h"

namespace {

constexpr const char *program_name = "clangwright-analyse";
constexpr int exit_failure = 1;
constexpr int plot_width = 1200, plot_height = 800;

void print_error(const std::string &text)
{
    std::fflush(stdout); // the lines of the files before stay in order
    std::fprintf(stderr, "%s: %s\n", program_name, text.c_str());
}

// Analyses one file and prints it; false when the file was refused or its
// picture could not be saved (reported on stderr).
bool analyse_file(SoundAnalyser &analyser, const AnalyseOptions &options, size_t index,
                  bool &first_table)
{
    const std::string &file = options.files[index];
    std::string error;
    const std::optional<SoundFile> sound = read_sound_file(file, error);
    if (!sound) {
        print_error(error);
        return false;
    }
    const SoundAnalysis analysis = analyser.analyse(sound->frames, sound->rate_hz, options.a4_hz);
    if (options.json) {
        std::printf("%s\n", analysis_json(analysis, file).c_str());
    } else {
        if (!first_table)
            std::putchar('\n');
        first_table = false;
        std::fputs(analysis_text(analysis, file).c_str(), stdout);
    }
    if (!options.plot_file.empty()) {
        const std::string picture = plot_file_for(options.plot_file, index, options.files.size());
        std::string message;
        const int r = save_sound_png(picture.c_str(), analysis, plot_width, plot_height, message);
        if (r != 0) {
            print_error(r == -1 ? message : message + ": " + g_strerror(r));
            return false;
        }
    }
    if (!options.spectrogram_file.empty()) {
        const std::string picture =
            plot_file_for(options.spectrogram_file, index, options.files.size());
        std::string message;
        const int r =
            save_spectrogram_png(picture.c_str(), analysis, plot_width, plot_height, message);
        if (r != 0) {
            print_error(r == -1 ? message : message + ": " + g_strerror(r));
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    start_command_line_program(program_name);

    AnalyseOptions options;
    std::string error;
    if (!parse_analyse_options(argc, argv, options, error)) {
        print_error(error);
        return analyse_exit_usage;
    }
    if (options.show_version) {
        std::printf("%s %s\n", program_name, CW_VERSION);
        return 0;
    }
    int status = 0;
    SoundAnalyser analyser;
    bool first_table = true;
    for (size_t i = 0; i < options.files.size(); ++i) {
        try {
            if (!analyse_file(analyser, options, i, first_table))
                status = exit_failure;
        } catch (const std::bad_alloc &) {
            print_error(options.files[i] + ": " + g_strerror(ENOMEM));
            status = exit_failure;
        }
    }
    return status;
}
