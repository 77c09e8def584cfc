// --sfz: the library's samples rendered by worker threads, each on an engine
// of its own, and written by the main thread (the WAV writer's error handler
// is global) into a hidden staging folder inside the library's folder; only
// a complete library is moved into place, so a failed or interrupted run
// leaves the folder as it was.
#include "library_command.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "explore.h"
#include "file_save.h"
#include "intl.h"
#include "sample_library.h"
#include "score_render.h"
#include "wav_frames.h"

namespace {

constexpr const char *program_name = "clangwright-render";
constexpr int exit_failure = 1;
constexpr int exit_options = 2;
constexpr int32_t octave = 12;
// Without --length a sample rings until it is 90 dB down, at most this long.
constexpr double default_max_s = 10.0;
// A sample further than this from its key is reported.
constexpr double out_of_tune_cents = 3.0;
constexpr int64_t microseconds_per_second = 1000000;

std::atomic<bool> interrupted{false};

void on_signal(int)
{
    interrupted.store(true);
}

void print_error(const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", program_name, text.c_str());
}

template <typename... Args> std::string format(const char *fmt, Args... args)
{
    gchar *text = g_strdup_printf(fmt, args...);
    std::string s = text;
    g_free(text);
    return s;
}

std::string file_error(int r, const std::string &file)
{
    const std::string text = format(_("Could not write file %s"), file.c_str());
    return r > 0 ? text + ": " + g_strerror(r) : text;
}

// The shortest text that reads back as `v` exactly.
std::string real_text(double v)
{
    char text[G_ASCII_DTOSTR_BUF_SIZE];
    for (int digits = 1; digits < 17; ++digits) {
        char format_text[8];
        std::snprintf(format_text, sizeof format_text, "%%.%dg", digits);
        g_ascii_formatd(text, sizeof text, format_text, v);
        if (g_ascii_strtod(text, nullptr) == v)
            return text;
    }
    return g_ascii_formatd(text, sizeof text, "%.17g", v);
}

// The name of the library: --name, else the preset's name without its folder
// and extension, else the program's.
std::string library_name(const RenderOptions &o)
{
    std::string name = o.library_name;
    if (name.empty() && !o.preset_file.empty()) {
        name = o.preset_file.substr(o.preset_file.find_last_of('/') + 1);
        if (name.size() > 5 && name.ends_with(".cwrp"))
            name.resize(name.size() - 5);
    }
    return library_file_name(name.empty() ? "clangwright" : name);
}

// The instrument as options, every value written out, so that the command
// needs no preset file on the machine that runs it.
std::vector<std::string> instrument_arguments(const Instrument &ins)
{
    std::vector<std::string> a;
    switch (ins.type) {
    case TYPE_TUBE:
        a = {"--shape", "tube", "--tube-height", std::to_string(ins.tube_height),
             "--tube-circumference", std::to_string(ins.tube_circumference)};
        break;
    case TYPE_ROD:
        a = {"--shape", "rod", "--rod-length", std::to_string(ins.rod_length)};
        break;
    default:
        a = {"--shape", "plane", "--plane-length", std::to_string(ins.plane_length),
             "--plane-width", std::to_string(ins.plane_width)};
        break;
    }
    const std::vector<std::string> rest = {
        "--actuation-node", std::to_string(ins.actuation_node),
        "--sampling-node", std::to_string(ins.sampling_node),
        "--tension", real_text(ins.tension),
        "--speed", real_text(ins.speed),
        "--damping", real_text(ins.damping),
        "--actuation", ins.actuation == ACTUATION_COMPRESSION ? "compression" : "perpendicular",
        "--velocity", real_text(ins.velocity)};
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
}

const char *bits_text(WavBits bits)
{
    switch (bits) {
    case WavBits::pcm16:
        return "16";
    case WavBits::pcm24:
        return "24";
    default:
        return "32f";
    }
}

struct Library {
    std::string dir, name;
    LibraryLayout layout;
    std::vector<LibrarySample> samples;
    std::vector<TakeTuning> takes; // by take - 1; tuned only where needed
    std::vector<bool> tuned;
    int32_t named_root = -1; // the key the instrument's own sound is tuned to; -1: none
    uint32_t seed = 0;
    WavBits bits = WavBits::pcm24;
    double max_s = default_max_s;
};

// The command that makes `lib` as the options describe it, everything
// spelled out; `extra` is added before --sfz.
std::string library_command(const RenderOptions &o, const Instrument &base, const Library &lib,
                            const std::vector<std::string> &extra)
{
    std::vector<std::string> a = {program_name};
    const std::vector<std::string> ins = instrument_arguments(base);
    a.insert(a.end(), ins.begin(), ins.end());
    a.insert(a.end(), {"--rate", std::to_string(o.rate_hz), "--bits", bits_text(lib.bits)});
    if (o.length_given)
        a.insert(a.end(), {"--length", real_text(o.length_s)});
    if (lib.named_root >= 0)
        a.insert(a.end(), {"--root", key_name(lib.named_root)});
    if (o.a4_hz != default_a4_hz)
        a.insert(a.end(), {"--a4", real_text(o.a4_hz)});
    a.insert(a.end(), {"--keys", std::to_string(lib.layout.low_key) + "-" +
                                     std::to_string(lib.layout.high_key),
                       "--every", std::to_string(lib.layout.every), "--velocities",
                       std::to_string(lib.layout.velocities)});
    if (lib.layout.takes > 1) {
        a.insert(a.end(), {"--takes", std::to_string(lib.layout.takes), "--seed",
                           std::to_string(lib.seed)});
        if (o.mutate_amount)
            a.insert(a.end(), {"--mutate", real_text(*o.mutate_amount)});
        std::string locks;
        for (int g = 0; g < lock_group_count; ++g) {
            const auto group = static_cast<LockGroup>(g);
            if (group != LockGroup::length_decay && o.locks[group])
                locks += std::string(locks.empty() ? "" : ",") + lock_group_name(group);
        }
        if (!locks.empty())
            a.insert(a.end(), {"--lock", locks});
    }
    a.insert(a.end(), {"--name", lib.name});
    a.insert(a.end(), extra.begin(), extra.end());
    a.insert(a.end(), {"--sfz", lib.dir});
    std::string text;
    for (const std::string &arg : a) {
        gchar *quoted = g_shell_quote(arg.c_str());
        // Plain words stay plain.
        const bool plain = arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU"
                                                 "VWXYZ0123456789-_.,/+=:") == std::string::npos &&
                           !arg.empty();
        text += (text.empty() ? "" : " ") + (plain ? arg : std::string(quoted));
        g_free(quoted);
    }
    return text;
}

