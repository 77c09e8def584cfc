// clangwright-live without a server: its options against the renderer's, and
// the process callback driven with port buffers of the test's own (the JACK
// functions it calls are defined here, so the linker takes these).
#include <gtest/gtest.h>

#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "live_options.h"
#include "live_player.h"
#include "program_run.h"
#include "score_render.h"
#include "voice_engine.h"

// Every allocation of the process passes through here while counting is on.
namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
} // namespace

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_memalign(size_t, size_t);

extern "C" void *malloc(size_t n)
{
    if (counting)
        ++allocations;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m)
{
    if (counting)
        ++allocations;
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n)
{
    if (counting)
        ++allocations;
    return __libc_realloc(p, n);
}
extern "C" void *aligned_alloc(size_t a, size_t n)
{
    if (counting)
        ++allocations;
    return __libc_memalign(a, n);
}

namespace {

// One cycle's port buffers as the fake JACK functions below hand them out.
struct FakeEvent {
    uint32_t time;
    std::vector<uint8_t> bytes;
};
struct FakePorts {
    std::vector<FakeEvent> midi;
    std::vector<float> left, right;
};
FakePorts ports;
// Port handles: only their addresses are compared.
char midi_tag, left_tag, right_tag;
jack_port_t *const midi_port = reinterpret_cast<jack_port_t *>(&midi_tag);
jack_port_t *const left_port = reinterpret_cast<jack_port_t *>(&left_tag);
jack_port_t *const right_port = reinterpret_cast<jack_port_t *>(&right_tag);

} // namespace

void *jack_port_get_buffer(jack_port_t *port, jack_nframes_t)
{
    if (port == midi_port)
        return &ports.midi;
    return port == left_port ? ports.left.data() : ports.right.data();
}

uint32_t jack_midi_get_event_count(void *buffer)
{
    return static_cast<uint32_t>(static_cast<std::vector<FakeEvent> *>(buffer)->size());
}

int jack_midi_event_get(jack_midi_event_t *event, void *buffer, uint32_t index)
{
    auto &events = *static_cast<std::vector<FakeEvent> *>(buffer);
    if (index >= events.size())
        return ENODATA;
    event->time = events[index].time;
    event->size = events[index].bytes.size();
    event->buffer = events[index].bytes.data();
    return 0;
}

namespace {

using voice::VoiceEvent;

constexpr int32_t rate = 48000;
constexpr int32_t engine_block = 256;

struct Parsed {
    bool ok;
    std::string error;
    Instrument instrument;
    voice::EngineSettings settings;
};

// Parses and applies over the defaults, as either program does.
template <typename Options, typename Parse>
Parsed parse(const char *program, std::vector<std::string> args, Parse parse_options,
             const RenderOptions &(*sound)(const Options &))
{
    args.insert(args.begin(), program);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Options o;
    Parsed p{false, {}, instrument_defaults(), {}};
    p.ok = parse_options(static_cast<int>(args.size()), argv.data(), o, p.error) &&
           apply_render_options(sound(o), p.instrument, p.error);
    p.settings = score_engine_settings(sound(o));
    return p;
}

Parsed parse_live(std::vector<std::string> args, LiveOptions *out = nullptr)
{
    return parse<LiveOptions>(
        "clangwright-live", std::move(args),
        [&](int argc, char **argv, LiveOptions &o, std::string &e) {
            const bool ok = parse_live_options(argc, argv, o, e);
            if (out)
                *out = o;
            return ok;
        },
        +[](const LiveOptions &o) -> const RenderOptions & { return o.sound; });
}

Parsed parse_render(std::vector<std::string> args)
{
    args.insert(args.end(), {"--midi", "score.mid", "-o", "x.wav"});
    return parse<RenderOptions>("clangwright-render", std::move(args), parse_render_options,
                                +[](const RenderOptions &o) -> const RenderOptions & { return o; });
}

void expect_same_instrument(const Instrument &a, const Instrument &b)
{
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.tube_height, b.tube_height);
    EXPECT_EQ(a.tube_circumference, b.tube_circumference);
    EXPECT_EQ(a.rod_length, b.rod_length);
    EXPECT_EQ(a.plane_length, b.plane_length);
    EXPECT_EQ(a.plane_width, b.plane_width);
    EXPECT_EQ(a.actuation_node, b.actuation_node);
    EXPECT_EQ(a.sampling_node, b.sampling_node);
    EXPECT_EQ(a.tension, b.tension);
    EXPECT_EQ(a.speed, b.speed);
    EXPECT_EQ(a.damping, b.damping);
    EXPECT_EQ(a.actuation, b.actuation);
    EXPECT_EQ(a.velocity, b.velocity);
}

