// The LV2 instrument: MIDI in, the voice engine's two channels out.
//
// Threads, as LV2 names them:
// - run() and work_response() (audio): read the controls, hand rebuilds and
//   engines to free to the worker, play the events through an EnginePair;
//   nothing there allocates, locks, touches a file or calls the system.
// - work() (the host's worker): prepares the engines a control asked for
//   and frees those that are done.
// - instantiate, activate, restore (no run meanwhile): may prepare at once;
//   a host without a worker gets the rebuilds a control asked for here, at
//   the next activate.
// - save (beside run): reads the sound run() last published.
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <libintl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "engine_pair.h"
#include "intl.h"
#include "plugin_controls.h"
#include "plugin_state.h"
#include "voice_engine.h"

namespace cw_lv2 {

namespace {

using voice::VoiceEngine;
using voice::VoiceEvent;

// The engine is prepared for blocks of this many frames, as the renderer
// prepares it for scores; longer host blocks are split.
constexpr int32_t engine_block = 4096;
// MIDI events of one engine block; more at one frame are dropped.
constexpr size_t events_max = 1024;
// Engines waiting to be freed.
constexpr size_t to_free_max = 16;

// FFTW's planner, which prepare() measures through, is not thread-safe, and
// a host may run the workers of several instances at once.
std::mutex prepare_mutex;

enum class Request : uint32_t { build, free };
struct BuildRequest {
    Request kind;
    Sound sound;
};
struct FreeRequest {
    Request kind;
    VoiceEngine *engine;
};
struct BuildResponse {
    VoiceEngine *engine; // null: the sound cannot be played
    Sound sound;
};

bool same_settings(const voice::EngineSettings &a, const voice::EngineSettings &b)
{
    return voice::same_preparation(a, b) && a.release_s == b.release_s &&
           a.one_shot == b.one_shot && a.restrike == b.restrike &&
           a.velocity_curve == b.velocity_curve && a.level_db == b.level_db;
}

const void *feature(const LV2_Feature *const *features, const char *uri)
{
    for (; features && *features; ++features)
        if (std::strcmp((*features)->URI, uri) == 0)
            return (*features)->data;
    return nullptr;
}

class Plugin {
public:
    Plugin(int32_t rate, LV2_URID_Map *map, LV2_Worker_Schedule *schedule, LV2_Log_Log *log)
        : rate_(rate), map_(map), schedule_(schedule), pair_(engine_block)
    {
        lv2_log_logger_init(&logger_, map, log);
        midi_event_ = map->map(map->handle, LV2_MIDI__MidiEvent);
        atom_string_ = map->map(map->handle, LV2_ATOM__String);
        document_urid_ = map->map(map->handle, document_key);
        seen_.fill(NAN);
        values_.fill(NAN);
        publish();
    }
    ~Plugin()
    {
        delete pair_.swap_in(nullptr);
        delete pair_.swap_in(nullptr);
        free_now();
    }
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    void connect(uint32_t port, void *data)
    {
        if (port < port_count)
            ports_[port] = data;
    }

    void activate()
    {
        // The controls a host set before activating make the first sound.
        read_controls();
        free_now();
        if (!pair_.current() || needs_build())
            build_now(wanted_);
        if (pair_.current())
            pair_.current()->reset();
        if (pair_.ringing())
            pair_.ringing()->reset();
    }

    void run(uint32_t frames);
    LV2_Worker_Status work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                           uint32_t size, const void *data);
    LV2_Worker_Status work_response(uint32_t size, const void *data);
    LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle);
    LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

private:
    bool needs_build() const;
    void read_controls();
    void schedule_build();
    void hand_over(VoiceEngine *engine);
    void schedule_frees();
    void play(uint32_t from, uint32_t frames);
    void build_now(const Sound &sound);
    void free_now();
    void publish();
    Sound published() const;

    const int32_t rate_;
    LV2_URID_Map *map_;
    LV2_Worker_Schedule *schedule_; // null: no worker
    LV2_Log_Logger logger_{};
    LV2_URID midi_event_ = 0, atom_string_ = 0, document_urid_ = 0;
    std::array<void *, port_count> ports_{};
    std::array<float, port_count> values_{}, seen_{};
    bool adopt_controls_ = false; // a restored sound stands until a control moves

