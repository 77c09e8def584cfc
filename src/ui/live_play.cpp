// Live play in the window: the outputs, the worker that prepares engines,
// and the keyboard's way in.
#include "live_play.h"

#include <glib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "jack_instrument.h"
#include "live_stream.h"
#include "live_synth.h"
#include "voice_engine.h"
#include "window_state.h"

namespace {

constexpr const char *jack_client_name = "clangwright";
constexpr uint8_t status_note_off = 0x80, status_note_on = 0x90;
// How often the worker frees engines the audio side is done with.
constexpr auto collect_interval = std::chrono::milliseconds(50);
// The worker's scheduling: below the other threads of the program.
constexpr int worker_niceness = 10;
// How often the main thread looks whether the JACK server has gone away.
constexpr guint server_poll_ms = 500;

// True when both play the same: the values the engine is built from.
bool same_sound(const Instrument &a, const Instrument &b)
{
    if (a.type != b.type || a.actuation_node != b.actuation_node ||
        a.sampling_node != b.sampling_node || a.tension != b.tension || a.speed != b.speed ||
        a.damping != b.damping || a.actuation != b.actuation || a.velocity != b.velocity)
        return false;
    switch (a.type) {
    case TYPE_TUBE:
        return a.tube_height == b.tube_height && a.tube_circumference == b.tube_circumference;
    case TYPE_ROD:
        return a.rod_length == b.rod_length;
    default:
        return a.plane_length == b.plane_length && a.plane_width == b.plane_width;
    }
}

// The worker: prepares the newest sound asked for, offers it to the synth,
// and frees what the synth hands back.
class Preparer {
public:
    explicit Preparer(LiveSynth &synth) : synth_(synth), thread_(&Preparer::run, this) {}
    ~Preparer()
    {
        // A large mesh takes seconds to prepare: closing does not wait.
        cancel_.store(true, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        thread_.join();
        if (idle_)
            g_source_remove(idle_);
    }

    void ask(const Instrument &ins)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wanted_ = ins;
            wanted_.progress = nullptr;
            wanted_.stop = 0;
            ++wanted_generation_;
        }
        wake_.notify_one();
    }

    LiveKeys keys()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return keys_;
    }
    uint64_t prepared()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return prepared_count_;
    }

private:
    void run();
    static gboolean keys_changed(gpointer self);

    LiveSynth &synth_;
    std::mutex mutex_;
    std::condition_variable wake_;
    Instrument wanted_{};
    uint64_t wanted_generation_ = 0, done_generation_ = 0, prepared_count_ = 0;
    bool quit_ = false;
    std::atomic<bool> cancel_{false};
    LiveKeys keys_;
    guint idle_ = 0; // the pending report of new keys to the main thread
    // Only the worker's own.
    bool have_prepared_ = false;
    Instrument prepared_{};
    std::thread thread_; // last: it starts once the rest is made
};

void Preparer::run()
{
    // Preparing yields to the toolkit's thread and the audio thread.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), worker_niceness);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        wake_.wait_for(lock, collect_interval,
                       [this] { return quit_ || wanted_generation_ != done_generation_; });
        synth_.collect();
        if (quit_ || wanted_generation_ == done_generation_)
            continue;
        const Instrument ins = wanted_;
        const uint64_t generation = wanted_generation_;
        lock.unlock();
        bool made = false;
        LiveKeys keys;
        if (!have_prepared_ || !same_sound(ins, prepared_)) {
            std::string error;
            std::unique_ptr<voice::VoiceEngine> engine = voice::VoiceEngine::prepare(
                ins, synth_.rate_hz(), voice::EngineSettings{}, synth_.max_block(), error,
                &cancel_);
            // A sound the engine cannot play leaves the last one playing.
            if (engine) {
                keys = {engine->lowest_key(), engine->highest_key(), engine->root_key()};
                synth_.offer(std::move(engine));
                prepared_ = ins;
                have_prepared_ = true;
                made = true;
            }
        }
        lock.lock();
        done_generation_ = generation;
        if (made) {
            ++prepared_count_;
            keys_ = keys;
            if (!idle_)
                idle_ = g_idle_add(keys_changed, this);
        }
    }
}

