// Time to analyse a sound: the default sound (1 s of the default tube at
// 48000 Hz), the longest the window makes (10 s at 96000 Hz) for each shape,
// and a synthetic worst case of that length whose 32 partials ring to the
// end, so that every one is followed through the whole sound. One thread.
// Also the window's share before a playback starts: handing the frames over
// to the analysis thread.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "analysis_worker.h"
#include "render.h"
#include "sound_analysis.h"

namespace {

std::vector<int16_t> rendered(int32_t type, double length_s, int32_t rate)
{
    Instrument ins = instrument_defaults();
    ins.type = type;
    ins.actuation_node = instrument_reset_actuation_node(ins);
    ins.sampling_node = instrument_reset_sampling_node(ins);
    sample_length = length_s;
    const uint64_t n = do_render(&ins, rate);
    return {samples, samples + n};
}

// 32 partials spread over the band, each falling only 20 dB in 10 s.
std::vector<int16_t> ringing_partials(double length_s, int32_t rate)
{
    constexpr int partials = 32;
    constexpr double lowest_hz = 110.0, ratio = 1.13, fall_db_per_s = 2.0;
    const auto n = static_cast<size_t>(length_s * rate);
    std::vector<int16_t> frames(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        double v = 0.0;
        for (int k = 0; k < partials; ++k)
            v += std::pow(10.0, -fall_db_per_s * t / 20.0) *
                 std::sin(2.0 * std::numbers::pi * lowest_hz * std::pow(ratio, k) * t + k);
        frames[i] = static_cast<int16_t>(std::lround(v / partials * 32000.0));
    }
    return frames;
}

void analyse(benchmark::State &state, std::vector<int16_t> frames, int32_t rate)
{
    SoundAnalyser analyser; // plans made once, as the window and the programs keep them
    for (auto _ : state) {
        const SoundAnalysis a = analyser.analyse(frames, rate);
        benchmark::DoNotOptimize(a.partials.data());
    }
    state.counters["partials"] =
        static_cast<double>(analyser.analyse(frames, rate).partials.size());
}

// What the window's main thread spends before a playback may start: the copy
// of the frames and the request to the worker (the analysis itself runs on the
// worker's thread meanwhile).
void hand_over(benchmark::State &state, std::vector<int16_t> frames, int32_t rate)
{
    AnalysisWorker worker([](uint64_t, SoundAnalysis) {});
    uint64_t ticket = 0;
    for (auto _ : state)
        worker.request(++ticket, std::vector<int16_t>(frames), rate);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    const struct {
        const char *name;
        int32_t type;
        double length_s;
        int32_t rate;
    } sounds[] = {
        {"default_tube_1s_48000", TYPE_TUBE, 1.0, 48000},
        {"tube_10s_96000", TYPE_TUBE, 10.0, 96000},
        {"rod_10s_96000", TYPE_ROD, 10.0, 96000},
        {"plane_10s_96000", TYPE_PLANE, 10.0, 96000},
    };
    for (const auto &s : sounds)
        benchmark::RegisterBenchmark((std::string("analyse/") + s.name).c_str(), analyse,
                                     rendered(s.type, s.length_s, s.rate), s.rate)
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("analyse/ringing_32_partials_10s_96000", analyse,
                                 ringing_partials(10.0, 96000), 96000)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("hand_over/default_tube_1s_48000", hand_over,
                                 rendered(TYPE_TUBE, 1.0, 48000), 48000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("hand_over/tube_10s_192000", hand_over,
                                 rendered(TYPE_TUBE, 10.0, 192000), 192000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