// The takes: the instrument itself, then small mutations of it drawn from
// the seed, take by take, the shape, its sizes and the speed kept (every
// take is tuned to the keys anyway).
bool draw_takes(const RenderOptions &o, const Instrument &base, Library &lib)
{
    lib.takes.assign(static_cast<size_t>(lib.layout.takes), TakeTuning{});
    lib.tuned.assign(lib.takes.size(), false);
    lib.takes[0].instrument = base;
    Locks locks = o.locks;
    locks[LockGroup::shape_size] = true;
    locks[LockGroup::speed] = true;
    locks[LockGroup::length_decay] = true;
    const SoundParams params{base, 1.0};
    for (int32_t t = 2; t <= lib.layout.takes; ++t) {
        const ExploreResult drawn =
            explore(ExploreKind::mutate, params, locks, o.mutate_amount.value_or(default_mutate_amount),
                    lib.seed, static_cast<uint32_t>(t), o.rate_hz);
        if (!drawn.accepted) {
            print_error(format(_("take %d: no sound that plays was found in %d tries; lock "
                                 "fewer values or try another seed"),
                               t, drawn.attempts));
            return false;
        }
        lib.takes[static_cast<size_t>(t - 1)].instrument = drawn.params.instrument;
    }
    return true;
}

bool tune(const RenderOptions &o, Library &lib, int32_t take)
{
    const auto i = static_cast<size_t>(take - 1);
    if (lib.tuned[i])
        return true;
    std::string error;
    const Instrument ins = lib.takes[i].instrument;
    // The first take tunes the partial on the named root's pitch (or its
    // lowest); the others the partial nearest the first take's.
    std::optional<double> near;
    if (take > 1) {
        if (!tune(o, lib, 1))
            return false;
        near = lib.takes[0].tuned_hz;
    } else if (lib.named_root >= 0) {
        near = o.a4_hz * std::exp2((lib.named_root - 69) / 12.0);
    }
    if (!tune_take(ins, o.rate_hz, o.a4_hz, lib.max_s, near, lib.takes[i], error, &interrupted)) {
        print_error(lib.layout.takes > 1 ? format(_("take %d: %s"), take, error.c_str()) : error);
        return false;
    }
    lib.tuned[i] = true;
    return true;
}

