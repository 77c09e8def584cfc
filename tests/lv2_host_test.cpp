// The installed LV2 bundle in a host of our own on lilv: scores sent in blocks
// of changing size, a worker run after each block as a host that works at
// once would, a mesh control moved mid-score, states saved, restored and
// refused, a library preset loaded; every output compared sample for sample
// with clangwright-render --midi --bits 32f, and the allocations of run() and
// work_response() counted over every score.
#include <gtest/gtest.h>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "midi_score.h"
#include "plugin_controls.h"
#include "program_run.h"

namespace {

using namespace cw_lv2;

constexpr int32_t rate = 48000;
constexpr uint8_t note_on = 0x90, note_off = 0x80, control_change = 0xb0;
constexpr uint8_t cc_sustain = 64, cc_all_notes_off = 123;
// Blocks a host might use, one after another, larger than the engine's own
// block and a frame either side of it included.
constexpr uint32_t changing_blocks[] = {1, 17, 256, 1000, 4095, 4096, 4097, 64, 9000, 333};
constexpr uint32_t block_max = 9000;
constexpr size_t sequence_bytes = 1 << 16;

const std::string prefix = CW_LV2_PREFIX;
const std::string scratch = CW_LV2_SCRATCH;

struct WorldDeleter {
    void operator()(LilvWorld *w) const { lilv_world_free(w); }
};
struct InstanceDeleter {
    void operator()(LilvInstance *i) const { lilv_instance_free(i); }
};
struct StateDeleter {
    void operator()(LilvState *s) const { lilv_state_free(s); }
};
struct NodeDeleter {
    void operator()(LilvNode *n) const { lilv_node_free(n); }
};
using NodePtr = std::unique_ptr<LilvNode, NodeDeleter>;
using StatePtr = std::unique_ptr<LilvState, StateDeleter>;

// urid:map and urid:unmap over one list.
struct Urids {
    std::vector<std::string> uris;
    LV2_URID_Map map{this, [](LV2_URID_Map_Handle h, const char *uri) -> LV2_URID {
                         auto &u = static_cast<Urids *>(h)->uris;
                         const auto it = std::find(u.begin(), u.end(), uri);
                         if (it != u.end())
                             return static_cast<LV2_URID>(it - u.begin() + 1);
                         u.emplace_back(uri);
                         return static_cast<LV2_URID>(u.size());
                     }};
    LV2_URID_Unmap unmap{this, [](LV2_URID_Unmap_Handle h, LV2_URID id) -> const char * {
                             auto &u = static_cast<Urids *>(h)->uris;
                             return id >= 1 && id <= u.size() ? u[id - 1].c_str() : nullptr;
                         }};
};

// log:log, one entry per call.
struct Log {
    std::vector<std::string> lines;
    static int vprintf(LV2_Log_Handle h, LV2_URID, const char *fmt, va_list ap)
    {
        char text[1024];
        const int n = std::vsnprintf(text, sizeof text, fmt, ap);
        static_cast<Log *>(h)->lines.emplace_back(text);
        return n;
    }
    static int printf(LV2_Log_Handle h, LV2_URID type, const char *fmt, ...)
    {
        va_list ap;
        va_start(ap, fmt);
        const int n = vprintf(h, type, fmt, ap);
        va_end(ap);
        return n;
    }
    LV2_Log_Log log{this, printf, vprintf};
};

// work:schedule, run after each block: the requests, then the responses.
struct Worker {
    std::vector<std::vector<uint8_t>> requests, responses;
    LV2_Worker_Schedule schedule{this, [](LV2_Worker_Schedule_Handle h, uint32_t size,
                                          const void *data) {
                                     // The host's own queue is not the plugin's allocation.
                                     const bool was = counting.exchange(false);
                                     const auto *b = static_cast<const uint8_t *>(data);
                                     static_cast<Worker *>(h)->requests.emplace_back(b, b + size);
                                     counting = was;
                                     return LV2_WORKER_SUCCESS;
                                 }};
    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void *data)
    {
        const auto *b = static_cast<const uint8_t *>(data);
        static_cast<Worker *>(h)->responses.emplace_back(b, b + size);
        return LV2_WORKER_SUCCESS;
    }
};