    Sound wanted_ = sound_defaults(); // what the controls and the state ask for
    Sound built_ = wanted_;           // what the current engine was prepared for
    Sound failed_{};                  // the last sound that could not be prepared
    bool has_failed_ = false;
    bool building_ = false; // a build request is with the worker

    voice::EnginePair pair_;
    std::array<VoiceEngine *, to_free_max> to_free_{};
    size_t num_to_free_ = 0;
    std::array<VoiceEvent, events_max> events_{};
    size_t num_events_ = 0;

    // The sound save() reads, guarded by a sequence count: odd while run()
    // writes it.
    std::atomic<uint32_t> sequence_{0};
    Sound published_{};
};

bool Plugin::needs_build() const
{
    const auto differs = [&](const Sound &s) {
        return !same_instrument(wanted_.instrument, s.instrument) ||
               !voice::same_preparation(wanted_.settings, s.settings);
    };
    return differs(built_) && (!has_failed_ || differs(failed_));
}

void Plugin::read_controls()
{
    uint64_t moved = 0;
    for (uint32_t p = first_control; p < port_count; ++p) {
        const auto *port = static_cast<const float *>(ports_[p]);
        if (!port)
            continue;
        values_[p] = *port;
        // Bitwise, so that the first run (NaN seen) takes every control.
        if (std::memcmp(&values_[p], &seen_[p], sizeof(float)) != 0) {
            seen_[p] = values_[p];
            moved |= uint64_t{1} << (p - first_control);
        }
    }
    if (adopt_controls_) {
        adopt_controls_ = false;
        return;
    }
    if (moved) {
        apply_controls(wanted_, values_.data(), moved);
        publish();
    }
}

void Plugin::run(uint32_t frames)
{
    read_controls();
    VoiceEngine *current = pair_.current();
    if (current && !same_settings(current->settings(), wanted_.settings) &&
        voice::same_preparation(current->settings(), wanted_.settings))
        current->adjust(wanted_.settings);
    if (schedule_ && !building_ && needs_build())
        schedule_build();
    schedule_frees();

    auto *left = static_cast<float *>(ports_[port_out_l]);
    auto *right = static_cast<float *>(ports_[port_out_r]);
    if (!left || !right)
        return;
    const auto *sequence = static_cast<const LV2_Atom_Sequence *>(ports_[port_midi_in]);
    uint32_t done = 0;
    num_events_ = 0;
    if (sequence) {
        LV2_ATOM_SEQUENCE_FOREACH (sequence, ev) {
            if (ev->body.type != midi_event_ || ev->body.size < 1 || ev->body.size > 3)
                continue;
            const auto *bytes = reinterpret_cast<const uint8_t *>(ev + 1);
            if (bytes[0] < 0x80 || bytes[0] >= 0xf0)
                continue; // channel messages only
            const auto at = static_cast<uint32_t>(
                std::clamp<int64_t>(ev->time.frames, done, frames > 0 ? frames - 1 : 0));
            while (at - done >= static_cast<uint32_t>(engine_block)) {
                play(done, engine_block);
                done += engine_block;
            }
            if (num_events_ == events_max && at > done) {
                play(done, at - done);
                done = at;
            }
            if (num_events_ < events_max)
                events_[num_events_++] = {at - done, bytes[0],
                                          ev->body.size > 1 ? bytes[1] : uint8_t{0},
                                          ev->body.size > 2 ? bytes[2] : uint8_t{0}};
        }
    }
    while (done < frames) {
        const uint32_t n = std::min(frames - done, static_cast<uint32_t>(engine_block));
        play(done, n);
        done += n;
    }
    // A build with the worker keeps a place for the engine it replaces.
    if (num_to_free_ + (building_ ? 1 : 0) < to_free_max)
        if (VoiceEngine *finished = pair_.take_finished())
            hand_over(finished);
}

void Plugin::play(uint32_t from, uint32_t frames)
{
    auto *left = static_cast<float *>(ports_[port_out_l]);
    auto *right = static_cast<float *>(ports_[port_out_r]);
    pair_.process(std::span<const VoiceEvent>(events_.data(), num_events_), left + from,
                  right + from, frames);
    num_events_ = 0;
}