std::string keys_text(int32_t low, int32_t high)
{
    return format(_("%d (%s) to %d (%s)"), low, key_name(low).c_str(), high,
                  key_name(high).c_str());
}

// The key range: as given, or two octaves around the first take's own note
// within what it reaches; every tuned take must reach all of it. Returns
// the exit status, 0 when the keys are fine.
int choose_keys(const RenderOptions &o, Library &lib)
{
    if (o.low_key) {
        lib.layout.low_key = *o.low_key;
        lib.layout.high_key = *o.high_key;
    } else {
        const TakeTuning &first = lib.takes[0];
        lib.layout.low_key = std::max(first.root_key - octave, first.lowest_key);
        lib.layout.high_key = std::min(first.root_key + octave, first.highest_key);
        if (lib.layout.low_key > lib.layout.high_key) {
            print_error(_("the instrument plays no key; try another sound"));
            return exit_failure;
        }
    }
    for (size_t i = 0; i < lib.takes.size(); ++i) {
        if (!lib.tuned[i])
            continue;
        const TakeTuning &t = lib.takes[i];
        const int32_t bad = lib.layout.low_key < t.lowest_key ? lib.layout.low_key
                            : lib.layout.high_key > t.highest_key ? lib.layout.high_key
                                                                  : -1;
        if (bad < 0)
            continue;
        std::string text = format(_("--keys: the instrument cannot play key %d (%s); it plays "
                                    "keys %s"),
                                  bad, key_name(bad).c_str(),
                                  keys_text(t.lowest_key, t.highest_key).c_str());
        if (lib.layout.takes > 1)
            text += format(_(" in take %d"), static_cast<int>(i + 1));
        print_error(text);
        return exit_options;
    }
    return 0;
}

std::string samples_dir(const std::string &dir)
{
    return dir + "/samples";
}

// The progress line, redrawn in place on a terminal.
class Progress {
public:
    Progress(bool shown, size_t total) : shown_(shown), total_(total), start_(g_get_monotonic_time()) {}
    void done(size_t n)
    {
        if (!shown_)
            return;
        const int64_t elapsed = g_get_monotonic_time() - start_;
        std::string left = _("time left unknown");
        if (n > 0) {
            const auto s = static_cast<int64_t>(static_cast<double>(elapsed) /
                                                static_cast<double>(n) *
                                                static_cast<double>(total_ - n) /
                                                microseconds_per_second);
            left = format(_("about %d:%02d left"), static_cast<int>(s / 60), static_cast<int>(s % 60));
        }
        std::fprintf(stderr, "\r\033[K");
        std::fprintf(stderr, _("Samples: %d of %d, %s"), static_cast<int>(n),
                     static_cast<int>(total_), left.c_str());
        std::fflush(stderr);
    }
    ~Progress()
    {
        if (shown_) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    }

private:
    bool shown_;
    size_t total_;
    int64_t start_;
};