struct Stereo {
    std::vector<float> left, right;
};

// A timed MIDI message of a score sent to the plugin.
struct Sent {
    uint64_t frame;
    uint8_t status, data1, data2;
};

// The score's messages at the frames the renderer plays them, with the
// renderer's end: every key and the pedal let go at the score's end.
std::vector<Sent> score_messages(const std::string &file, uint64_t offset = 0)
{
    std::string error;
    const std::optional<MidiScore> score = read_midi_score(file, 0, error);
    EXPECT_TRUE(score) << error;
    std::vector<Sent> out;
    if (!score)
        return out;
    for (const ScoreEvent &e : score->events)
        out.push_back({offset + static_cast<uint64_t>(std::llround(e.time_s * rate)), e.status,
                       e.data1, e.data2});
    const uint64_t end = offset + static_cast<uint64_t>(std::llround(score->length_s * rate));
    out.push_back({end, control_change, cc_all_notes_off, 0});
    out.push_back({end, control_change, cc_sustain, 0});
    std::stable_sort(out.begin(), out.end(),
                     [](const Sent &a, const Sent &b) { return a.frame < b.frame; });
    return out;
}

// A format 0 file at 120 beats a minute, 480 ticks a beat: a tick is 1/960 s,
// 50 frames at 48000 Hz. Notes: key, on and off times in ticks, velocity.
struct Note {
    uint8_t key;
    uint32_t on, off;
    uint8_t velocity;
};

void write_score(const std::string &file, const std::vector<Note> &notes)
{
    std::vector<std::pair<uint32_t, std::array<uint8_t, 3>>> ev;
    for (const Note &n : notes) {
        ev.push_back({n.on, {note_on, n.key, n.velocity}});
        ev.push_back({n.off, {note_off, n.key, 64}});
    }
    std::stable_sort(ev.begin(), ev.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<uint8_t> track;
    uint32_t now = 0;
    for (const auto &[tick, bytes] : ev) {
        uint32_t delta = tick - now;
        now = tick;
        uint8_t var[4];
        int n = 0;
        do {
            var[n++] = delta & 0x7f;
            delta >>= 7;
        } while (delta);
        for (int i = n - 1; i >= 0; --i)
            track.push_back(static_cast<uint8_t>(var[i] | (i ? 0x80 : 0)));
        track.insert(track.end(), bytes.begin(), bytes.end());
    }
    track.insert(track.end(), {0x00, 0xff, 0x2f, 0x00});
    std::ofstream out(file, std::ios::binary);
    const uint8_t header[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xe0,
                              'M', 'T', 'r', 'k'};
    out.write(reinterpret_cast<const char *>(header), sizeof header);
    const auto size = static_cast<uint32_t>(track.size());
    const char size_bytes[] = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                               static_cast<char>(size >> 8), static_cast<char>(size)};
    out.write(size_bytes, 4);
    out.write(reinterpret_cast<const char *>(track.data()), static_cast<std::streamsize>(size));
}

// The renderer's score as it writes it in 32-bit floats: the engine's own
// floats, converted to nothing.
Stereo render(const std::string &score, const std::vector<std::string> &options)
{
    const std::string wav = scratch + "/render.wav";
    std::vector<std::string> args = {"--midi", score, "--bits", "32f", "-q", "-o", wav};
    args.insert(args.end(), options.begin(), options.end());
    const ProgramRun run = run_program(CW_RENDER_PROGRAM, args, scratch);
    EXPECT_EQ(run.status, 0) << run.err;
    std::ifstream in(wav, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    Stereo out;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            const size_t frames = std::min<size_t>(size, bytes.size() - at - 8) / 8;
            out.left.resize(frames);
            out.right.resize(frames);
            for (size_t f = 0; f < frames; ++f) {
                std::memcpy(&out.left[f], &bytes[at + 8 + 8 * f], 4);
                std::memcpy(&out.right[f], &bytes[at + 12 + 8 * f], 4);
            }
            break;
        }
        at += 8 + size + (size & 1);
    }
    EXPECT_FALSE(out.left.empty());
    return out;
}