void (*keys_listener)() = nullptr;

gboolean Preparer::keys_changed(gpointer self)
{
    {
        auto *p = static_cast<Preparer *>(self);
        std::lock_guard<std::mutex> lock(p->mutex_);
        p->idle_ = 0;
    }
    if (keys_listener)
        keys_listener();
    return FALSE;
}

void render_block(void *synth, float *left, float *right, uint32_t frames)
{
    static_cast<LiveSynth *>(synth)->process({}, left, right, frames);
}

bool synth_idle(void *synth)
{
    return static_cast<const LiveSynth *>(synth)->idle();
}

// What runs, in the order it is torn down: the outputs stop before the
// worker, and the synth goes last.
struct LivePlay {
    LiveOutput output = LiveOutput::none;
    int32_t pulse_rate_hz = 0;
    guint server_watch = 0; // while on JACK
    std::unique_ptr<LiveSynth> own_synth; // the stream's, or the test's
    LiveSynth *synth = nullptr;
    std::unique_ptr<Preparer> preparer;
    std::unique_ptr<JackInstrument> jack;
    std::unique_ptr<LiveStream> pulse;

    ~LivePlay()
    {
        if (server_watch)
            g_source_remove(server_watch);
        if (jack)
            jack->close(); // keeps its synth for the worker until the end
        pulse.reset();
        preparer.reset();
        jack.reset();
    }
};

std::unique_ptr<LivePlay> live;

// A server that went away leaves the window on the live stream, as if it
// had started without one.
gboolean watch_server(gpointer)
{
    if (!live->jack->server_gone())
        return TRUE;
    live->server_watch = 0;
    live_play_start(live->pulse_rate_hz);
    return FALSE;
}

void start_preparing()
{
    live->preparer = std::make_unique<Preparer>(*live->synth);
    live->preparer->ask(instrument);
}

} // namespace

void live_play_start(int32_t pulse_rate_hz)
{
    live_play_stop();
    live = std::make_unique<LivePlay>();
    live->pulse_rate_hz = pulse_rate_hz;
    live->jack = JackInstrument::open(jack_client_name);
    if (live->jack) {
        live->output = LiveOutput::jack;
        live->synth = &live->jack->synth();
        live->server_watch = g_timeout_add(server_poll_ms, watch_server, nullptr);
    } else {
        live->own_synth =
            std::make_unique<LiveSynth>(pulse_rate_hz, static_cast<int32_t>(LiveStream::block_frames));
        live->synth = live->own_synth.get();
        live->pulse = LiveStream::open(pulse_rate_hz, render_block, synth_idle, live->synth);
        if (live->pulse)
            live->output = LiveOutput::pulse;
    }
    start_preparing();
}

void live_play_start_unconnected(int32_t rate_hz, int32_t max_block)
{
    live_play_stop();
    live = std::make_unique<LivePlay>();
    live->own_synth = std::make_unique<LiveSynth>(rate_hz, max_block);
    live->synth = live->own_synth.get();
    start_preparing();
}

void live_play_stop()
{
    live.reset();
}

LiveOutput live_play_output()
{
    return live ? live->output : LiveOutput::none;
}

LiveSynth *live_play_synth()
{
    return live ? live->synth : nullptr;
}

void live_play_sound_changed()
{
    if (live)
        live->preparer->ask(instrument);
}

void live_play_silence()
{
    if (live)
        live->synth->silence();
}

void live_play_key(int32_t key, int32_t velocity, bool down)
{
    if (!live || key < 0 || key > 127)
        return;
    const auto k = static_cast<uint8_t>(key);
    if (down)
        live->synth->send({status_note_on, k, static_cast<uint8_t>(std::clamp(velocity, 1, 127))});
    else
        live->synth->send({status_note_off, k, 0});
    if (live->pulse)
        live->pulse->wake();
}

LiveKeys live_play_keys()
{
    return live ? live->preparer->keys() : LiveKeys{};
}

void live_play_set_keys_listener(void (*listener)())
{
    keys_listener = listener;
}

uint64_t live_play_engines_prepared()
{
    return live ? live->preparer->prepared() : 0;
}