struct Finished {
    size_t index;
    RenderedSample sample;
};

// Renders every sample on `jobs` threads and hands each, in the order they
// finish, to `write` on this thread. Stops at the first failure or an
// interrupt. Returns true when every sample was rendered and written.
bool render_all(const RenderOptions &o, const Library &lib, int32_t jobs,
                const std::function<bool(const LibrarySample &, const RenderedSample &)> &write,
                double &worst_cents, Progress &progress)
{
    std::atomic<size_t> next{0};
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Finished> finished;
    std::string failure;
    size_t running = static_cast<size_t>(jobs);
    const auto worker = [&] {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= lib.samples.size() || interrupted.load())
                break;
            const LibrarySample &s = lib.samples[i];
            Finished f{i, {}};
            std::string error;
            const bool ok = render_library_sample(lib.takes[static_cast<size_t>(s.take - 1)], s,
                                                  o.rate_hz, lib.max_s, o.a4_hz, f.sample,
                                                  error, &interrupted);
            const std::lock_guard<std::mutex> guard(lock);
            if (ok) {
                finished.push_back(std::move(f));
            } else {
                if (failure.empty())
                    failure = sample_file_name(lib.name, s) + ": " + error;
                next.store(lib.samples.size());
            }
            ready.notify_one();
        }
        const std::lock_guard<std::mutex> guard(lock);
        --running;
        ready.notify_one();
    };
    std::vector<std::thread> threads;
    for (int32_t j = 0; j < jobs; ++j)
        threads.emplace_back(worker);
    size_t written = 0;
    bool ok = true;
    progress.done(0);
    for (;;) {
        std::unique_lock<std::mutex> guard(lock);
        ready.wait_for(guard, std::chrono::milliseconds(200),
                       [&] { return !finished.empty() || running == 0; });
        if (finished.empty()) {
            if (running == 0)
                break;
            continue;
        }
        Finished f = std::move(finished.front());
        finished.pop_front();
        guard.unlock();
        if (ok && !write(lib.samples[f.index], f.sample)) {
            ok = false;
            next.store(lib.samples.size());
        }
        if (f.sample.measured)
            worst_cents = std::max(worst_cents, std::fabs(f.sample.cents_off));
        progress.done(++written);
    }
    for (std::thread &t : threads)
        t.join();
    if (!failure.empty()) {
        print_error(failure);
        return false;
    }
    if (interrupted.load()) {
        print_error(_("interrupted; the library was not written"));
        return false;
    }
    return ok && written == lib.samples.size();
}

// Writes one rendered sample, with a warning for one clipped or out of tune.
bool write_sample(const std::string &file, const RenderedSample &s, int32_t rate_hz, WavBits bits)
{
    std::string message;
    uint64_t clipped = 0;
    const int r = save_wav_frames(file.c_str(), s.frames, 2, rate_hz, bits, &clipped, message);
    if (r != 0) {
        print_error(r == -1 ? message : message + ": " + g_strerror(r));
        return false;
    }
    if (clipped > 0)
        std::fprintf(stderr, "%s: %s %s\n", program_name, _("warning:"),
                     format(_("%s: %llu samples clipped; use --bits 32f"), file.c_str(),
                            static_cast<unsigned long long>(clipped))
                         .c_str());
    const std::string name = file.substr(file.rfind('/') + 1);
    if (!s.measured)
        std::fprintf(stderr, "%s: %s %s\n", program_name, _("warning:"),
                     format(_("%s: no partial found near its key's pitch; its tuning is "
                              "unchecked"),
                            name.c_str())
                         .c_str());
    else if (std::fabs(s.cents_off) > out_of_tune_cents)
        std::fprintf(stderr, "%s: %s %s\n", program_name, _("warning:"),
                     format(_("%s: settles %+.1f cents from its key"), name.c_str(), s.cents_off)
                         .c_str());
    return true;
}