// One instance of the installed plugin with its ports, its worker and its
// log.
class Host {
public:
    explicit Host(bool with_worker = true)
    {
        world_.reset(lilv_world_new());
        const std::string bundle = "file://" + prefix + "/lib/lv2/clangwright.lv2/";
        const NodePtr bundle_uri(lilv_new_uri(world_.get(), bundle.c_str()));
        lilv_world_load_bundle(world_.get(), bundle_uri.get());
        const NodePtr uri(lilv_new_uri(world_.get(), plugin_uri));
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_.get()), uri.get());
        if (!plugin_)
            return;
        features_ = {{LV2_URID__map, &urids_.map}, {LV2_URID__unmap, &urids_.unmap},
                     {LV2_LOG__log, &log_.log}, {LV2_WORKER__schedule, &worker_.schedule}};
        for (size_t i = 0; i < features_.size(); ++i)
            if (with_worker || std::strcmp(features_[i].URI, LV2_WORKER__schedule) != 0)
                feature_list_.push_back(&features_[i]);
        feature_list_.push_back(nullptr);
        instance_.reset(lilv_plugin_instantiate(plugin_, rate, feature_list_.data()));
        if (!instance_)
            return;
        for (const ControlPort &c : control_ports()) {
            controls_[c.index] = c.def;
            lilv_instance_connect_port(instance_.get(), c.index, &controls_[c.index]);
        }
        left_.resize(block_max);
        right_.resize(block_max);
        sequence_.resize(sequence_bytes / sizeof(uint64_t));
        lilv_instance_connect_port(instance_.get(), port_midi_in, sequence_.data());
        lilv_instance_connect_port(instance_.get(), port_out_l, left_.data());
        lilv_instance_connect_port(instance_.get(), port_out_r, right_.data());
        worker_iface_ = static_cast<const LV2_Worker_Interface *>(
            lilv_instance_get_extension_data(instance_.get(), LV2_WORKER__interface));
        state_iface_ = static_cast<const LV2_State_Interface *>(
            lilv_instance_get_extension_data(instance_.get(), LV2_STATE__interface));
        lilv_instance_activate(instance_.get());
    }
    ~Host()
    {
        if (instance_)
            lilv_instance_deactivate(instance_.get());
    }

    bool ready() const { return instance_ && worker_iface_ && state_iface_; }
    float &control(Port p) { return controls_[p]; }
    std::vector<std::string> &log() { return log_.lines; }
    LilvWorld *world() { return world_.get(); }
    LV2_URID_Map *map() { return &urids_.map; }
    LV2_URID_Unmap *unmap() { return &urids_.unmap; }
    const LV2_State_Interface *state_interface() const { return state_iface_; }
    LV2_Handle handle() const { return lilv_instance_get_handle(instance_.get()); }
    void reactivate()
    {
        lilv_instance_deactivate(instance_.get());
        lilv_instance_activate(instance_.get());
    }

    //! Plays `score` for `frames` frames in blocks cycling through `blocks`;
    //! `at_block` runs before each block with the block's first frame.
    Stereo play(const std::vector<Sent> &score, uint64_t frames,
                std::span<const uint32_t> blocks = changing_blocks,
                const std::function<void(uint64_t)> &at_block = {})
    {
        Stereo out{std::vector<float>(frames), std::vector<float>(frames)};
        size_t next = 0, b = 0;
        const LV2_URID midi = urids_.map.map(urids_.map.handle, LV2_MIDI__MidiEvent);
        const LV2_URID seq = urids_.map.map(urids_.map.handle, LV2_ATOM__Sequence);
        for (uint64_t at = 0; at < frames;) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(blocks[b++ % blocks.size()],
                                                                    frames - at));
            if (at_block)
                at_block(at);
            auto *s = reinterpret_cast<LV2_Atom_Sequence *>(sequence_.data());
            s->atom = {sizeof(LV2_Atom_Sequence_Body), seq};
            s->body = {0, 0};
            for (; next < score.size() && score[next].frame < at + n; ++next) {
                struct {
                    LV2_Atom_Event event;
                    uint8_t bytes[3];
                } e{};
                e.event.time.frames = static_cast<int64_t>(score[next].frame - at);
                e.event.body = {3, midi};
                e.bytes[0] = score[next].status;
                e.bytes[1] = score[next].data1;
                e.bytes[2] = score[next].data2;
                const bool appended = lv2_atom_sequence_append_event(
                                          s, sequence_bytes - sizeof(LV2_Atom), &e.event) != nullptr;
                EXPECT_TRUE(appended);
            }
            counting = true;
            lilv_instance_run(instance_.get(), n);
            counting = false;
            run_worker();
            std::copy_n(left_.begin(), n, out.left.begin() + static_cast<ptrdiff_t>(at));
            std::copy_n(right_.begin(), n, out.right.begin() + static_cast<ptrdiff_t>(at));
            at += n;
        }
        return out;
    }

    void run_worker()
    {
        std::vector<std::vector<uint8_t>> requests;
        requests.swap(worker_.requests);
        for (const auto &r : requests)
            worker_iface_->work(handle(), Worker::respond, &worker_,
                                static_cast<uint32_t>(r.size()), r.data());
        std::vector<std::vector<uint8_t>> responses;
        responses.swap(worker_.responses);
        counting = true;
        for (const auto &r : responses)
            worker_iface_->work_response(handle(), static_cast<uint32_t>(r.size()), r.data());
        counting = false;
    }

    //! The instance's state, as a host saves it with a song.
    StatePtr save()
    {
        return StatePtr(lilv_state_new_from_instance(
            plugin_, instance_.get(), &urids_.map, nullptr, nullptr, nullptr, nullptr,
            [](const char *symbol, void *user, uint32_t *size, uint32_t *type) -> const void * {
                auto *host = static_cast<Host *>(user);
                for (const ControlPort &c : control_ports())
                    if (std::strcmp(c.symbol, symbol) == 0) {
                        *size = sizeof(float);
                        *type = host->urids_.map.map(host->urids_.map.handle, LV2_ATOM__Float);
                        return &host->controls_[c.index];
                    }
                return nullptr;
            },
            this, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, feature_list_.data()));
    }

    //! The document the plugin saves, as its store function receives it.
    std::string document()
    {
        std::string text;
        state_iface_->save(
            handle(),
            [](LV2_State_Handle h, uint32_t, const void *value, size_t size, uint32_t,
               uint32_t) {
                static_cast<std::string *>(h)->assign(static_cast<const char *>(value),
                                                      size > 0 ? size - 1 : 0);
                return LV2_STATE_SUCCESS;
            },
            &text, 0, nullptr);
        return text;
    }

    //! Hands the plugin's restore `bytes` of `type` as its document, as a
    //! damaged or foreign song file could hold them.
    LV2_State_Status restore_document(const std::string &bytes, LV2_URID type)
    {
        struct Given {
            const std::string *bytes;
            LV2_URID type;
        } given{&bytes, type};
        return state_iface_->restore(
            handle(),
            [](LV2_State_Handle h, uint32_t, size_t *size, uint32_t *t,
               uint32_t *flags) -> const void * {
                const auto *g = static_cast<const Given *>(h);
                *size = g->bytes->size();
                *t = g->type;
                *flags = LV2_STATE_IS_POD;
                return g->bytes->data();
            },
            &given, 0, nullptr);
    }

    //! Restores `state` as a host reopening a song does: its controls, then
    //! the plugin's own state.
    void restore(const LilvState *state)
    {
        lilv_state_restore(
            state, instance_.get(),
            [](const char *symbol, void *user, const void *value, uint32_t size, uint32_t) {
                auto *host = static_cast<Host *>(user);
                for (const ControlPort &c : control_ports())
                    if (std::strcmp(c.symbol, symbol) == 0 && size == sizeof(float))
                        std::memcpy(&host->controls_[c.index], value, sizeof(float));
            },
            this, 0, feature_list_.data());
    }

