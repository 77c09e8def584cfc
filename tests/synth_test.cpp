// Render loop, sample buffers with the PCM conversion, and WAV export.
#include <gtest/gtest.h>

#include <audiofile.h>
#include <glib.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cw_metal_obj.h"
#include "metal_obj_ptr.h"
#include "render.h"
#include "wav_export.h"
#include "wav_frames.h"

namespace {

namespace fs = std::filesystem;

const double untouched = std::numeric_limits<double>::quiet_NaN();

// Index of the first sample the render did not write (buffers start as NaN).
size_t written_prefix(const std::vector<double> &buf)
{
    return static_cast<size_t>(
        std::find_if(buf.begin(), buf.end(), [](double v) { return std::isnan(v); }) -
        buf.begin());
}

double peak_of(const std::vector<double> &buf, size_t n)
{
    double p = 0.0;
    for (size_t i = 0; i < n; ++i)
        p = std::max(p, std::fabs(buf[i]));
    return p;
}

// Progress calls of one render, and what the callback should do on the k-th.
struct ProgressLog {
    Instrument *instrument = nullptr;
    std::vector<float> fractions;
    size_t stop_at_call = 0;      // 1-based; 0: never
    size_t move_sampling_at = 0;  // 1-based; 0: never
    int32_t moved_sampling_node = 0;
};

void log_progress(void *user, float fraction)
{
    auto *log = static_cast<ProgressLog *>(user);
    log->fractions.push_back(fraction);
    if (log->fractions.size() == log->stop_at_call)
        log->instrument->stop = 1;
    if (log->fractions.size() == log->move_sampling_at)
        log->instrument->sampling_node = log->moved_sampling_node;
}

uint64_t render(Instrument &ins, int32_t rate, std::vector<double> &buf, double decay,
                ProgressLog *log = nullptr)
{
    ins.progress = log ? log_progress : nullptr;
    if (log)
        log->instrument = &ins;
    return cw_metal_obj_render(&ins, rate, buf.size(), buf.data(), log, decay);
}

// The default tube struck and listened to at node 7, stepped by the library
// with the given constants, offset removed and normalised: what the render
// loop must produce at `rate` when its step size is `dt` and its damping
// factor `damp`.
std::vector<double> expected_tube_signal(int32_t rate, double dt, double damp, size_t count)
{
    ObjPtr obj(cw_metal_obj_new_tube(10, 5, 4.0));
    MetalObjNode *node = obj->nodes[7];
    const double reference = node->x;
    node->x += 1.0;
    const double a = std::pow(0.5, 5.0 / rate);
    std::vector<double> out;
    double offset = 0.0, peak = 0.0;
    for (size_t i = 0; i < count; ++i) {
        cw_metal_obj_perturb(obj.get(), dt, damp);
        const double v = node->x - reference;
        offset = (1.0 - a) * v + offset * a;
        out.push_back(v - offset);
        peak = std::max(peak, std::fabs(out.back()));
    }
    for (double &y : out)
        y *= 1.0 / peak;
    return out;
}

TEST(RenderLoop, StepSizeAndDampingFollowTheRate)
{
    constexpr size_t count = 256;
    // speed is the step at 44100 Hz; at half the rate the step doubles.
    // damping 0.05 s: velocities halve after rate * 0.05 steps. (At the default
    // speed 0.2 the tube diverges at 22050 Hz, where the step is 0.4.)
    const struct {
        int32_t rate;
        double dt;
    } cases[] = {{44100, 0.1}, {22050, 0.2}};
    for (const auto &c : cases) {
        Instrument ins = instrument_defaults();
        ins.speed = 0.1;
        ins.sampling_node = 7; // the struck node itself: a large signal from the first step
        std::vector<double> buf(count, untouched);
        ASSERT_EQ(render(ins, c.rate, buf, 0.0), count);
        const double damp = std::pow(0.5, 1.0 / (c.rate * 0.05));
        const std::vector<double> want = expected_tube_signal(c.rate, c.dt, damp, count);
        for (size_t i = 0; i < count; ++i)
            // Normalised samples: a stepper that adds the spring forces in another
            // order may differ in the last bits, far below 1e-9 after 256 steps;
            // a wrong step or damping factor moves them by whole percents.
            ASSERT_NEAR(buf[i], want[i], 1e-9) << "rate " << c.rate << ", sample " << i;
    }
}

TEST(RenderLoop, CountZeroLeavesBufferAndReportsZeroOnce)
{
    Instrument ins = instrument_defaults();
    std::vector<double> buf(4, untouched);
    ProgressLog log;
    EXPECT_EQ(cw_metal_obj_render(&ins, 44100, 0, buf.data(), &log, 0.0), 0u);
    ins.progress = log_progress;
    log.instrument = &ins;
    EXPECT_EQ(cw_metal_obj_render(&ins, 44100, 0, buf.data(), &log, 0.0), 0u);
    ASSERT_EQ(log.fractions.size(), 1u);
    EXPECT_EQ(log.fractions[0], 0.0f);
    EXPECT_EQ(written_prefix(buf), 0u);
}

TEST(RenderLoop, RodAtRestGivesZerosWithoutScaling)
{
    Instrument ins = instrument_defaults();
    ins.type = TYPE_ROD;
    ins.actuation_node = 1;
    ins.sampling_node = 3;
    ins.velocity = 0.0;
    std::vector<double> buf(1000, untouched);
    EXPECT_EQ(render(ins, 44100, buf, 0.0), buf.size());
    // A scaling by 1 / 0 would leave NaN here.
    for (double v : buf)
        ASSERT_EQ(v, 0.0);
}

TEST(RenderLoop, NormalEndPeaksAtOne)
{
    Instrument ins = instrument_defaults();
    std::vector<double> buf(20000, untouched);
    EXPECT_EQ(render(ins, 44100, buf, 0.0), buf.size());
    // y * (1 / y) is 1 within one rounding of the reciprocal and one of the product.
    EXPECT_NEAR(peak_of(buf, buf.size()), 1.0, 4 * std::numeric_limits<double>::epsilon());
}

TEST(RenderLoop, DecayStopEndsAtFirstSampleFiftyDecibelsDown)
{
    constexpr int32_t rate = 44100;
    Instrument ins = instrument_defaults();
    std::vector<double> full(rate, untouched), stopped(rate, untouched);
    // Decay 0 and any level above never stop early.
    ASSERT_EQ(render(ins, rate, full, 0.0), full.size());
    EXPECT_EQ(render(ins, rate, stopped, 10.0), stopped.size());

    const uint64_t n = render(ins, rate, stopped, -50.0);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, stopped.size());
    // Both renders peak long before the stop, so they share one scale.
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(stopped[i], full[i]) << i;