std::vector<std::string> sfz_header(const RenderOptions &o, const Instrument &base,
                                    const Library &lib)
{
    const size_t keys = sampled_keys(lib.layout).size();
    return {
        format(_("%s: a sample library of Clangwright, for any SFZ sampler"), lib.name.c_str()),
        format(_("%d samples: keys %s, sampled %d; velocity layers: %d; takes: %d; %d Hz, "
                 "%s-bit stereo"),
               static_cast<int>(lib.samples.size()),
               keys_text(lib.layout.low_key, lib.layout.high_key).c_str(), static_cast<int>(keys),
               lib.layout.velocities, lib.layout.takes, o.rate_hz, bits_text(lib.bits)),
        _("Made by:"),
        library_command(o, base, lib, {}),
    };
}

bool make_folder(const std::string &dir)
{
    if (g_mkdir_with_parents(dir.c_str(), 0777) != 0) {
        print_error(file_error(errno, dir));
        return false;
    }
    return true;
}

// Where a staging folder keeps the files a library replaces until it is in
// place.
std::string replaced_dir(const std::string &staging)
{
    return staging + "/replaced";
}

// Removes a staging folder and what it holds (files, the samples and the
// replaced files).
void remove_tree(const std::string &dir)
{
    for (const std::string &sub : {samples_dir(dir), replaced_dir(dir), dir}) {
        if (GDir *d = g_dir_open(sub.c_str(), 0, nullptr)) {
            while (const char *entry = g_dir_read_name(d))
                g_remove((sub + "/" + entry).c_str());
            g_dir_close(d);
        }
    }
    g_rmdir(samples_dir(dir).c_str());
    g_rmdir(replaced_dir(dir).c_str());
    g_rmdir(dir.c_str());
}

// Moves the staged files into the library's folder as one change: a file
// they replace is moved aside first, and every move is undone when one
// fails, so the folder holds the old library or the new one.
bool move_into_place(const std::string &staging, const Library &lib, const std::string &sfz)
{
    std::vector<std::pair<std::string, std::string>> moves; // staged file, its place
    for (const LibrarySample &s : lib.samples) {
        const std::string file = sample_file_name(lib.name, s);
        moves.emplace_back(samples_dir(staging) + "/" + file, samples_dir(lib.dir) + "/" + file);
    }
    moves.emplace_back(staging + "/" + sfz, lib.dir + "/" + sfz); // the mapping last
    const bool new_samples_dir = !g_file_test(samples_dir(lib.dir).c_str(), G_FILE_TEST_EXISTS);
    if (!make_folder(samples_dir(lib.dir)) || !make_folder(replaced_dir(staging)))
        return false;
    struct Done {
        std::string place, aside; // aside: empty when nothing was replaced
    };
    std::vector<Done> done;
    const auto undo = [&] {
        for (auto d = done.rbegin(); d != done.rend(); ++d) {
            g_remove(d->place.c_str());
            if (!d->aside.empty())
                g_rename(d->aside.c_str(), d->place.c_str());
        }
        if (new_samples_dir)
            g_rmdir(samples_dir(lib.dir).c_str());
        return false;
    };
    for (size_t i = 0; i < moves.size(); ++i) {
        const auto &[staged, place] = moves[i];
        Done d{place, {}};
        if (g_file_test(place.c_str(), G_FILE_TEST_EXISTS)) {
            if (!g_file_test(place.c_str(), G_FILE_TEST_IS_REGULAR)) {
                print_error(file_error(EISDIR, place));
                return undo();
            }
            d.aside = replaced_dir(staging) + "/" + std::to_string(i);
            if (g_rename(place.c_str(), d.aside.c_str()) != 0) {
                print_error(file_error(errno, place));
                return undo();
            }
        }
        if (g_rename(staged.c_str(), place.c_str()) != 0) {
            const int e = errno;
            if (!d.aside.empty())
                g_rename(d.aside.c_str(), place.c_str());
            print_error(file_error(e, place));
            return undo();
        }
        done.push_back(d);
    }
    return true;
}