void Plugin::schedule_build()
{
    // The engine this build replaces needs a place among those to free.
    if (num_to_free_ >= to_free_max)
        return;
    const BuildRequest request{Request::build, wanted_};
    // A host may run the worker and answer at once, inside this call.
    building_ = true;
    if (schedule_->schedule_work(schedule_->handle, sizeof request, &request) !=
        LV2_WORKER_SUCCESS)
        building_ = false;
}

void Plugin::hand_over(VoiceEngine *engine)
{
    if (engine && num_to_free_ < to_free_max)
        to_free_[num_to_free_++] = engine;
}

void Plugin::schedule_frees()
{
    if (!schedule_)
        return; // freed at the next activate
    while (num_to_free_ > 0) {
        const FreeRequest request{Request::free, to_free_[num_to_free_ - 1]};
        if (schedule_->schedule_work(schedule_->handle, sizeof request, &request) !=
            LV2_WORKER_SUCCESS)
            break;
        --num_to_free_;
    }
}

LV2_Worker_Status Plugin::work(LV2_Worker_Respond_Function respond,
                               LV2_Worker_Respond_Handle handle, uint32_t size, const void *data)
{
    Request kind{};
    if (size < sizeof kind)
        return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&kind, data, sizeof kind);
    if (kind == Request::free && size == sizeof(FreeRequest)) {
        FreeRequest request{};
        std::memcpy(&request, data, sizeof request);
        delete request.engine;
        return LV2_WORKER_SUCCESS;
    }
    if (kind != Request::build || size != sizeof(BuildRequest))
        return LV2_WORKER_ERR_UNKNOWN;
    BuildRequest request{};
    std::memcpy(&request, data, sizeof request);
    std::string error;
    std::unique_ptr<VoiceEngine> engine;
    {
        const std::lock_guard<std::mutex> lock(prepare_mutex);
        engine = VoiceEngine::prepare(request.sound.instrument, rate_, request.sound.settings,
                                      engine_block, error);
    }
    if (!engine)
        lv2_log_error(&logger_, _("Clangwright: this sound cannot be played (%s); the one before "
                                  "it plays on.\n"),
                      error.c_str());
    const BuildResponse response{engine.get(), request.sound};
    if (respond(handle, sizeof response, &response) != LV2_WORKER_SUCCESS)
        return LV2_WORKER_ERR_NO_SPACE; // the engine goes with `engine`
    engine.release(); // now the audio thread's
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status Plugin::work_response(uint32_t size, const void *data)
{
    if (size != sizeof(BuildResponse))
        return LV2_WORKER_ERR_UNKNOWN;
    BuildResponse response{};
    std::memcpy(&response, data, sizeof response);
    building_ = false;
    if (!response.engine) {
        failed_ = response.sound;
        has_failed_ = true;
        return LV2_WORKER_SUCCESS;
    }
    hand_over(pair_.swap_in(response.engine));
    built_ = response.sound;
    // The live settings may have moved while it was built.
    if (!same_settings(built_.settings, wanted_.settings) &&
        voice::same_preparation(built_.settings, wanted_.settings))
        response.engine->adjust(wanted_.settings);
    return LV2_WORKER_SUCCESS;
}

void Plugin::build_now(const Sound &sound)
{
    std::string error;
    std::unique_ptr<VoiceEngine> engine;
    {
        const std::lock_guard<std::mutex> lock(prepare_mutex);
        engine = VoiceEngine::prepare(sound.instrument, rate_, sound.settings, engine_block, error);
    }
    if (!engine) {
        lv2_log_error(&logger_, _("Clangwright: this sound cannot be played (%s); the one before "
                                  "it plays on.\n"),
                      error.c_str());
        failed_ = sound;
        has_failed_ = true;
        return;
    }
    delete pair_.swap_in(engine.release());
    built_ = sound;
}

void Plugin::free_now()
{
    for (size_t i = 0; i < num_to_free_; ++i)
        delete to_free_[i];
    num_to_free_ = 0;
}

void Plugin::publish()
{
    sequence_.fetch_add(1, std::memory_order_acq_rel);
    std::atomic_thread_fence(std::memory_order_release);
    published_ = wanted_;
    sequence_.fetch_add(1, std::memory_order_release);
}