    // Follow the envelope over the full render: the ratio e / emax does not
    // depend on the scale, up to rounding some 1e-14 dB from the threshold.
    const double c = 1.0 - 20.0 / rate;
    double e = 0.0, emax = 0.0;
    size_t first_below = full.size();
    for (size_t i = 0; i < full.size(); ++i) {
        e = e * c + std::fabs(full[i]) * (1.0 - c);
        emax = std::max(emax, e);
        if (emax > 0.0 && 20.0 * std::log10(e / emax) <= -50.0) {
            first_below = i;
            break;
        }
    }
    EXPECT_EQ(n, first_below); // that sample itself is not part of the result
}

TEST(RenderLoop, StopRequestGivesZeroButScalesTheSamples)
{
    Instrument ins = instrument_defaults();
    std::vector<double> buf(44100, untouched);
    ProgressLog log;
    log.stop_at_call = 5;
    EXPECT_EQ(render(ins, 44100, buf, 0.0, &log), 0u);
    const size_t n = written_prefix(buf);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, buf.size());
    EXPECT_NEAR(peak_of(buf, n), 1.0, 4 * std::numeric_limits<double>::epsilon());

    // A stop set by the first report (0.0) ends before any step.
    std::vector<double> untouched_buf(16, untouched);
    ProgressLog first;
    first.stop_at_call = 1;
    EXPECT_EQ(render(ins, 44100, untouched_buf, 0.0, &first), 0u);
    EXPECT_EQ(written_prefix(untouched_buf), 0u);
    // The next render clears the request.
    std::vector<double> again(16, untouched);
    EXPECT_EQ(render(ins, 44100, again, 0.0), again.size());
}

TEST(RenderLoop, ProgressNeverReachesOneInAboutAHundredReports)
{
    Instrument ins = instrument_defaults();
    std::vector<double> buf(44100, untouched);
    ProgressLog log;
    ASSERT_EQ(render(ins, 44100, buf, 0.0, &log), buf.size());
    ASSERT_FALSE(log.fractions.empty());
    EXPECT_EQ(log.fractions.front(), 0.0f);
    // The first report, then one per 0.01 of progress at most.
    EXPECT_LE(log.fractions.size(), 101u);
    EXPECT_GE(log.fractions.size(), 90u);
    for (size_t i = 1; i < log.fractions.size(); ++i)
        EXPECT_GT(log.fractions[i] - log.fractions[i - 1], 0.01f);
    EXPECT_LT(log.fractions.back(), 1.0f);
}