int render_whole_library(const RenderOptions &o, const Instrument &base, Library &lib)
{
    const bool existed = g_file_test(lib.dir.c_str(), G_FILE_TEST_EXISTS);
    if (existed && !g_file_test(lib.dir.c_str(), G_FILE_TEST_IS_DIR)) {
        print_error(file_error(ENOTDIR, lib.dir));
        return exit_failure;
    }
    if (!make_folder(lib.dir))
        return exit_failure;
    std::string pattern = lib.dir + "/." + lib.name + "-XXXXXX";
    if (!g_mkdtemp(pattern.data())) {
        print_error(file_error(errno, lib.dir));
        if (!existed)
            g_rmdir(lib.dir.c_str());
        return exit_failure;
    }
    const std::string staging = pattern;
    const auto fail = [&] {
        remove_tree(staging);
        if (!existed)
            g_rmdir(lib.dir.c_str());
        return exit_failure;
    };
    if (!make_folder(samples_dir(staging)))
        return fail();

    const int32_t jobs =
        o.jobs ? *o.jobs : std::max(1, static_cast<int32_t>(g_get_num_processors()));
    double worst = 0.0;
    const gint64 start = g_get_monotonic_time();
    {
        Progress progress(!o.quiet && isatty(STDERR_FILENO), lib.samples.size());
        const auto write = [&](const LibrarySample &s, const RenderedSample &r) {
            return write_sample(samples_dir(staging) + "/" + sample_file_name(lib.name, s), r,
                                o.rate_hz, lib.bits);
        };
        if (!render_all(o, lib, std::min<int32_t>(jobs, static_cast<int32_t>(lib.samples.size())),
                        write, worst, progress))
            return fail();
    }
    const std::string sfz = lib.name + ".sfz";
    const std::string text =
        sfz_text(sfz_header(o, base, lib), lib.name, lib.samples, lib.layout.takes, 1.0);
    if (const int r = file_save_bytes((staging + "/" + sfz).c_str(), text); r != 0) {
        print_error(file_error(r, lib.dir + "/" + sfz));
        return fail();
    }
    if (!move_into_place(staging, lib, sfz))
        return fail();
    remove_tree(staging);
    if (!o.quiet) {
        std::printf(_("Library: %s, %d samples, every one within %.1f cents of its key, in "
                      "%.1f s"),
                    (lib.dir + "/" + sfz).c_str(), static_cast<int>(lib.samples.size()), worst,
                    static_cast<double>(g_get_monotonic_time() - start) / microseconds_per_second);
        std::putchar('\n');
    }
    return 0;
}

int render_one_sample(const RenderOptions &o, Library &lib)
{
    const std::array<int32_t, 3> &want = *o.one_sample;
    const auto it = std::find_if(lib.samples.begin(), lib.samples.end(), [&](const auto &s) {
        return s.key == want[0] && s.layer == want[1] && s.take == want[2];
    });
    if (it == lib.samples.end()) {
        print_error(format(_("--sample: %d,%d,%d is not a sample of this library (see --plan)"),
                           want[0], want[1], want[2]));
        return exit_options;
    }
    RenderedSample r;
    std::string error;
    if (!render_library_sample(lib.takes[static_cast<size_t>(it->take - 1)], *it, o.rate_hz,
                               lib.max_s, o.a4_hz, r, error, &interrupted)) {
        print_error(sample_file_name(lib.name, *it) + ": " + error);
        return exit_failure;
    }
    if (!make_folder(samples_dir(lib.dir)))
        return exit_failure;
    const std::string file = samples_dir(lib.dir) + "/" + sample_file_name(lib.name, *it);
    if (!write_sample(file, r, o.rate_hz, lib.bits))
        return exit_failure;
    if (!o.quiet)
        std::printf("%s\n", file.c_str());
    return 0;
}