// The sound's and the engine's options give what they give the renderer's
// --midi; the client's own are checked; the renderer's file options and the
// rate (the server's) are no options here. Through the program: one line and
// status 2.
TEST(LiveOptions, SoundOptionsAreTheRenderersAndBadOnesAreRefused)
{
    const std::vector<std::vector<std::string>> same = {
        {},
        {"--shape", "plane", "--plane-width", "12", "--tension", "2.5", "--velocity", "0.4"},
        {"--shape", "rod", "--rod-length", "20", "--actuation-node", "4", "--sampling-node", "9",
         "--actuation", "perpendicular", "--speed", "0.1", "--damping", "0.2"},
        {"--tube-height", "6", "--polyphony", "4", "--root", "C5", "--release", "2",
         "--bend-range", "12"},
        {"--preset", "chime-C6"}, // the root from the library's name; no file is read here
    };
    for (const auto &args : same) {
        const Parsed live = parse_live(args);
        const Parsed render = parse_render(args);
        ASSERT_TRUE(live.ok) << live.error;
        ASSERT_TRUE(render.ok) << render.error;
        expect_same_instrument(live.instrument, render.instrument);
        EXPECT_EQ(live.settings.polyphony, render.settings.polyphony);
        EXPECT_EQ(live.settings.root_key, render.settings.root_key);
        EXPECT_EQ(live.settings.release_s, render.settings.release_s);
        EXPECT_EQ(live.settings.bend_range, render.settings.bend_range);
    }
    EXPECT_EQ(parse_live({"--preset", "chime-C6"}).settings.root_key, 84);

    LiveOptions o;
    ASSERT_TRUE(parse_live({}, &o).ok);
    EXPECT_EQ(o.client_name, "clangwright");
    EXPECT_FALSE(o.connect);
    ASSERT_TRUE(parse_live({"--name", "bells", "--connect", "-q"}, &o).ok);
    EXPECT_EQ(o.client_name, "bells");
    EXPECT_TRUE(o.connect);
    EXPECT_TRUE(o.sound.quiet);

    const struct {
        std::vector<std::string> args;
        const char *error;
    } bad[] = {
        {{"--name", ""}, "--name: '' is not a client name"},
        {{"--name", "a:b"}, "--name: 'a:b' is not a client name"},
        {{"--name", std::string(64, 'n')}, "(valid: 1 to 63 characters without ':')"},
        {{"--polyphony", "65"}, "--polyphony"},
        {{"--shape", "rod", "--actuation-node", "0"}, "--actuation-node: 0 is an anchored node"},
        {{"--rate", "44100"}, "--rate"},
        {{"-o", "x.wav"}, "-o"},
        {{"--midi", "x.mid"}, "--midi"},
        {{"bell.cwrp"}, "unexpected argument 'bell.cwrp'"},
    };
    for (const auto &c : bad) {
        const Parsed p = parse_live(c.args);
        EXPECT_FALSE(p.ok) << c.args.front();
        EXPECT_NE(p.error.find(c.error), std::string::npos) << p.error;
    }
    const ProgramRun run = run_program(CW_LIVE_PROGRAM, {"--tension", "99"}, "/");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "clangwright-live: --tension: 99 is out of range (valid: 0.1 to 16)\n");
    EXPECT_EQ(run.out, "");
}

// Plays `events` (frames from the start) through `engine` in blocks of 64,
// as a reference no cycle length can change.
void play_reference(voice::VoiceEngine &engine, const std::vector<VoiceEvent> &events,
                    uint32_t frames, std::vector<float> &left, std::vector<float> &right)
{
    constexpr uint32_t block = 64;
    left.assign(frames, 0.0f);
    right.assign(frames, 0.0f);
    size_t next = 0;
    for (uint32_t at = 0; at < frames; at += block) {
        const uint32_t n = std::min(block, frames - at);
        std::vector<VoiceEvent> here;
        for (; next < events.size() && events[next].frame < at + n; ++next)
            here.push_back({events[next].frame - at, events[next].status, events[next].data1,
                            events[next].data2});
        engine.process(here, left.data() + at, right.data() + at, n);
    }
}