private:
    Urids urids_;
    Log log_;
    Worker worker_;
    std::unique_ptr<LilvWorld, WorldDeleter> world_;
    const LilvPlugin *plugin_ = nullptr;
    std::vector<LV2_Feature> features_;
    std::vector<const LV2_Feature *> feature_list_;
    std::unique_ptr<LilvInstance, InstanceDeleter> instance_;
    const LV2_Worker_Interface *worker_iface_ = nullptr;
    const LV2_State_Interface *state_iface_ = nullptr;
    std::array<float, port_count> controls_{};
    std::vector<float> left_, right_;
    std::vector<uint64_t> sequence_;
};

// The plugin's output holds the renderer's frames, then silence.
void expect_renders(const Stereo &plugin, const Stereo &renderer)
{
    ASSERT_GE(plugin.left.size(), renderer.left.size());
    size_t differ = 0, first = SIZE_MAX;
    for (size_t f = 0; f < plugin.left.size(); ++f) {
        const float l = f < renderer.left.size() ? renderer.left[f] : 0.0f;
        const float r = f < renderer.right.size() ? renderer.right[f] : 0.0f;
        if (plugin.left[f] != l || plugin.right[f] != r) {
            ++differ;
            first = std::min(first, f);
        }
    }
    EXPECT_EQ(differ, 0u) << "first at frame " << first;
}