int write_mapping(const RenderOptions &o, const Instrument &base, const Library &lib)
{
    size_t missing = 0;
    std::string first;
    for (const LibrarySample &s : lib.samples) {
        const std::string file = samples_dir(lib.dir) + "/" + sample_file_name(lib.name, s);
        if (!g_file_test(file.c_str(), G_FILE_TEST_IS_REGULAR)) {
            if (missing++ == 0)
                first = file;
        }
    }
    if (missing > 0) {
        print_error(format(_("%s and %d more samples are missing; render them first with the "
                             "commands of --plan"),
                           first.c_str(), static_cast<int>(missing - 1)));
        return exit_failure;
    }
    const std::string sfz = lib.dir + "/" + lib.name + ".sfz";
    const std::string text =
        sfz_text(sfz_header(o, base, lib), lib.name, lib.samples, lib.layout.takes, 1.0);
    if (const int r = file_save_bytes(sfz.c_str(), text); r != 0) {
        print_error(file_error(r, sfz));
        return exit_failure;
    }
    if (!o.quiet)
        std::printf("%s\n", sfz.c_str());
    return 0;
}

// Restores the signal handlers it replaced when it goes.
class InterruptGuard {
public:
    InterruptGuard()
    {
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
    }
    ~InterruptGuard()
    {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

private:
    struct sigaction old_int_ {}, old_term_ {};
};

} // namespace

int make_sample_library(const RenderOptions &o, const Instrument &instrument)
{
    const InterruptGuard guard;
    Library lib;
    lib.dir = o.sfz_dir;
    while (lib.dir.size() > 1 && lib.dir.back() == '/')
        lib.dir.pop_back();
    lib.name = library_name(o);
    lib.layout.every = o.every;
    lib.layout.velocities = o.velocities;
    lib.layout.takes = o.takes;
    lib.bits = o.bits.value_or(WavBits::pcm24);
    lib.max_s = o.length_given ? o.length_s : default_max_s;
    lib.seed = o.seed ? *o.seed : g_random_int();
    lib.named_root = score_engine_settings(o).root_key;
    if (lib.layout.takes > 1 && !o.seed && !o.quiet && !o.plan)
        std::printf(_("Seed: %u\n"), lib.seed);
    if (!draw_takes(o, instrument, lib))
        return exit_failure;

    // What must be tuned: the take of one sample, the first take for the
    // default keys, every take before rendering them all.
    if (o.one_sample) {
        const int32_t take = (*o.one_sample)[2];
        if (take < 1 || take > lib.layout.takes) {
            print_error(format(_("--sample: take %d is not a take of this library (valid: 1 to "
                                 "%d)"),
                               take, lib.layout.takes));
            return exit_options;
        }
        if (!tune(o, lib, take))
            return exit_failure;
    }
    if (!o.low_key && !tune(o, lib, 1))
        return exit_failure;
    if (!o.only_mapping && !o.one_sample)
        for (int32_t t = 1; t <= lib.layout.takes; ++t)
            if (!tune(o, lib, t))
                return exit_failure;
    if (const int r = choose_keys(o, lib); r != 0)
        return r;
    lib.samples = library_samples(lib.layout);

    if (o.plan) {
        gchar *absolute = g_canonicalize_filename(lib.dir.c_str(), nullptr);
        Library planned = lib;
        planned.dir = absolute;
        g_free(absolute);
        for (const LibrarySample &s : lib.samples) {
            const std::string which = std::to_string(s.key) + "," + std::to_string(s.layer) +
                                      "," + std::to_string(s.take);
            std::printf("%s\n",
                        library_command(o, instrument, planned, {"-q", "--sample", which}).c_str());
        }
        return 0;
    }
    if (o.one_sample)
        return render_one_sample(o, lib);
    if (o.only_mapping)
        return write_mapping(o, instrument, lib);
    return render_whole_library(o, instrument, lib);
}