// Cycles of the server's length, shorter and longer than the engine's block
// (a larger buffer size set later), with channel messages among system
// messages and broken ones: the engine hears the channel messages at their
// frames, as the same score in plain blocks gives it, to the bit; the
// callback allocates nothing; a cycle with more messages than the array
// holds keeps the first ones and counts the rest.
TEST(LiveProcess, CyclesPlayTheirMessagesAtTheirFramesWithoutAllocating)
{
    std::string error;
    voice::EngineSettings settings;
    settings.polyphony = 4;
    const Instrument ins = instrument_defaults();
    auto live = voice::VoiceEngine::prepare(ins, rate, settings, engine_block, error);
    auto reference = voice::VoiceEngine::prepare(ins, rate, settings, engine_block, error);
    ASSERT_TRUE(live && reference) << error;

    struct Cycle {
        uint32_t frames;
        std::vector<FakeEvent> midi;
    };
    using B = std::vector<uint8_t>;
    const std::vector<Cycle> cycles = {
        {256, {{0, B{0x90, 72, 100}}, {10, B{0xf8}}, {100, B{0x91, 79, 90}}}},
        {256, {{5, B{0xf0, 0x7e, 0x7f, 0x09, 0x01, 0xf7}}, {30, B{0xb0, 64, 127}}}},
        // Four engine blocks in one cycle, messages in each of them.
        {1024,
         {{0, B{0xe0, 0, 96}},
          {255, B{0x80, 72, 0}},
          {256, B{0x90, 84, 127}},
          {600, B{0x90}},          // no data bytes: dropped
          {700, B{0xc0, 5}},       // program change, one data byte
          {900, B{0x45, 10, 10}},  // no status byte: dropped
          {1023, B{0xb0, 64, 0}}}},
        {100, {{99, B{0x92, 67, 60}}}},
        {37, {}},
        {512, {{300, B{0x80, 84, 64}}, {301, B{0xe0, 0, 64}}}},
    };

    std::vector<VoiceEvent> heard;
    uint32_t total = 0;
    for (const Cycle &c : cycles) {
        for (const FakeEvent &e : c.midi) {
            const uint8_t s = e.bytes[0];
            const bool channel = s >= 0x80 && s < 0xf0 &&
                                 e.bytes.size() >= ((s & 0xf0) == 0xc0 ? 2u : 3u);
            if (channel)
                heard.push_back({total + e.time, s, e.bytes[1],
                                 (s & 0xf0) == 0xc0 ? uint8_t{0} : e.bytes[2]});
        }
        total += c.frames;
    }
    // The notes ring on after the last message for about half a second,
    // in whole cycles.
    const uint32_t tail = engine_block * (rate / 2 / engine_block);
    std::vector<float> want_l, want_r;
    play_reference(*reference, heard, total + tail, want_l, want_r);
    float loudest = 0.0f;
    for (float x : want_l)
        loudest = std::max(loudest, std::fabs(x));
    ASSERT_GT(loudest, 0.05f); // a root note at full velocity peaks near 0.25 (-12 dBFS)

    auto player = std::make_unique<LivePlayer>();
    player->midi_in = midi_port;
    player->out_l = left_port;
    player->out_r = right_port;
    player->engine = live.get();
    player->max_block = engine_block;
    std::vector<float> got_l, got_r;
    auto run_cycle = [&](uint32_t frames, std::vector<FakeEvent> midi) {
        ports.midi = std::move(midi);
        ports.left.assign(frames, 1.0f); // the callback must overwrite every frame
        ports.right.assign(frames, 1.0f);
        allocations = 0;
        counting = true;
        live_process(frames, player.get());
        counting = false;
        EXPECT_EQ(allocations, 0) << "cycle of " << frames;
        got_l.insert(got_l.end(), ports.left.begin(), ports.left.end());
        got_r.insert(got_r.end(), ports.right.begin(), ports.right.end());
    };
    for (const Cycle &c : cycles)
        run_cycle(c.frames, c.midi);
    for (uint32_t at = total; at < total + tail; at += engine_block)
        run_cycle(engine_block, {});
    ASSERT_EQ(got_l.size(), want_l.size());
    EXPECT_EQ(std::memcmp(got_l.data(), want_l.data(), want_l.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(got_r.data(), want_r.data(), want_r.size() * sizeof(float)), 0);
    EXPECT_EQ(player->dropped_events.load(), 0u);

    // Key-ups of a key that never sounded change nothing; those beyond the
    // array are counted.
    std::vector<FakeEvent> flood(max_cycle_events + 5, FakeEvent{0, B{0x80, 1, 0}});
    run_cycle(engine_block, flood);
    EXPECT_EQ(player->dropped_events.load(), 5u);
}

} // namespace
