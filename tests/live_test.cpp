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
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "allocation_counter.h"
#include "live_options.h"
#include "live_player.h"
#include "program_run.h"
#include "score_render.h"

// One cycle's ports: the MIDI port's events and the two audio buffers.
namespace {
struct FakeEvent {
    uint32_t time;
    std::vector<uint8_t> bytes;
};
std::vector<FakeEvent> midi;
std::vector<float> out[2];
char port_tags[3]; // the port handles' addresses: MIDI, left, right
jack_port_t *port(int i) { return reinterpret_cast<jack_port_t *>(&port_tags[i]); }
} // namespace

void *jack_port_get_buffer(jack_port_t *p, jack_nframes_t)
{
    return p == port(0) ? static_cast<void *>(&midi) : out[p == port(2)].data();
}
uint32_t jack_midi_get_event_count(void *) { return static_cast<uint32_t>(midi.size()); }
int jack_midi_event_get(jack_midi_event_t *e, void *, uint32_t i)
{
    if (i >= midi.size())
        return ENODATA;
    *e = {midi[i].time, midi[i].bytes.size(), midi[i].bytes.data()};
    return 0;
}

namespace {

constexpr int32_t rate = 48000;
constexpr uint32_t engine_block = 256;

// Parses `args` as `parse_options` does and applies them over the defaults as
// the program does: the instrument's values and the engine's settings.
template <typename Options>
std::optional<std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                         double, double, double, int32_t, double, int32_t, int32_t, double, double>>
sound_of(bool (*parse_options)(int, char **, Options &, std::string &),
         std::vector<std::string> args, Options &o, std::string &error)
{
    std::vector<char *> argv{const_cast<char *>("program")};
    for (std::string &a : args)
        argv.push_back(a.data());
    const RenderOptions *sound = nullptr;
    if constexpr (std::is_same_v<Options, LiveOptions>)
        sound = &o.sound;
    else
        sound = &o;
    Instrument i = instrument_defaults();
    if (!parse_options(static_cast<int>(argv.size()), argv.data(), o, error) ||
        !apply_render_options(*sound, i, error))
        return std::nullopt;
    const voice::EngineSettings s = score_engine_settings(*sound);
    return std::tuple(i.type, i.tube_height, i.tube_circumference, i.rod_length, i.plane_length,
                      i.plane_width, i.actuation_node, i.sampling_node, i.tension, i.speed,
                      i.damping, i.actuation, i.velocity, s.polyphony, s.root_key, s.release_s,
                      s.bend_range);
}

// The sound's and the engine's options give what they give the renderer's
// --midi (the root of a library name included); the client's own are checked;
// the renderer's file options and its rate (the server's here) are refused,
// by the program with one line and status 2.
TEST(LiveOptions, SoundOptionsAreTheRenderersAndBadOnesAreRefused)
{
    std::string error;
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--shape", "rod", "--rod-length", "20", "--actuation-node", "4", "--sampling-node",
              "9", "--actuation", "perpendicular", "--speed", "0.1", "--damping", "0.2",
              "--tension", "2.5", "--velocity", "0.4", "--polyphony", "4", "--root", "C5",
              "--release", "2", "--bend-range", "12"},
             {"--preset", "chime-C6", "--shape", "plane", "--plane-width", "12"}}) {
        LiveOptions live;
        RenderOptions render;
        std::vector<std::string> score = args;
        score.insert(score.end(), {"--midi", "s.mid", "-o", "s.wav"});
        const auto want = sound_of(parse_render_options, score, render, error);
        ASSERT_TRUE(want) << error;
        EXPECT_EQ(sound_of(parse_live_options, args, live, error), want) << args[0] << error;
    }
    LiveOptions o;
    ASSERT_TRUE(sound_of(parse_live_options, {"--name", "bells", "--connect", "-q"}, o, error));
    EXPECT_TRUE(o.client_name == "bells" && o.connect && o.sound.quiet);
    const std::pair<std::vector<std::string>, const char *> bad[] = {
        {{"--name", ""}, "--name: '' is not a client name"},
        {{"--name", std::string(64, 'n')}, "(valid: 1 to 63 characters without ':')"},
        {{"--name", "a:b"}, "'a:b' is not a client name"},
        {{"--shape", "rod", "--actuation-node", "0"}, "--actuation-node: 0 is an anchored node"},
        {{"--rate", "44100"}, "--rate"},
        {{"-o", "x.wav"}, "-o"},
        {{"bell.cwrp"}, "unexpected argument 'bell.cwrp'"},
    };
    for (const auto &[args, message] : bad) {
        EXPECT_FALSE(sound_of(parse_live_options, args, o, error)) << args[0];
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    const ProgramRun run = run_program(CW_LIVE_PROGRAM, {"--tension", "99"}, "/");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "clangwright-live: --tension: 99 is out of range (valid: 0.1 to 16)\n");
}