TEST(RenderLoop, UnbuildableObjectGivesNoSamples)
{
    Instrument ins = instrument_defaults();
    ins.type = TYPE_ROD;
    ins.rod_length = 1; // the rod builder refuses fewer than 2 nodes
    std::vector<double> buf(16, untouched);
    EXPECT_EQ(render(ins, 44100, buf, 0.0), 0u);
    EXPECT_EQ(written_prefix(buf), 0u);
}

TEST(RenderLoop, SamplingNodeLeavingTheObjectKeepsTheLastValidNode)
{
    Instrument ins = instrument_defaults();
    std::vector<double> plain(8000, untouched), moved(8000, untouched);
    ASSERT_EQ(render(ins, 44100, plain, 0.0), plain.size());
    ProgressLog log;
    log.move_sampling_at = 10;
    log.moved_sampling_node = 100000; // as if the window switched to a smaller shape
    ASSERT_EQ(render(ins, 44100, moved, 0.0, &log), moved.size());
    for (size_t i = 0; i < plain.size(); ++i)
        ASSERT_EQ(moved[i], plain[i]) << i;
}

TEST(PcmConversion, EveryRowOfTheTable)
{
    const struct {
        double x;
        int16_t frame;
    } table[] = {
        {1.0, 32767},          {2.5, 32767},          {-1.0, -32768},
        {-3.0, -32768},        {0.5, 16384},          {-0.5, -16384},
        {1.0 / 32768, 1},      {-1.0 / 32768, -1},    {0.99999, 32767},
        {-0.99999, -32767},    {1e-20, 0},            {std::nextafter(1.0, 0.0), 32767},
        {std::numeric_limits<double>::quiet_NaN(), 0}, {0.0, 0},
    };
    for (const auto &row : table)
        EXPECT_EQ(pcm_from_double(row.x), row.frame) << row.x;
}

TEST(SampleBuffer, GrowsForLongerSoundsAndNeverShrinks)
{
    if (buffer_capacity != 0)
        GTEST_SKIP() << "needs a process that has not rendered yet (ctest runs each test alone)";
    Instrument ins = instrument_defaults();
    ins.type = TYPE_ROD; // the cheapest mesh: only the buffer sizes matter here
    ins.actuation_node = 1;
    ins.sampling_node = 3;
    sample_length = 1.0;
    EXPECT_EQ(do_render(&ins, 44100), 44100u);
    EXPECT_EQ(buffer_capacity, 44100u);
    EXPECT_EQ(do_render(&ins, 48000), 48000u);
    EXPECT_EQ(buffer_capacity, 48000u);
    const int16_t *kept = samples;
    EXPECT_EQ(do_render(&ins, 44100), 44100u);
    EXPECT_EQ(buffer_capacity, 48000u);
    EXPECT_EQ(samples, kept);
}

TEST(SampleBuffer, FrameCountIsTruncated)
{
    Instrument ins = instrument_defaults();
    // 0.7 * 44100 lies just below 30870 in double precision.
    sample_length = 0.7;
    EXPECT_EQ(do_render(&ins, 44100), 30869u);
    EXPECT_EQ(sample_count, 30869u);
    for (uint64_t i = 0; i < sample_count; ++i)
        ASSERT_EQ(samples[i], pcm_from_double(render_buffer[i])) << i;

    // No frames: nothing rendered, the old frames stay where they are.
    const std::vector<int16_t> before(samples, samples + 100);
    sample_length = 0.0;
    EXPECT_EQ(do_render(&ins, 44100), 0u);
    EXPECT_EQ(sample_count, 0u);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), samples));
    sample_length = 1.0;
}

TEST(SampleBuffer, DecayLevelCountsOnlyWithDecayStop)
{
    Instrument ins = instrument_defaults();
    sample_length = 1.0;
    ins.decay_stop = 0;
    ins.decay_level = -20.0;
    EXPECT_EQ(do_render(&ins, 44100), 44100u);

    ins.decay_stop = 1;
    ins.decay_level = -50.0;
    std::vector<double> buf(44100, untouched);
    Instrument direct = ins;
    const uint64_t want = render(direct, 44100, buf, -50.0);
    ASSERT_LT(want, buf.size());
    EXPECT_EQ(do_render(&ins, 44100), want);
}