Sound Plugin::published() const
{
    for (;;) {
        const uint32_t before = sequence_.load(std::memory_order_acquire);
        Sound copy = published_;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (!(before & 1) && sequence_.load(std::memory_order_relaxed) == before)
            return copy;
    }
}

LV2_State_Status Plugin::save(LV2_State_Store_Function store, LV2_State_Handle handle)
{
    const std::string document = sound_document(published());
    if (document.empty())
        return LV2_STATE_ERR_UNKNOWN;
    return store(handle, document_urid_, document.c_str(), document.size() + 1, atom_string_,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status Plugin::restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle)
{
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void *data = retrieve(handle, document_urid_, &size, &type, &flags);
    if (!data)
        return LV2_STATE_SUCCESS; // a state of controls only: they say it all
    std::string fault;
    std::optional<Sound> sound;
    if (type != atom_string_)
        fault = _("the state's document is not text");
    else
        sound = read_sound_document(static_cast<const char *>(data), size, fault);
    if (sound) {
        // Prepared here, so that the song plays its sound from its first note.
        build_now(*sound);
        if (same_instrument(built_.instrument, sound->instrument) &&
            same_settings(built_.settings, sound->settings)) {
            wanted_ = *sound;
            adopt_controls_ = true;
            publish();
            return LV2_STATE_SUCCESS;
        }
        return LV2_STATE_ERR_UNKNOWN; // build_now said why
    }
    lv2_log_error(&logger_, _("Clangwright: the saved state was refused (%s); the sound stays "
                              "as it was.\n"),
                  fault.c_str());
    return LV2_STATE_ERR_UNKNOWN;
}

// ---- the C entry points ----

Plugin *self(LV2_Handle h)
{
    return static_cast<Plugin *>(h);
}

LV2_Handle instantiate(const LV2_Descriptor *, double rate, const char *,
                       const LV2_Feature *const *features)
{
    auto *map = static_cast<LV2_URID_Map *>(const_cast<void *>(feature(features, LV2_URID__map)));
    if (!map || !(rate >= 1.0 && rate <= 1.0e6))
        return nullptr;
    bindtextdomain(CW_TEXT_DOMAIN, CW_LOCALEDIR);
    bind_textdomain_codeset(CW_TEXT_DOMAIN, "UTF-8");
    auto *schedule = static_cast<LV2_Worker_Schedule *>(
        const_cast<void *>(feature(features, LV2_WORKER__schedule)));
    auto *log = static_cast<LV2_Log_Log *>(const_cast<void *>(feature(features, LV2_LOG__log)));
    try {
        return new Plugin(static_cast<int32_t>(std::lround(rate)), map, schedule, log);
    } catch (...) {
        return nullptr;
    }
}

void connect_port(LV2_Handle h, uint32_t port, void *data)
{
    self(h)->connect(port, data);
}

void activate(LV2_Handle h)
{
    self(h)->activate();
}

void run(LV2_Handle h, uint32_t frames)
{
    self(h)->run(frames);
}

void cleanup(LV2_Handle h)
{
    delete self(h);
}

LV2_Worker_Status work(LV2_Handle h, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle handle, uint32_t size, const void *data)
{
    return self(h)->work(respond, handle, size, data);
}

LV2_Worker_Status work_response(LV2_Handle h, uint32_t size, const void *data)
{
    return self(h)->work_response(size, data);
}

LV2_State_Status save(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t, const LV2_Feature *const *)
{
    return self(h)->save(store, handle);
}

LV2_State_Status restore(LV2_Handle h, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle handle, uint32_t, const LV2_Feature *const *)
{
    return self(h)->restore(retrieve, handle);
}

const void *extension_data(const char *uri)
{
    static const LV2_Worker_Interface worker{work, work_response, nullptr};
    static const LV2_State_Interface state{save, restore};
    if (std::strcmp(uri, LV2_WORKER__interface) == 0)
        return &worker;
    if (std::strcmp(uri, LV2_STATE__interface) == 0)
        return &state;
    return nullptr;
}

const LV2_Descriptor descriptor = {plugin_uri, instantiate, connect_port, activate,
                                   run,        nullptr,     cleanup,      extension_data};

} // namespace

} // namespace cw_lv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index)
{
    return index == 0 ? &cw_lv2::descriptor : nullptr;
}