Stereo add(const Stereo &a, const Stereo &b, size_t b_from)
{
    Stereo out;
    const size_t n = std::max(a.left.size(), b_from + b.left.size());
    out.left.assign(n, 0.0f);
    out.right.assign(n, 0.0f);
    for (size_t f = 0; f < n; ++f) {
        // The pair adds the ringing engine's float to the current one's.
        const float bl = f >= b_from && f - b_from < b.left.size() ? b.left[f - b_from] : 0.0f;
        const float br = f >= b_from && f - b_from < b.right.size() ? b.right[f - b_from] : 0.0f;
        out.left[f] = bl + (f < a.left.size() ? a.left[f] : 0.0f);
        out.right[f] = br + (f < a.right.size() ? a.right[f] : 0.0f);
    }
    return out;
}

const std::string melody = CW_SOURCE_DIR "/data/scores/chime-melody.mid";

TEST(Lv2Host, AScoreInBlocksOfChangingSizeAndALibraryPresetPlayAsTheRenderer)
{
    const Stereo expected = render(melody, {});
    Host host;
    ASSERT_TRUE(host.ready());
    allocations = 0;
    const Stereo played = host.play(score_messages(melody), expected.left.size() + rate / 10);
    EXPECT_EQ(allocations, 0);
    expect_renders(played, expected);

    // A library preset as the host's browser loads it: controls and document.
    const Stereo chime =
        render(melody, {"--preset", CW_SOURCE_DIR "/data/presets/chimes/chime-C6.cwrp"});
    Host preset_host;
    ASSERT_TRUE(preset_host.ready());
    const NodePtr uri(
        lilv_new_uri(preset_host.world(), "https://clangwright.org/lv2/clangwright/preset/chime-C6"));
    lilv_world_load_resource(preset_host.world(), uri.get());
    const StatePtr preset(
        lilv_state_new_from_world(preset_host.world(), preset_host.map(), uri.get()));
    ASSERT_TRUE(preset);
    EXPECT_STREQ(lilv_state_get_label(preset.get()), "chime-C6");
    preset_host.restore(preset.get());
    EXPECT_EQ(preset_host.control(port_root_key), 84.0f); // C6, from the name
    allocations = 0;
    const Stereo preset_played =
        preset_host.play(score_messages(melody), chime.left.size() + rate / 10);
    EXPECT_EQ(allocations, 0);
    expect_renders(preset_played, chime);
    EXPECT_TRUE(preset_host.log().empty());
}

