// The PulseAudio driver and the playback pump against a real, private
// PulseAudio server: what the driver asks the server for, what arrives at the
// null sink, and what happens when the server dies under a playback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "playback.h"
#include "pulse_driver.h"
#include "render.h"
#include "sound_driver.h"

extern char **environ;

namespace {

constexpr int32_t sink_rate_hz = 48000; // the null sink's rate: no resampling

std::vector<std::string> reported;

void record_report(const char *text)
{
    reported.push_back(text);
}

// Points the client library at the server that start_server.sh runs in `dir`.
void use_server(const std::string &dir)
{
    setenv("PULSE_SERVER", ("unix:" + dir + "/run/native").c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (dir + "/client.conf").c_str(), 1);
    setenv("HOME", (dir + "/home").c_str(), 1);
}

std::string run_output(const std::string &command)
{
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    char chunk[4096];
    size_t n;
    while (pipe && (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
        out.append(chunk, n);
    return out;
}

off_t file_size(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

void wait_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A recording of the sink's monitor by parec, into a file; ended (SIGINT)
// and reaped on destruction.
class MonitorRecording {
public:
    explicit MonitorRecording(const std::string &path) : path_(path)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const char *argv[] = {"parec", "--raw", "--format=s16le", "--rate=48000", "--channels=1",
                              "--device=cwnull.monitor", "--latency-msec=20", nullptr};
        if (posix_spawnp(&pid_, "parec", &actions, nullptr, const_cast<char **>(argv), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~MonitorRecording() { stop(); }
    MonitorRecording(const MonitorRecording &) = delete;
    MonitorRecording &operator=(const MonitorRecording &) = delete;

    bool running() const { return pid_ > 0; }

    //! Waits up to 5 s for the first recorded bytes: the idle null sink
    //! feeds its monitor with silence, so data means the recording runs.
    bool wait_for_data() const
    {
        for (int i = 0; i < 500 && file_size(path_) == 0; ++i)
            wait_ms(10);
        return file_size(path_) > 0;
    }

    std::vector<int16_t> stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGINT);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        std::ifstream in(path_, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<int16_t> frames(bytes.size() / sizeof(int16_t));
        std::copy_n(bytes.data(), frames.size() * sizeof(int16_t), reinterpret_cast<char *>(frames.data()));
        return frames;
    }

private:
    std::string path_;
    pid_t pid_ = -1;
};

class PulseServer : public ::testing::Test {
protected:
    Instrument instrument = instrument_defaults();

    void SetUp() override
    {
        use_server(CW_PULSE_FIXTURE_DIR);
        cwr_reset_drivers();
        cwr_register_builtin_drivers();
        reported.clear();
        cwr_set_error_reporter(record_report);
    }
    void TearDown() override
    {
        cwr_close_driver();
        cwr_reset_drivers();
        cwr_set_error_reporter(nullptr);
        set_play_events_hook(nullptr);
        sample_length = 1.0;
    }
};

TEST_F(PulseServer, OpenAsksForAMonoS16leStreamNamedSoundOfClangwright)
{
    cwr_set_driver(0, 96000);
    ASSERT_EQ(driver, &driver_pulse) << (reported.empty() ? "" : reported[0]);
    const std::vector<int16_t> block(play_block_frames, 0);
    EXPECT_EQ(driver_pulse.write(block.data(), play_block_frames), play_block_frames);

    const std::string inputs = run_output("pactl list sink-inputs 2>&1");
    EXPECT_NE(inputs.find("Sample Specification: s16le 1ch 96000Hz"), std::string::npos) << inputs;
    EXPECT_NE(inputs.find("application.name = \"Clangwright\""), std::string::npos) << inputs;
    EXPECT_NE(inputs.find("media.name = \"sound\""), std::string::npos) << inputs;
    EXPECT_TRUE(reported.empty());
}

TEST_F(PulseServer, WriteAfterCloseFailsInsteadOfUsingTheFreedStream)
{
    cwr_set_driver(0, sink_rate_hz);
    ASSERT_EQ(driver, &driver_pulse);
    const std::vector<int16_t> block(play_block_frames, 0);
    EXPECT_EQ(driver_pulse.write(block.data(), play_block_frames), play_block_frames);
    driver_pulse.close();
    EXPECT_EQ(driver_pulse.write(block.data(), play_block_frames), -1);
    EXPECT_EQ(pulse_drain(), -1);
    driver = nullptr; // closed behind the registry's back
}

TEST_F(PulseServer, PlayedSoundArrivesAtTheSinkSampleForSample)
{
    sample_length = 0.5;
    const uint64_t frames = do_render(&instrument, sink_rate_hz);
    ASSERT_EQ(frames, 24000u);
    const std::vector<int16_t> sound(samples, samples + frames);

    MonitorRecording recording(std::string(CW_PULSE_FIXTURE_DIR) + "/monitor.raw");
    ASSERT_TRUE(recording.running());
    ASSERT_TRUE(recording.wait_for_data());

    cwr_set_driver(0, sink_rate_hz);
    ASSERT_EQ(driver, &driver_pulse) << (reported.empty() ? "" : reported[0]);
    int blocks = 0;
    static int *block_counter;
    block_counter = &blocks;
    set_play_events_hook([] { ++*block_counter; });
    EXPECT_EQ(play_and_drain(&instrument, sink_rate_hz), 0);
    EXPECT_EQ(blocks, 12); // 24000 frames in blocks of 2048
    wait_ms(300);          // the monitor hands the drained tail on to parec
    const std::vector<int16_t> recorded = recording.stop();
    EXPECT_TRUE(reported.empty());

    // Align on a stretch 50 ms into the sound. The start of a new stream can
    // be missing from the monitor: the sink mixes it into audio it has
    // already rendered (and posted to the monitor) without it.
    constexpr size_t probe_at = sink_rate_hz / 20;
    constexpr size_t probe_frames = 1024;
    const auto probe_begin = sound.begin() + static_cast<std::ptrdiff_t>(probe_at);
    const auto hit = std::search(recorded.begin(), recorded.end(), probe_begin,
                                 probe_begin + static_cast<std::ptrdiff_t>(probe_frames));
    ASSERT_NE(hit, recorded.end()) << "the sound is not in the recording";
    const std::ptrdiff_t offset = (hit - recorded.begin()) - static_cast<std::ptrdiff_t>(probe_at);

    // From the probe to the last frame, everything is identical.
    ASSERT_GE(static_cast<std::ptrdiff_t>(recorded.size()), offset + static_cast<std::ptrdiff_t>(frames))
        << "the recording ends before the sound";
    size_t mismatches = 0;
    for (size_t i = probe_at; i < frames; ++i)
        mismatches += recorded[static_cast<size_t>(offset + static_cast<std::ptrdiff_t>(i))] != sound[i];
    EXPECT_EQ(mismatches, 0u);

    // Backwards from the probe, the recording agrees down to the frame where
    // the stream became audible on the monitor; that is at most the sink's
    // latency into the sound (20 ms measured; 50 ms allowed for a loaded
    // machine, the probe's own position).
    size_t first = probe_at;
    while (first > 0 && offset + static_cast<std::ptrdiff_t>(first) > 0 &&
           recorded[static_cast<size_t>(offset + static_cast<std::ptrdiff_t>(first) - 1)] == sound[first - 1])
        --first;
    RecordProperty("first_recorded_frame", static_cast<int>(first));
    EXPECT_LT(first, probe_at);
}

TEST(PulseServerKilled, OneErrorIdlePumpThenANewServerPlaysAgain)
{
    const std::string scripts = CW_PULSE_SCRIPTS;
    const std::string dir = CW_PULSE_KILL_DIR;
    const std::string start = "sh " + scripts + "/start_server.sh " + dir;
    const std::string stop = "sh " + scripts + "/stop_server.sh " + dir;
    struct ServerGuard {
        std::string stop;
        ~ServerGuard() { (void)std::system(stop.c_str()); }
    } guard{stop};
    ASSERT_EQ(std::system(start.c_str()), 0);
    use_server(dir);
    cwr_reset_drivers();
    cwr_register_builtin_drivers();
    reported.clear();
    cwr_set_error_reporter(record_report);
    Instrument instrument = instrument_defaults();

    cwr_set_driver(0, sink_rate_hz);
    ASSERT_EQ(driver, &driver_pulse);
    sample_length = 2.0;
    ASSERT_EQ(do_render(&instrument, sink_rate_hz), 96000u);

    static std::string server_pid_file;
    server_pid_file = dir + "/pid";
    static int runs;
    runs = 0;
    set_play_events_hook([] {
        if (runs++ != 2)
            return;
        std::ifstream in(server_pid_file);
        pid_t pid = 0;
        in >> pid;
        ASSERT_GT(pid, 0);
        kill(pid, SIGKILL);
        // Time for the client library to notice the closed connection.
        wait_ms(300);
    });
    EXPECT_EQ(trigger_play(&instrument, sink_rate_hz), 1);
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_EQ(playing, 0);
    EXPECT_GT(play_remaining, 0); // it did not play out
    set_play_events_hook(nullptr);

    // Reselecting without a server: one more error, and nothing plays.
    reported.clear();
    cwr_set_driver(0, sink_rate_hz);
    EXPECT_EQ(driver, nullptr);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "Sound driver error:\nSorry, no diagnostics is available in Pulseaudio driver");
    EXPECT_EQ(trigger_play(&instrument, sink_rate_hz), 1);
    EXPECT_EQ(play_and_drain(&instrument, sink_rate_hz), 1);
    EXPECT_EQ(reported.size(), 1u);

    // A new server, the driver selected again: the sound plays to its end.
    ASSERT_EQ(std::system(start.c_str()), 0);
    reported.clear();
    cwr_set_driver(0, sink_rate_hz);
    ASSERT_EQ(driver, &driver_pulse);
    sample_length = 0.3;
    ASSERT_GT(do_render(&instrument, sink_rate_hz), 0u);
    EXPECT_EQ(play_and_drain(&instrument, sink_rate_hz), 0);
    EXPECT_EQ(play_remaining, 0);
    EXPECT_TRUE(reported.empty());

    cwr_close_driver();
    cwr_reset_drivers();
    cwr_set_error_reporter(nullptr);
    sample_length = 1.0;
}

} // namespace