// A scratch folder removed with everything in it.
struct TempDir {
    fs::path path;
    TempDir()
    {
        gchar *p = g_dir_make_tmp("cw-synth-XXXXXX", nullptr);
        path = p;
        g_free(p);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const char *name) const { return (path / name).string(); }
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// What Python's wave module reads: channels, bytes per sample, rate, frames,
// then the frames in hexadecimal.
std::string python_wave_read(const std::string &path)
{
    const char *script = "import sys, wave\n"
                         "w = wave.open(sys.argv[1], 'rb')\n"
                         "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), "
                         "w.getnframes())\n"
                         "print(w.readframes(w.getnframes()).hex())\n";
    const gchar *argv[] = {CW_PYTHON3, "-c", script, path.c_str(), nullptr};
    gchar *out = nullptr;
    gint status = 0;
    GError *error = nullptr;
    const bool ran = g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr,
                                  G_SPAWN_DEFAULT, nullptr, nullptr, &out, nullptr, &status,
                                  &error);
    std::string result = ran && g_spawn_check_wait_status(status, nullptr) ? out : "failed";
    g_free(out);
    if (error)
        g_error_free(error);
    return result;
}

std::string hex_little_endian(const int16_t *frames, uint64_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint64_t i = 0; i < n; ++i) {
        const auto u = static_cast<uint16_t>(frames[i]);
        for (const uint8_t byte : {static_cast<uint8_t>(u & 0xff), static_cast<uint8_t>(u >> 8)}) {
            s += digits[byte >> 4];
            s += digits[byte & 0xf];
        }
    }
    return s;
}

void render_default_second(int32_t rate)
{
    Instrument ins = instrument_defaults();
    sample_length = 1.0;
    ASSERT_EQ(do_render(&ins, rate), static_cast<uint64_t>(rate));
}

TEST(WavExport, NothingRenderedWritesNoFile)
{
    if (samples != nullptr)
        GTEST_SKIP() << "needs a process that has not rendered yet (ctest runs each test alone)";
    TempDir dir;
    std::string message;
    EXPECT_EQ(save_wav(nullptr, dir.file("none.wav").c_str(), message, 48000), 0);
    EXPECT_TRUE(message.empty());
    EXPECT_FALSE(fs::exists(dir.file("none.wav")));
}