// The tube grows two rings while the first notes ring: the worker builds the
// new voices, the next block plays the new notes on them, and the old notes
// ring out on theirs; no block allocates.
TEST(Lv2Host, AMeshControlMovedMidScoreRebuildsOnTheWorkerWhileOldNotesRingOut)
{
    const std::string first = scratch + "/first.mid", second = scratch + "/second.mid";
    write_score(first, {{60, 0, 200, 100}, {67, 100, 300, 80}});
    write_score(second, {{62, 0, 300, 110}, {69, 50, 200, 90}});
    const Stereo a = render(first, {}), b = render(second, {"--tube-height", "12"});

    Host host;
    ASSERT_TRUE(host.ready());
    constexpr uint64_t change_at = 20000; // the first score's keys are up by 15000
    uint64_t swapped = 0;
    const uint32_t blocks[] = {512, 100, 2048};
    // Block starts for these sizes, to put the second score after the swap.
    std::vector<uint64_t> starts;
    for (uint64_t at = 0, i = 0; at < 2 * a.left.size() + b.left.size(); at += blocks[i++ % 3])
        starts.push_back(at);
    const auto change = std::find_if(starts.begin(), starts.end(),
                                     [](uint64_t s) { return s >= change_at; });
    ASSERT_NE(change, starts.end());
    swapped = *(change + 1); // the worker answers after the block that asked
    std::vector<Sent> score = score_messages(first);
    for (const Sent &s : score_messages(second, swapped))
        score.push_back(s);

    const Stereo expected = add(a, b, swapped);
    allocations = 0;
    const Stereo played =
        host.play(score, expected.left.size() + rate / 10, blocks, [&](uint64_t at) {
            if (at == *change)
                host.control(port_tube_height) = 12.0f;
        });
    EXPECT_EQ(allocations, 0);
    expect_renders(played, expected);
    // The old notes were still ringing at the swap.
    EXPECT_GT(std::fabs(a.left.at(swapped)), 0.0f);
}

// A song saved with a rod and reopened: a new instance that starts with the
// defaults plays the rod as the renderer does, and so does one restored from
// the saved text without its controls.
TEST(Lv2Host, ASavedStateRestoredInANewInstancePlaysTheSameSound)
{
    const std::string score = scratch + "/rod.mid";
    write_score(score, {{50, 0, 400, 127}, {57, 200, 500, 70}, {62, 300, 700, 100}});
    const Stereo expected =
        render(score, {"--shape", "rod", "--rod-length", "40", "--tension", "2.5",
                       "--polyphony", "8", "--release", "1.5"});
    std::string text, document;
    {
        Host song;
        ASSERT_TRUE(song.ready());
        song.control(port_shape) = TYPE_ROD;
        song.control(port_rod_length) = 40.0f;
        song.control(port_tension) = 2.5f;
        song.control(port_polyphony) = 8.0f;
        song.control(port_release) = 1.5f;
        song.reactivate();
        expect_renders(song.play(score_messages(score), expected.left.size()), expected);
        const StatePtr state = song.save();
        ASSERT_TRUE(state);
        char *saved = lilv_state_to_string(song.world(), song.map(), song.unmap(), state.get(),
                                           "urn:clangwright:song", nullptr);
        text = saved;
        lilv_free(saved);
        document = song.document();
    }
    Host reopened;
    ASSERT_TRUE(reopened.ready());
    const StatePtr state(lilv_state_new_from_string(reopened.world(), reopened.map(), text.c_str()));
    ASSERT_TRUE(state);
    reopened.restore(state.get());
    EXPECT_EQ(reopened.control(port_shape), static_cast<float>(TYPE_ROD));
    expect_renders(reopened.play(score_messages(score), expected.left.size()), expected);

    // The document alone, the controls left at the defaults: it still wins.
    Host document_only;
    ASSERT_TRUE(document_only.ready());
    ASSERT_NE(document.find("<cwrp"), std::string::npos);
    const LV2_URID string_type =
        document_only.map()->map(document_only.map()->handle, LV2_ATOM__String);
    EXPECT_EQ(document_only.restore_document(document, string_type), LV2_STATE_SUCCESS);
    expect_renders(document_only.play(score_messages(score), expected.left.size()), expected);
    EXPECT_TRUE(document_only.log().empty());
}

