// The voice engine: lanes that step like the reference, notes that play the
// render loop's sound at every key, and the rules of release, pedal,
// restrike and stealing, heard in the engine's own output.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "lane_mesh.h"
#include "metal_obj_ptr.h"
#include "partial_probe.h"
#include "render.h"
#include "engine_pair.h"
#include "voice_engine.h"

namespace {

using voice::EngineSettings;
using voice::VoiceEngine;
using voice::VoiceEvent;

constexpr int32_t rate = 48000;
constexpr uint8_t note_on = 0x90, note_off = 0x80, control = 0xb0;

std::unique_ptr<VoiceEngine> engine_for(const Instrument &ins, EngineSettings s = {},
                                        int32_t block = 4096)
{
    std::string error;
    auto e = VoiceEngine::prepare(ins, rate, s, block, error);
    EXPECT_TRUE(e) << error;
    return e;
}

struct Stereo {
    std::vector<float> left, right;
};

// Plays `events` (frames from the start) for `frames` frames in blocks of
// `block`, splitting the events between the blocks as a host does; counts
// the allocations made inside the engine's process() calls.
Stereo play(VoiceEngine &e, std::vector<VoiceEvent> events, uint32_t frames, uint32_t block = 512)
{
    Stereo out{std::vector<float>(frames), std::vector<float>(frames)};
    size_t next = 0;
    std::vector<VoiceEvent> here;
    here.reserve(events.size());
    for (uint32_t at = 0; at < frames; at += block) {
        const uint32_t n = std::min(block, frames - at);
        here.clear();
        while (next < events.size() && events[next].frame < at + n) {
            here.push_back(events[next]);
            here.back().frame -= at;
            ++next;
        }
        counting = true;
        e.process(here, out.left.data() + at, out.right.data() + at, n);
        counting = false;
    }
    return out;
}

float peak(const std::vector<float> &x, size_t from = 0, size_t to = SIZE_MAX)
{
    float p = 0.0f;
    for (size_t i = from; i < std::min(to, x.size()); ++i)
        p = std::max(p, std::fabs(x[i]));
    return p;
}

std::vector<double> as_double(const std::vector<float> &x, size_t from = 0, size_t to = SIZE_MAX)
{
    return std::vector<double>(x.begin() + static_cast<long>(from),
                               x.begin() + static_cast<long>(std::min(to, x.size())));
}

Instrument soft_tube()
{
    Instrument ins = instrument_defaults();
    ins.velocity = 0.2; // near the linear range: partials hold their pitch
    return ins;
}

using MeshBuilder = MetalObj *(*)();

// Sixteen lanes of `build`'s mesh, each struck elsewhere and stepped with its
// own constants, against the reference step of each lane's own copy, on
// every path this processor runs: the same bits. After `full_steps` steps
// with every lane live, vectors of lanes without a voice are left out of the
// step: the lower half only, then two lanes of the upper half (the other
// lanes of a vector stepped for a live lane step too, and are not compared).
void expect_lanes_step_like_the_reference(const char *name, MeshBuilder build, int full_steps,
                                          int steps)
{
    const int32_t upper[2] = {voice::lanes / 2 + 1, voice::lanes - 3};
    const auto live = [&](int step, int32_t lane) {
        return step < full_steps ||
               (step < (full_steps + steps) / 2 ? lane < voice::lanes / 2
                                                : lane == upper[0] || lane == upper[1]);
    };
    const auto compared = [&upper](int32_t lane) {
        return lane < voice::lanes / 2 || lane == upper[0] || lane == upper[1];
    };
    const voice::LanePath paths[] = {voice::LanePath::avx512, voice::LanePath::avx2,
                                     voice::LanePath::sse2};
    for (voice::LanePath path : paths) {
        if (path == voice::LanePath::avx512 && !__builtin_cpu_supports("avx512f"))
            continue;
        if (path == voice::LanePath::avx2 && !__builtin_cpu_supports("avx2"))
            continue;
        ObjPtr proto(build());
        auto wiring = voice::LaneWiring::compile(*proto);
        ASSERT_TRUE(wiring) << name;
        voice::LaneBatch batch(*wiring);
        std::vector<ObjPtr> refs;
        for (int32_t l = 0; l < voice::lanes; ++l) {
            refs.emplace_back(build());
            const int32_t node = proto->num_nodes > 2 ? 1 + l % (proto->num_nodes - 2) : 0;
            const double push = 0.3 + 0.1 * l;
            refs[l]->nodes[node]->x += push;
            batch.set_position(node, 0, l, batch.position(node, 0, l) + push);
            batch.set_constants(l, 0.05 + 0.03 * l, 1.0 - 0.001 * l);
        }
        for (int step = 0; step < steps; ++step) {
            for (int32_t l = 0; l < voice::lanes; ++l)
                batch.set_live(l, live(step, l));
            batch.step(path);
            for (int32_t l = 0; l < voice::lanes; ++l)
                if (live(step, l))
                    cw_metal_obj_perturb(refs[l].get(), batch.dt(l), batch.damp(l));
        }
        for (int32_t l = 0; l < voice::lanes; ++l)
            for (int32_t n = 0; n < proto->num_nodes && compared(l); ++n) {
                const MetalObjNode *r = refs[l]->nodes[n];
                const double want[3] = {r->x, r->y, r->z};
                for (int c = 0; c < 3; ++c) {
                    const double got = batch.position(n, c, l);
                    // A lane that blew up is NaN in both; a NaN's sign
                    // bit is the one bit that may differ.
                    if (std::isnan(want[c]) && std::isnan(got))
                        continue;
                    ASSERT_EQ(std::memcmp(&want[c], &got, sizeof(double)), 0)
                        << name << " path " << static_cast<int>(path) << " lane " << l
                        << " node " << n;
                }
            }
    }
}

TEST(LaneBatch, EveryLaneStepsLikeTheReferenceOnEveryPath)
{
    struct Mesh {
        const char *name;
        MeshBuilder build;
        bool written_out = false; // every node's slots written out in the step
    };
    const Mesh meshes[] = {
        {"tube", [] { return cw_metal_obj_new_tube(10, 5, 4.0); }, true},
        {"rod", [] { return cw_metal_obj_new_rod(7, 2.5); }, true},
        {"plane", [] { return cw_metal_obj_new_plane(6, 7, 4.0); }},
        // A spring listed by one end only: its term reads a node stepped
        // before it, so the step cannot run in place.
        {"one-sided", [] {
             MetalObj *obj = cw_metal_obj_new_rod(5, 2.0);
             obj->nodes[3]->neighbours[0] = obj->nodes[1];
             return obj;
         }},
        // A node that computes its spring to the next node before it reads
        // the one from the node before.
        {"own-first", [] {
             MetalObj *obj = cw_metal_obj_new_rod(7, 2.5);
             std::swap(obj->nodes[3]->neighbours[0], obj->nodes[3]->neighbours[1]);
             return obj;
         }},
    };
    for (const Mesh &m : meshes) {
        ObjPtr proto(m.build());
        auto wiring = voice::LaneWiring::compile(*proto);
        ASSERT_TRUE(wiring);
        // The other meshes walk some slots one by one.
        if (m.written_out)
            EXPECT_EQ(wiring->nodes_written_out(), proto->num_nodes) << m.name;
        else
            EXPECT_LT(wiring->nodes_written_out(), proto->num_nodes) << m.name;
        expect_lanes_step_like_the_reference(m.name, m.build, 100, 300);
    }
}

// Every shape of node a tube or a rod has (they change at the ends, at the
// seam, and around rings of two) is written out and steps like the reference.
TEST(LaneBatch, TubesAndRodsOfEverySizeHaveEveryNodeWrittenOut)
{
    static int32_t length, around;
    for (length = 2; length <= 6; ++length) {
        for (around = 2; around <= 6; ++around) {
            const MeshBuilder tube = [] { return cw_metal_obj_new_tube(length, around, 4.0); };
            ObjPtr obj(tube());
            const std::string name = "tube " + std::to_string(length) + "x" + std::to_string(around);
            EXPECT_EQ(voice::LaneWiring::compile(*obj)->nodes_written_out(), obj->num_nodes)
                << name;
            expect_lanes_step_like_the_reference(name.c_str(), tube, 20, 60);
        }
        const MeshBuilder rod = [] { return cw_metal_obj_new_rod(length + 1, 2.5); };
        ObjPtr obj(rod());
        const std::string name = "rod " + std::to_string(length + 1);
        EXPECT_EQ(voice::LaneWiring::compile(*obj)->nodes_written_out(), obj->num_nodes) << name;
        expect_lanes_step_like_the_reference(name.c_str(), rod, 20, 60);
    }
}

TEST(VoiceEngine, RootNoteIsTheRenderLoopsSoundAtTheFixedGain)
{
    const Instrument ins = instrument_defaults();
    auto e = engine_for(ins);
    const int32_t root = e->root_key();
    const uint32_t frames = rate / 2;
    const Stereo out = play(*e, {{0, note_on, static_cast<uint8_t>(root), 127}}, frames);
    const std::vector<double> rendered = rendered_sound(ins, rate, 0.5);
    ASSERT_EQ(rendered.size(), frames);
    // The render loop normalises to a peak of 1; the engine scales by its
    // gain. A full-velocity root note peaks at -12 dBFS over the measured
    // second, so over half of it at most there.
    double rendered_peak = 0.0;
    for (double y : rendered)
        rendered_peak = std::max(rendered_peak, std::fabs(y));
    const double scale = peak(out.left) / rendered_peak;
    EXPECT_LE(peak(out.left), std::pow(10.0, -12.0 / 20.0) * 1.0001);
    EXPECT_GT(peak(out.left), std::pow(10.0, -20.0 / 20.0)); // and not silence
    for (uint32_t i = 0; i < frames; ++i)
        // Single-precision output: 2^-24 of full scale, with margin.
        ASSERT_NEAR(out.left[i], rendered[i] * scale, 1e-6) << "frame " << i;
}

// The test's own estimate of a partial near `hz`: the strongest frequency of
// the Hann-windowed spectrum within 60 cents, a cent apart, then refined.
double partial_near(const std::vector<double> &x, double hz)
{
    double best = 0.0, best_hz = 0.0;
    for (int c = -60; c <= 60; ++c) {
        const double f = hz * std::exp2(c / 1200.0);
        const double p = power_at(rate, x, f);
        if (p > best) {
            best = p;
            best_hz = f;
        }
    }
    return peak_near(rate, x, best_hz);
}

TEST(VoiceEngine, EveryKeyPlaysItsPitchOverFourOctaves)
{
    const Instrument ins = soft_tube();
    EngineSettings s;
    s.mono = true;
    auto e = engine_for(ins, s);
    const int32_t root = e->root_key();
    ASSERT_GT(e->reference_hz(), 0.0);
    // Low keys ring longer in the window, so that it resolves their
    // partials as well as the root's half second resolves the root's.
    auto sound_of = [&](int32_t key) {
        e->reset();
        const double seconds = std::clamp(0.5 * std::exp2((root - key) / 12.0), 0.5, 4.0);
        return as_double(play(*e, {{0, note_on, static_cast<uint8_t>(key), 100}},
                              static_cast<uint32_t>(seconds * rate))
                             .left);
    };
    const double root_hz = partial_near(sound_of(root), e->reference_hz());
    ASSERT_GT(root_hz, 0.0);
    int32_t low = 127, high = 0;
    for (int32_t key = std::max(e->lowest_key(), root - 40); key <= e->highest_key(); key += 2) {
        const double want = root_hz * std::exp2((key - root) / 12.0);
        const double got = peak_near(rate, sound_of(key), want);
        ASSERT_GT(got, 0.0) << "key " << key << ": no partial within 15 cents of " << want;
        // The discretisation alone would put the top keys tens of cents sharp.
        EXPECT_LT(std::fabs(cents(got, want)), 3.0) << "key " << key;
        low = std::min(low, key);
        high = std::max(high, key);
    }
    EXPECT_GE(high - low, 47) << "playable " << e->lowest_key() << ".." << e->highest_key();
}

// Key-up, the pedal and one-shot, heard as the level half a second after
// the key went up.
TEST(VoiceEngine, KeyUpDampsThePedalHoldsAndOneShotIgnoresIt)
{
    const Instrument ins = instrument_defaults();
    auto level_after_release = [&](EngineSettings s, std::vector<VoiceEvent> extra) {
        auto e = engine_for(ins, s);
        const auto key = static_cast<uint8_t>(e->root_key());
        std::vector<VoiceEvent> ev = {{0, note_on, key, 127}, {rate / 10, note_off, key, 0}};
        ev.insert(ev.end(), extra.begin(), extra.end());
        std::sort(ev.begin(), ev.end(), [](auto &a, auto &b) { return a.frame < b.frame; });
        const Stereo out = play(*e, ev, rate);
        return std::pair{peak(out.left, rate / 2, rate / 2 + rate / 10), e->active_voices()};
    };
    EngineSettings plain;
    plain.release_s = 0.1;
    const auto [held_by_pedal, voices_pedal] =
        level_after_release(plain, {{0, control, 64, 127}});
    const auto [released, voices_released] = level_after_release(plain, {});
    EngineSettings one_shot = plain;
    one_shot.one_shot = true;
    const auto [rings_out, voices_one_shot] = level_after_release(one_shot, {});
    // 60 dB in 0.1 s: at 0.4 s after key-up the voice is 90 dB down and free.
    EXPECT_EQ(voices_released, 0);
    EXPECT_LT(released, 1e-5f);
    EXPECT_GT(held_by_pedal, 1000 * std::max(released, 1e-9f));
    EXPECT_EQ(voices_pedal, 1);
    EXPECT_NEAR(rings_out, held_by_pedal, 1e-6f); // the same undamped ring
    EXPECT_EQ(voices_one_shot, 1);
}

TEST(VoiceEngine, SofterStrikesArQuieterAndRestrikesAddToTheRingingVoice)
{
    const Instrument ins = instrument_defaults();
    auto e = engine_for(ins);
    const auto key = static_cast<uint8_t>(e->root_key());
    const float loud = peak(play(*e, {{0, note_on, key, 127}}, rate / 4).left);
    e->reset();
    const float soft = peak(play(*e, {{0, note_on, key, 32}}, rate / 4).left);
    EXPECT_LT(soft, 0.5f * loud);

    // A second strike of the ringing key adds to its motion: one voice, and
    // a sound that differs from the first strike's alone from that frame on.
    e->reset();
    const uint32_t again = rate / 8;
    const Stereo twice = play(*e, {{0, note_on, key, 100}, {again, note_on, key, 100}}, rate / 4);
    EXPECT_EQ(e->active_voices(), 1);
    e->reset();
    const Stereo once = play(*e, {{0, note_on, key, 100}}, rate / 4);
    for (uint32_t i = 0; i <= again; ++i)
        ASSERT_EQ(twice.left[i], once.left[i]);
    EXPECT_NE(std::memcmp(twice.left.data() + again + 1, once.left.data() + again + 1,
                          sizeof(float) * 100),
              0);
    EngineSettings fresh;
    fresh.restrike = false;
    auto f = engine_for(ins, fresh);
    play(*f, {{0, note_on, key, 100}, {again, note_on, key, 100}}, rate / 4);
    EXPECT_EQ(f->active_voices(), 2);
}

// 32 notes at once, then one more than the polyphony: the quietest released
// voice fades out over 5 ms instead of stopping dead.
TEST(VoiceEngine, ThirtyTwoNotesRingAtOnceAndStealingFadesWithoutAClick)
{
    const Instrument ins = instrument_defaults();
    EngineSettings s;
    s.polyphony = 32;
    auto e = engine_for(ins, s);
    std::vector<VoiceEvent> chord;
    for (int32_t i = 0; i < 32; ++i)
        chord.push_back({static_cast<uint32_t>(i), note_on, static_cast<uint8_t>(e->root_key() - 31 + i), 90});
    play(*e, chord, rate / 10);
    EXPECT_EQ(e->active_voices(), 32);

    EngineSettings two;
    two.polyphony = 2;
    auto g = engine_for(ins, two);
    const auto root = static_cast<uint8_t>(g->root_key());
    const uint32_t steal_at = rate / 5;
    const Stereo out = play(*g,
                            {{0, note_on, static_cast<uint8_t>(root - 5), 127},
                             {1, note_on, static_cast<uint8_t>(root - 2), 127},
                             {rate / 10, note_off, static_cast<uint8_t>(root - 5), 0},
                             {steal_at, note_on, root, 127}},
                            rate / 2);
    EXPECT_EQ(g->active_voices(), 2);
    // No jump between frames around the steal larger than the sound makes
    // on its own between frames.
    float largest_step = 0.0f, step_at_steal = 0.0f;
    for (uint32_t i = 1; i < steal_at; ++i)
        largest_step = std::max(largest_step, std::fabs(out.left[i] - out.left[i - 1]));
    for (uint32_t i = steal_at; i < steal_at + rate / 100; ++i)
        step_at_steal = std::max(step_at_steal, std::fabs(out.left[i] - out.left[i - 1]));
    EXPECT_LE(step_at_steal, 1.5f * largest_step);
}

// Twenty voices at once, two batches of lanes at the output rate (one full,
// one partly) and two at higher rates, each struck at its own frame: the mix
// is the sum of its halves played apart, where each voice sits in another
// lane, to the float rounding of the output.
TEST(VoiceEngine, EveryVoiceOfABigChordSoundsAsItDoesApart)
{
    const Instrument ins = instrument_defaults();
    EngineSettings s;
    s.polyphony = 32;
    auto e = engine_for(ins, s);
    int32_t top = e->root_key();
    while (top + 1 <= e->highest_key() && e->key_oversampling(top + 1) == 1)
        ++top;
    ASSERT_LT(top + 2, e->highest_key() + 1) << "no key above the stable step";
    std::vector<VoiceEvent> chord;
    for (int32_t i = 0; i < 20; ++i)
        chord.push_back({static_cast<uint32_t>(37 * i), note_on,
                         static_cast<uint8_t>(top - 17 + i), static_cast<uint8_t>(40 + 4 * i)});
    constexpr uint32_t frames = rate / 4;
    const Stereo all = play(*e, chord, frames);
    std::vector<double> left(frames, 0.0), right(frames, 0.0);
    for (size_t part = 0; part < 2; ++part) {
        std::vector<VoiceEvent> half;
        for (size_t i = part; i < chord.size(); i += 2)
            half.push_back(chord[i]);
        auto apart = engine_for(ins, s);
        const Stereo one = play(*apart, half, frames);
        for (uint32_t f = 0; f < frames; ++f) {
            left[f] += one.left[f];
            right[f] += one.right[f];
        }
    }
    double peak = 0.0, worst = 0.0;
    for (uint32_t f = 0; f < frames; ++f) {
        peak = std::max(peak, std::fabs(left[f]));
        worst = std::max({worst, std::fabs(all.left[f] - left[f]), std::fabs(all.right[f] - right[f])});
    }
    EXPECT_GT(peak, 0.01);
    EXPECT_LT(worst, 1e-5 * peak);
}

// A score with chords, pedal, bend and the controllers, cut into blocks of
// every size a host uses: the same bits, and no allocation while it plays.
TEST(VoiceEngine, AScorePlaysTheSameInEveryBlockSizeWithoutAllocating)
{
    const Instrument ins = instrument_defaults();
    std::vector<VoiceEvent> score;
    auto at = [&](double s, uint8_t status, int d1, int d2) {
        score.push_back({static_cast<uint32_t>(s * rate), status, static_cast<uint8_t>(d1),
                         static_cast<uint8_t>(d2)});
    };
    at(0.0, note_on, 76, 100);
    at(0.0, note_on, 79, 80);
    at(0.05, control, 64, 127);
    at(0.1, 0xe0, 0, 80); // bend up
    at(0.15, note_off, 76, 0);
    at(0.2, note_on, 81, 127);
    at(0.2, note_on, 76, 60); // while the first still rings under the pedal
    at(0.3, 0xe0, 0, 64);
    at(0.35, control, 64, 0);
    at(0.4, control, 123, 0);
    at(0.45, note_on, 72, 110);
    at(0.46, note_on, 96, 120);  // stepped twice a frame and decimated
    at(0.47, note_on, 110, 120); // four times
    at(0.5, control, 120, 0);
    const uint32_t frames = rate * 6 / 10;
    std::vector<float> reference;
    // Engines made for the host's largest block, or for a larger one.
    for (uint32_t block : {4096u, 1u, 37u, 128u}) {
        EngineSettings s;
        s.polyphony = 3;
        auto e = engine_for(ins, s, block == 37u ? 4096 : std::max(block, 64u));
        allocations = 0;
        const Stereo out = play(*e, score, frames, block);
        EXPECT_EQ(allocations, 0) << "block " << block;
        std::vector<float> both = out.left;
        both.insert(both.end(), out.right.begin(), out.right.end());
        if (reference.empty())
            reference = both;
        else
            EXPECT_EQ(std::memcmp(both.data(), reference.data(), both.size() * sizeof(float)), 0)
                << "block " << block;
    }
    EXPECT_GT(peak(reference), 0.01f);
    EXPECT_GT(peak(reference, rate * 47 / 100, rate / 2), 0.01f);
}

// Decimated keys struck one after another, each ringing out while the next
// sounds and voices ending within blocks: a voice's resampler is fed it up
// to its last frame and its queue keeps every frame, so the next voice on
// that lane plays the same whatever the host's blocks.
TEST(VoiceEngine, DecimatedKeysStruckInTurnPlayTheSameInEveryBlockSize)
{
    const Instrument ins = instrument_defaults();
    std::vector<float> reference;
    for (uint32_t block : {4096u, 4095u, 1u, 333u}) {
        auto e = engine_for(ins);
        const int32_t key = e->root_key() + 16;
        ASSERT_EQ(e->key_oversampling(key), 2);
        std::vector<VoiceEvent> score = {{0, note_on, static_cast<uint8_t>(key), 96},
                                         {10000, note_off, static_cast<uint8_t>(key), 0}};
        for (uint32_t k = 1; k < 6; ++k) {
            const auto other = static_cast<uint8_t>(key - k % 3);
            score.push_back({k * 20000 + 7, note_on, other, 90});
            score.push_back({k * 20000 + 3007, note_off, other, 0});
        }
        const Stereo out = play(*e, score, 3 * rate, block);
        if (reference.empty())
            reference = out.left;
        else
            EXPECT_EQ(out.left, reference) << "block " << block;
    }
    EXPECT_GT(peak(reference, 2 * rate, 3 * rate), 0.001f);
}

// Level, release, one-shot, restrike and velocity curve change without a
// prepare: an engine adjusted between two notes plays them bit for bit as
// two engines prepared with the first and the second settings would, and
// nothing else is taken or allocated.
TEST(VoiceEngine, AdjustedSettingsPlayAsAnEnginePreparedWithThem)
{
    const Instrument ins = instrument_defaults();
    EngineSettings first, second;
    second.level_db = -6.0;
    second.release_s = 0.05;
    second.velocity_curve = 2.0;
    auto adjusted = engine_for(ins, first), reference = engine_for(ins, second);
    const auto key = static_cast<uint8_t>(adjusted->root_key());
    const std::vector<VoiceEvent> score = {{0, note_on, key, 90}, {2000, note_off, key, 0}};
    play(*adjusted, score, 100);
    counting = true;
    allocations = 0;
    const bool taken = adjusted->adjust(second);
    counting = false;
    EXPECT_TRUE(taken);
    EXPECT_EQ(allocations, 0);
    adjusted->reset();
    const Stereo a = play(*adjusted, score, rate / 2), b = play(*reference, score, rate / 2);
    EXPECT_EQ(a.left, b.left);
    EXPECT_EQ(a.right, b.right);
    EXPECT_GT(peak(a.left), 0.01f);

    EngineSettings rebuilt = second;
    rebuilt.bend_range = 12.0;
    EngineSettings wrong = second;
    wrong.level_db = 20.0;
    EXPECT_FALSE(adjusted->adjust(rebuilt));
    EXPECT_FALSE(adjusted->adjust(wrong));
    EXPECT_EQ(adjusted->settings().level_db, -6.0);
    EXPECT_FALSE(voice::same_preparation(second, rebuilt));
    EXPECT_TRUE(voice::same_preparation(first, second));
}

// A sound changed while a note rings: the ringing note keeps the old
// engine, hears its key-up there, and the new engine takes the next note;
// the old one comes back to be freed once its note has ended.
TEST(VoiceEngine, APrepareCancelledFromAnotherThreadEndsWithNoEngine)
{
    // The window's worker cancels a prepare it no longer wants (the window
    // closes, another sound is asked for); one not cancelled is whole.
    const Instrument ins = instrument_defaults();
    std::atomic<bool> cancel{true};
    std::string error;
    EXPECT_EQ(VoiceEngine::prepare(ins, rate, EngineSettings{}, 128, error, &cancel), nullptr);
    EXPECT_EQ(error, "The preparation was cancelled.");
    cancel = false;
    EXPECT_NE(VoiceEngine::prepare(ins, rate, EngineSettings{}, 128, error, &cancel), nullptr);
}

TEST(EnginePair, ANoteRingingThroughAChangeOfSoundKeepsItsVoice)
{
    Instrument first = instrument_defaults();
    Instrument second = first;
    second.tension = 3.0;
    EngineSettings s;
    s.release_s = 0.05;
    auto a = engine_for(first, s), b = engine_for(second, s);
    auto a_alone = engine_for(first, s), b_alone = engine_for(second, s);
    const auto key = static_cast<uint8_t>(a->root_key());
    constexpr uint32_t block = 256;
    voice::EnginePair pair(block);
    EXPECT_EQ(pair.swap_in(a.get()), nullptr);

    const std::vector<VoiceEvent> before = {{0, note_on, key, 100}};
    const std::vector<VoiceEvent> after = {{10, note_on, key, 90}, {20, note_off, key, 0}};
    std::vector<float> l(block), r(block), al(block), ar(block), bl(block), br(block);
    pair.process(before, l.data(), r.data(), block);
    a_alone->process(before, al.data(), ar.data(), block);
    EXPECT_EQ(pair.swap_in(b.get()), nullptr);
    EXPECT_EQ(pair.take_finished(), nullptr); // the old note still rings

    // The old engine sees the key-up but not the new note-on.
    pair.process(after, l.data(), r.data(), block);
    a_alone->process(std::vector<VoiceEvent>{{20, note_off, key, 0}}, al.data(), ar.data(), block);
    b_alone->process(after, bl.data(), br.data(), block);
    for (uint32_t i = 0; i < block; ++i)
        ASSERT_EQ(l[i], bl[i] + al[i]) << "frame " << i;

    VoiceEngine *finished = nullptr;
    for (uint32_t n = 0; n < static_cast<uint32_t>(rate) / block && !finished; ++n) {
        pair.process({}, l.data(), r.data(), block);
        finished = pair.take_finished();
    }
    EXPECT_EQ(finished, a.get());
    EXPECT_EQ(pair.current(), b.get());
}

} // namespace