// Cycles shorter and longer than the engine's block (a larger buffer size set
// later), channel messages among system messages and broken ones: the engine
// hears the channel messages at their frames, to the bit as the same events in
// plain blocks of another engine give; nothing is allocated; a cycle with
// more messages than the array holds keeps the first and counts the rest.
TEST(LiveProcess, CyclesPlayTheirMessagesAtTheirFramesWithoutAllocating)
{
    using B = std::vector<uint8_t>;
    const std::vector<std::pair<uint32_t, std::vector<FakeEvent>>> cycles = {
        {256, {{0, B{0x90, 72, 100}}, {10, B{0xf8}}, {100, B{0x91, 79, 90}}}},
        {256, {{5, B{0xf0, 0x7e, 0x09, 0xf7}}, {30, B{0xb0, 64, 127}}}},
        {1024, // four engine blocks
         {{0, B{0xe0, 0, 96}}, {255, B{0x80, 72, 0}}, {256, B{0x90, 84, 127}},
          {600, B{0x90}} /* no data: dropped */, {700, B{0xc0, 5}} /* one data byte */,
          {900, B{0x45, 10, 10}} /* no status: dropped */, {1023, B{0xb0, 64, 0}}}},
        {100, {{99, B{0x92, 67, 60}}}},
        {37, {}},
        {512, {{300, B{0x80, 84, 64}}, {301, B{0xe0, 0, 64}}}},
    };
    std::vector<voice::VoiceEvent> heard; // what the engine must hear, frames from the start
    uint32_t total = 0;
    for (const auto &[frames, events] : cycles) {
        for (const FakeEvent &e : events) {
            const uint8_t s = e.bytes[0];
            const size_t size = (s & 0xf0) == 0xc0 ? 2 : 3;
            if (s >= 0x80 && s < 0xf0 && e.bytes.size() >= size)
                heard.push_back({total + e.time, s, e.bytes[1], size == 3 ? e.bytes[2] : uint8_t{}});
        }
        total += frames;
    }
    total += engine_block * (rate / 2 / engine_block); // half a second of ringing out

    voice::EngineSettings settings;
    settings.polyphony = 4;
    std::string error;
    auto live = voice::VoiceEngine::prepare(instrument_defaults(), rate, settings,
                                            engine_block, error);
    auto reference = voice::VoiceEngine::prepare(instrument_defaults(), rate, settings,
                                                 engine_block, error);
    ASSERT_TRUE(live && reference) << error;
    std::vector<float> want[2] = {std::vector<float>(total), std::vector<float>(total)};
    for (uint32_t at = 0, next = 0, n = 64; at < total; at += n) {
        n = std::min(64u, total - at);
        std::vector<voice::VoiceEvent> here;
        for (; next < heard.size() && heard[next].frame < at + n; ++next)
            here.push_back({heard[next].frame - at, heard[next].status, heard[next].data1,
                            heard[next].data2});
        reference->process(here, want[0].data() + at, want[1].data() + at, n);
    }
    ASSERT_GT(*std::max_element(want[0].begin(), want[0].end()), 0.05f); // a note sounds

    auto player = std::make_unique<LivePlayer>();
    player->midi_in = port(0);
    player->out_l = port(1);
    player->out_r = port(2);
    player->engine = live.get();
    player->max_block = engine_block;
    std::vector<float> got[2];
    auto run_cycle = [&](uint32_t frames, std::vector<FakeEvent> events) {
        midi = std::move(events);
        for (int c = 0; c < 2; ++c)
            out[c].assign(frames, 1.0f); // every frame must be overwritten
        allocations = 0;
        counting = true;
        live_process(frames, player.get());
        counting = false;
        EXPECT_EQ(allocations, 0) << "cycle of " << frames;
        for (int c = 0; c < 2; ++c)
            got[c].insert(got[c].end(), out[c].begin(), out[c].end());
    };
    for (const auto &[frames, events] : cycles)
        run_cycle(frames, events);
    while (got[0].size() < total)
        run_cycle(engine_block, {});
    for (int c = 0; c < 2; ++c)
        EXPECT_TRUE(got[c] == want[c]) << "channel " << c;
    EXPECT_EQ(player->dropped_events.load(), 0u);

    // Key-ups of a key that never sounded; those beyond the array are counted.
    run_cycle(engine_block, std::vector<FakeEvent>(max_cycle_events + 5, {0, B{0x80, 1, 0}}));
    EXPECT_EQ(player->dropped_events.load(), 5u);
}

} // namespace