// Damaged and hostile states: each is refused with one line in the host's
// log, and the instance plays on what it had, its saved state unchanged.
TEST(Lv2Host, ADamagedOrHostileStateIsRefusedWithOneLogLineAndTheSoundStays)
{
    const std::string score = scratch + "/refused.mid";
    write_score(score, {{60, 0, 100, 100}});
    const Stereo expected = render(score, {});
    Host host;
    ASSERT_TRUE(host.ready());
    const LV2_URID string_type = host.map()->map(host.map()->handle, LV2_ATOM__String);
    const LV2_URID int_type = host.map()->map(host.map()->handle, LV2_ATOM__Int);
    const StatePtr before = host.save();

    const std::string good = R"(<?xml version="1.0"?>
<cwrp version="0.1.0"><string name="type" value="rod"/><int name="length" value="40"/>
<double name="tension" value="2.5"/><double name="speed" value="0.2"/>
<double name="damping" value="0.05"/><int name="actuation" value="0"/>
<double name="velocity" value="1"/><int name="actuation-node" value="1"/>
<int name="sampling-node" value="38"/><int name="root-key" value="-1"/>
<double name="tuning" value="0"/><int name="polyphony" value="16"/>
<double name="release" value="0.5"/><bool name="one-shot" value="FALSE"/>
<bool name="restrike" value="TRUE"/><int name="second-pickup" value="-1"/>
<double name="velocity-curve" value="1"/><double name="bend-range" value="2"/>
<double name="level" value="0"/></cwrp>)";
    const auto with = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    struct Given {
        std::string bytes;
        LV2_URID type;
    };
    const std::vector<Given> refused = {
        {"\x89PNG\r\n\x1a\n\0\0garbage", string_type},
        {good, int_type},
        {R"(<?xml version="1.0"?><!DOCTYPE cwrp [<!ENTITY a "aaaaaaaaaa">]><cwrp version="0.1.0">&a;</cwrp>)",
         string_type},
        {with(R"(<int name="length" value="40"/>)", ""), string_type},
        {with(R"(value="40")", R"(value="100000")"), string_type},
        {with(R"(name="speed" value="0.2")", R"(name="speed" value="nan")"), string_type},
        {with(R"(value="rod")", R"(value="sphere")"), string_type},
        {with(R"(name="sampling-node" value="38")", R"(name="sampling-node" value="39")"),
         string_type},
        {with(R"(name="polyphony" value="16")", R"(name="polyphony" value="1000")"),
         string_type},
        {good.substr(0, good.size() / 2), string_type},
        {"<cwrp version=\"0.1.0\">" + std::string(2 << 20, ' ') + "</cwrp>", string_type},
    };
    for (size_t i = 0; i < refused.size(); ++i) {
        host.log().clear();
        const LV2_State_Status status =
            host.restore_document(refused[i].bytes, refused[i].type);
        EXPECT_NE(status, LV2_STATE_SUCCESS) << "state " << i;
        EXPECT_EQ(host.log().size(), 1u) << "state " << i;
    }
    const StatePtr after = host.save();
    EXPECT_TRUE(lilv_state_equals(before.get(), after.get()));
    expect_renders(host.play(score_messages(score), expected.left.size()), expected);

    // The document all of them were made from is taken.
    host.log().clear();
    EXPECT_EQ(host.restore_document(good, string_type), LV2_STATE_SUCCESS);
    EXPECT_TRUE(host.log().empty());
}

// Without a worker, a moved mesh control waits for the next activate, and
// the notes before it keep the sound they had.
TEST(Lv2Host, WithoutAWorkerTheRebuildWaitsForActivate)
{
    const std::string score = scratch + "/no-worker.mid";
    write_score(score, {{60, 0, 100, 100}});
    const Stereo before = render(score, {}), after = render(score, {"--tube-height", "12"});
    Host host(false);
    ASSERT_TRUE(host.ready());
    host.control(port_tube_height) = 12.0f;
    expect_renders(host.play(score_messages(score), before.left.size()), before);
    host.reactivate();
    expect_renders(host.play(score_messages(score), after.left.size()), after);
}

} // namespace
