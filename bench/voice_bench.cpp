// Voices of one instrument ringing at once, in blocks of 128 frames at
// 48000 Hz as a host plays them: how many voices one core keeps in real
// time, and that speed as a fraction of the square-root bound (springs x
// voices x rate against the square roots per second measured in the same
// run, on the vector width the lanes use).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "fast_step.h"
#include "instrument.h"
#include "lane_mesh.h"
#include "voice_engine.h"

namespace {

constexpr int32_t rate = 48000;
constexpr uint32_t block = 128;
constexpr int32_t voices = 64;
constexpr uint32_t blocks_per_iteration = 64;

enum Sound : int64_t { default_tube, plane_7x9, plate_30x39 };

Instrument instrument_of(int64_t sound)
{
    Instrument ins = instrument_defaults();
    if (sound != default_tube) {
        ins.type = TYPE_PLANE;
        ins.plane_length = sound == plane_7x9 ? 7 : 30;
        ins.plane_width = sound == plane_7x9 ? 9 : 39;
        ins.actuation_node = instrument_reset_actuation_node(ins);
        ins.sampling_node = instrument_reset_sampling_node(ins);
    }
    return ins;
}

double sqrt_rate(voice::LanePath lanes)
{
    using cwphymod::FastPath;
    const FastPath path = lanes == voice::LanePath::avx512 ? FastPath::avx512
                          : lanes == voice::LanePath::avx2 ? FastPath::avx2
                                                           : FastPath::sse2;
    constexpr int32_t values = 2048;
    std::vector<double> in(values), out(values);
    for (int32_t i = 0; i < values; ++i)
        in[static_cast<size_t>(i)] = 1.0 + 0.37 * i;
    double best = 0.0;
    for (int trial = 0; trial < 5; ++trial) {
        const auto start = std::chrono::steady_clock::now();
        constexpr int sweeps = 300;
        for (int s = 0; s < sweeps; ++s) {
            cwphymod::sqrt_sweep_for_bench(path, in.data(), out.data(), values);
            benchmark::ClobberMemory();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::max(best, double{values} * sweeps / took.count());
    }
    return best;
}

void run_voices(benchmark::State &state, voice::LanePath path)
{
    if ((path == voice::LanePath::avx512 && !__builtin_cpu_supports("avx512f")) ||
        (path == voice::LanePath::avx2 && !__builtin_cpu_supports("avx2"))) {
        state.SkipWithError("this processor lacks the instruction set");
        return;
    }
    voice::set_lane_path(path);
    const Instrument ins = instrument_of(state.range(0));
    voice::EngineSettings settings;
    settings.polyphony = voices;
    settings.restrike = false;
    std::string error;
    auto engine = voice::VoiceEngine::prepare(ins, rate, settings, block, error);
    if (!engine) {
        state.SkipWithError(error.c_str());
        return;
    }
    // Every voice on a key the mesh plays with one step a frame.
    int32_t top = engine->root_key();
    while (engine->key_oversampling(top + 1) == 1)
        ++top;
    std::vector<voice::VoiceEvent> chord;
    for (int32_t v = 0; v < voices; ++v)
        chord.push_back({0, 0x90, static_cast<uint8_t>(std::max(0, top - v % 12)), 100});
    std::vector<float> left(block), right(block);
    engine->process(chord, left.data(), right.data(), block);
    for (auto _ : state)
        for (uint32_t b = 0; b < blocks_per_iteration; ++b) {
            engine->process({}, left.data(), right.data(), block);
            benchmark::DoNotOptimize(left.data());
        }
    const double seconds_of_sound =
        static_cast<double>(state.iterations()) * blocks_per_iteration * block / rate;
    const double rtf_per_voice_set = seconds_of_sound; // divided by the time below
    state.counters["voices_rt"] = benchmark::Counter(
        rtf_per_voice_set * engine->active_voices(), benchmark::Counter::kIsRate);
    const double bound_voices =
        sqrt_rate(path) / (static_cast<double>(engine->num_springs()) * rate);
    state.counters["of_bound"] = benchmark::Counter(
        rtf_per_voice_set * engine->active_voices() / bound_voices, benchmark::Counter::kIsRate);
    state.SetLabel(std::to_string(engine->active_voices()) + " voices");
    voice::set_lane_path(voice::best_lane_path());
}

// The path this processor chooses, and AVX2 (what most desktops run)
// forced on a processor that has more.
void BM_Voices(benchmark::State &state)
{
    run_voices(state, voice::best_lane_path());
}
void BM_VoicesAvx2(benchmark::State &state)
{
    run_voices(state, voice::LanePath::avx2);
}
BENCHMARK(BM_Voices)
    ->Arg(default_tube)
    ->Arg(plane_7x9)
    ->Arg(plate_30x39)
    ->ArgName("sound")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VoicesAvx2)
    ->Arg(default_tube)
    ->Arg(plane_7x9)
    ->Arg(plate_30x39)
    ->ArgName("sound")
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