TEST(WavExport, IndependentReaderSeesTheSoundAsWritten)
{
    render_default_second(48000);
    TempDir dir;
    const std::string path = dir.file("tube.wav");
    std::string message;
    ASSERT_EQ(save_wav(nullptr, path.c_str(), message, 48000), 0) << message;
    std::istringstream read(python_wave_read(path));
    int channels = 0, width = 0, rate = 0, frames = 0;
    std::string data;
    read >> channels >> width >> rate >> frames >> data;
    EXPECT_EQ(channels, 1);
    EXPECT_EQ(width, 2);
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(frames, 48000);
    EXPECT_EQ(data, hex_little_endian(samples, sample_count));
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(WavExport, StoppedRenderWritesAnEmptyValidFile)
{
    render_default_second(44100);
    Instrument ins = instrument_defaults();
    ProgressLog log;
    log.instrument = &ins;
    log.stop_at_call = 3;
    ins.progress = log_progress;
    // do_render passes a null user pointer: reach the log through a static.
    static ProgressLog *current;
    current = &log;
    ins.progress = [](void *, float f) { log_progress(current, f); };
    EXPECT_EQ(do_render(&ins, 44100), 0u);
    TempDir dir;
    const std::string path = dir.file("stopped.wav");
    std::string message;
    ASSERT_EQ(save_wav(nullptr, path.c_str(), message, 44100), 0) << message;
    std::istringstream read(python_wave_read(path));
    int channels = 0, width = 0, rate = 0, frames = -1;
    read >> channels >> width >> rate >> frames;
    EXPECT_EQ(channels, 1);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(frames, 0);
}

TEST(WavExport, ReplacesExistingFileKeepingItsModeAndLinks)
{
    render_default_second(8000);
    TempDir dir;
    const std::string path = dir.file("old.wav"), link = dir.file("link.wav");
    write_file(path, "old content");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    fs::create_symlink(path, link);
    std::string message;
    ASSERT_EQ(save_wav(nullptr, link.c_str(), message, 8000), 0) << message;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::file_size(path), 44u + 2 * 8000); // RIFF, fmt and data headers, 2 bytes a frame
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(WavExport, MissingFolderGivesEnoentAndThePath)
{
    render_default_second(8000);
    TempDir dir;
    const std::string path = dir.file("no/such/folder/x.wav");
    std::string message;
    EXPECT_EQ(save_wav(nullptr, path.c_str(), message, 8000), ENOENT);
    EXPECT_EQ(message, "Could not write file " + path);
    std::string dir_message;
    EXPECT_EQ(save_wav(nullptr, dir.path.c_str(), dir_message, 8000), EISDIR);
}

TEST(WavExport, FullDiskGivesEnospcAndTheMessage)
{
    render_default_second(8000);
    std::string message;
    EXPECT_EQ(save_wav(nullptr, "/dev/full", message, 8000), ENOSPC);
    EXPECT_EQ(message, "Could not write file /dev/full");
}

// The file size limit stands in for a disk that fills up in the middle of the
// frames: the write fails with EFBIG on a regular file in a writable folder.
TEST(WavExport, FailedWriteKeepsExistingFileAndLeavesNoTemporary)
{
    render_default_second(48000);
    TempDir dir;
    const std::string path = dir.file("keep.wav");
    write_file(path, "the previous take");

    struct rlimit old_limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096; // a header and a few frames fit, 96000 bytes do not
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    const int r = save_wav(nullptr, path.c_str(), message, 48000);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(r, EFBIG);
    EXPECT_EQ(message, "Could not write file " + path);
    EXPECT_EQ(read_file(path), "the previous take");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

// What soxi says of a file for `option` (-c channels, -b bits, -e encoding).
std::string soxi(const char *option, const std::string &path)
{
    const gchar *argv[] = {CW_SOXI, option, path.c_str(), nullptr};
    gchar *out = nullptr;
    g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_STDERR_TO_DEV_NULL,
                 nullptr, nullptr, &out, nullptr, nullptr, nullptr);
    const std::string said = out ? g_strchomp(out) : "";
    g_free(out);
    return said;
}

// The samples of a file as libaudiofile reads them (24-bit ones as int32_t).
template <typename Sample>
std::vector<Sample> library_read(const std::string &path, int channels)
{
    const std::unique_ptr<std::remove_pointer_t<AFfilehandle>, decltype(&afCloseFile)> file(
        afOpenFile(path.c_str(), "r", AF_NULL_FILESETUP), afCloseFile);
    if (!file || afGetChannels(file.get(), AF_DEFAULT_TRACK) != channels)
        return {};
    std::vector<Sample> read(afGetFrameCount(file.get(), AF_DEFAULT_TRACK) * channels);
    const int frames = afReadFrames(file.get(), AF_DEFAULT_TRACK, read.data(),
                                    static_cast<int>(read.size()) / channels);
    read.resize(static_cast<size_t>(frames) * channels);
    return read;
}

TEST(WavFrames, Pcm16MonoHasTheBytesOfSaveWav)
{
    render_default_second(44100);
    TempDir dir;
    const std::string exported = dir.file("export.wav"), written = dir.file("frames.wav");
    std::string message;
    ASSERT_EQ(save_wav(nullptr, exported.c_str(), message, 44100), 0) << message;
    ASSERT_EQ(save_wav_frames(written.c_str(), {render_buffer, sample_count}, 1, 44100,
                              WavBits::pcm16, nullptr, message), 0) << message;
    EXPECT_EQ(read_file(written), read_file(exported));
}

TEST(WavFrames, StereoReadsBackAsWrittenIn24BitAndFloat)
{
    std::vector<double> frames; // left a ramp over the whole scale, right another curve
    for (int i = 0; i <= 2000; ++i)
        frames.insert(frames.end(), {i / 1000.0 - 1.0, 0.7 * std::sin(i * 0.01) - 1e-7});
    TempDir dir;
    const std::string pcm24 = dir.file("24.wav"), float32 = dir.file("32f.wav");
    std::string message;
    ASSERT_EQ(
        save_wav_frames(pcm24.c_str(), frames, 2, 96000, WavBits::pcm24, nullptr, message), 0);
    const auto ints = library_read<int32_t>(pcm24, 2);
    ASSERT_EQ(ints.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) // truncation, and +1 as 2^23 - 1: within a step
        ASSERT_NEAR(ints[i], frames[i] * 8388608.0, 1.0) << i;

    frames.insert(frames.end(), {1.5, -3.25}); // beyond full scale, kept as they are
    ASSERT_EQ(
        save_wav_frames(float32.c_str(), frames, 2, 96000, WavBits::float32, nullptr, message), 0);
    const auto floats = library_read<float>(float32, 2);
    ASSERT_EQ(floats.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(floats[i], static_cast<float>(frames[i])) << i;
    for (const auto &[path, format] : {std::pair{pcm24, "2 24 Signed Integer PCM"},
                                       std::pair{float32, "2 32 Floating Point PCM"}})
        EXPECT_EQ(soxi("-c", path) + " " + soxi("-b", path) + " " + soxi("-e", path), format);
}

// Float writes every value as it is.
TEST(WavFrames, IntegerFormatsClampAndCountWhatIsBeyondFullScale)
{
    const std::vector<double> frames = {1.0, -1.0, 0.25, 1.0000001, -2.0, NAN, INFINITY, -INFINITY};
    TempDir dir;
    const std::string path = dir.file("loud.wav");
    std::string message;
    // +-1 are full scale, not beyond it. pcm24 last, for the clamped values.
    using Count = std::pair<WavBits, uint64_t>;
    for (const auto &[bits, count] :
         {Count{WavBits::float32, 0}, Count{WavBits::pcm16, 5}, Count{WavBits::pcm24, 5}}) {
        uint64_t clipped = 7;
        ASSERT_EQ(save_wav_frames(path.c_str(), frames, 1, 8000, bits, &clipped, message), 0);
        EXPECT_EQ(clipped, count);
    }
    const std::vector<int32_t> clamped = {8388607, -8388608, 2097152, 8388607,
                                          -8388608, 0,        8388607, -8388608};
    EXPECT_EQ(library_read<int32_t>(path, 1), clamped);
}

// Refused before any file is made: in a missing folder a save that got that
// far would answer ENOENT, as a whole stereo frame does.
TEST(WavFrames, LayoutsNoFileCanHoldAreRefused)
{
    TempDir dir;
    const std::string path = dir.file("missing/x.wav");
    const std::vector<double> three(3, 0.0);
    std::string message;
    EXPECT_EQ(save_wav_frames(path.c_str(), three, 3, 8000, WavBits::pcm16, nullptr, message), -1);
    EXPECT_EQ(save_wav_frames(path.c_str(), three, 2, 8000, WavBits::pcm16, nullptr, message), -1);
    EXPECT_EQ(message, "Could not write file " + path);
    EXPECT_EQ(save_wav_frames(path.c_str(), {three.data(), 2}, 2, 8000, WavBits::pcm16, nullptr,
                              message), ENOENT);

    // The data and the library's header (under 100 bytes) fit the 32-bit RIFF size.
    EXPECT_LE(wav_frames_max(1, WavBits::pcm16) * 2 + 100, UINT32_MAX);
    const uint64_t samples = (wav_frames_max(2, WavBits::float32) + 1) * 2;
    const size_t bytes = samples * sizeof(double); // 8 GiB of address space, never read
    const std::unique_ptr<void, std::function<void(void *)>> zeros(
        mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0),
        [bytes](void *p) {
            if (p != MAP_FAILED)
                munmap(p, bytes);
        });
    ASSERT_NE(zeros.get(), MAP_FAILED);
    EXPECT_EQ(save_wav_frames(path.c_str(), {static_cast<const double *>(zeros.get()), samples}, 2,
                              8000, WavBits::float32, nullptr, message), -1);
}

// Root may write any file: the save runs in a child as nobody then.
TEST(WavFrames, ReadOnlyFileIsKeptAndRefusedWithEacces)
{
    constexpr uid_t nobody = 65534;
    constexpr int child_failed = 200; // no error number
    TempDir dir;
    const std::string locked = dir.file("locked.wav");
    write_file(locked, "the previous take");
    ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0); // nobody may reach the file
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(child_failed);
        std::string said;
        const std::vector<double> frames(64, 0.5);
        const int r =
            save_wav_frames(locked.c_str(), frames, 2, 8000, WavBits::float32, nullptr, said);
        _exit(said == "Could not write file " + locked ? r : child_failed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, EACCES);
    EXPECT_EQ(read_file(locked), "the previous take");
}

} // namespace
