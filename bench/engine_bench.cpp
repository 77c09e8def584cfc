// Real-time factor (seconds of sound computed per second) of one integration
// step per sample: the fast stepper beside the reference pointer-chasing step
// of the same mesh, built with the same flags, in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cw_metal_obj.h"
#include "metal_obj_ptr.h"
#include "cw_metal_obj_fast.h"
#include "fast_step.h"
#include "instrument.h"
#include "render.h"

namespace {

using cwphymod::FastPath;

// Steps per benchmark iteration: long enough to hide the loop around it.
constexpr int steps_per_iteration = 256;
// The defaults' speed and damping time.
constexpr double speed = 0.2;
constexpr double damping_s = 0.05;

enum Mesh : int64_t {
    default_tube,
    largest_tube,
    default_rod,
    largest_rod,
    default_plane,
    largest_plane,
    medium_tube,
    medium_plane
};

MetalObj *build(int64_t mesh)
{
    switch (mesh) {
    case default_tube:
        return cw_metal_obj_new_tube(10, 5, 4.0);
    case largest_tube:
        return cw_metal_obj_new_tube(30, 30, 4.0);
    case default_rod:
        return cw_metal_obj_new_rod(5, 4.0);
    case largest_rod:
        return cw_metal_obj_new_rod(200, 4.0);
    case default_plane:
        return cw_metal_obj_new_plane(7, 9, 4.0);
    case medium_tube:
        return cw_metal_obj_new_tube(20, 20, 4.0);
    case medium_plane:
        return cw_metal_obj_new_plane(20, 20, 4.0);
    default:
        return cw_metal_obj_new_plane(30, 39, 4.0);
    }
}

const char *mesh_name(int64_t mesh)
{
    static const char *names[] = {"tube10x5",   "tube30x30", "rod5",      "rod200",
                                  "plane7x9",   "plane30x39", "tube20x20", "plane20x20"};
    return names[mesh];
}

// A struck mesh, as the render loop sets it up.
ObjPtr struck(int64_t mesh)
{
    ObjPtr obj(build(mesh));
    const int32_t node = mesh == default_rod || mesh == largest_rod ? 1 : obj->num_nodes / 2;
    obj->nodes[node]->x += 1.0;
    return obj;
}

// Square roots per second of `path`'s instruction on this core: the best of a
// few timed sweeps over an array that stays in the L1 cache, on values with
// full mantissas (the square root of a round number like 2 or 16 can be
// faster). Each benchmark measures it again right after its own loop, so that
// the fraction of the bound compares two speeds taken under the same
// conditions (the clock of a shared machine's core varies with its load).
constexpr int32_t sqrt_probe_values = 2048;
constexpr int sqrt_probe_trials = 5;
constexpr int sqrt_probe_sweeps = 300;

std::vector<double> sqrt_probe_input()
{
    std::vector<double> in(sqrt_probe_values);
    for (int32_t i = 0; i < sqrt_probe_values; ++i)
        in[static_cast<size_t>(i)] = 1.0 + 0.37 * i;
    return in;
}

double sqrt_rate(FastPath path)
{
    const std::vector<double> in = sqrt_probe_input();
    std::vector<double> out(sqrt_probe_values);
    double best = 0.0;
    for (int t = 0; t < sqrt_probe_trials; ++t) {
        const auto start = std::chrono::steady_clock::now();
        for (int s = 0; s < sqrt_probe_sweeps; ++s) {
            cwphymod::sqrt_sweep_for_bench(path, in.data(), out.data(), sqrt_probe_values);
            benchmark::ClobberMemory();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::max(best, double{sqrt_probe_values} * sqrt_probe_sweeps / took.count());
    }
    return best;
}

// The real-time factor one core's square roots allow `fast` at `rate`: one
// square root per spring and step.
double bound_rtf(const MetalObjFast *fast, double rate)
{
    return sqrt_rate(cwphymod::fast_path_of(fast)) /
           (static_cast<double>(cwphymod::fast_spring_count(fast)) * rate);
}

// rtf: seconds of sound per second. of_bound: that speed as a fraction of
// bound_rtf for the instruction set the mesh was compiled for.
void report(benchmark::State &state, double rate, const MetalObjFast *fast = nullptr)
{
    const double seconds_of_sound =
        static_cast<double>(state.iterations()) * steps_per_iteration / rate;
    state.counters["rtf"] = benchmark::Counter(seconds_of_sound, benchmark::Counter::kIsRate);
    if (!fast)
        return;
    const double bound = bound_rtf(fast, rate);
    state.counters["bound_rtf"] = bound;
    state.counters["of_bound"] =
        benchmark::Counter(seconds_of_sound / bound, benchmark::Counter::kIsRate);
}

// The bound itself: square roots per second on the path the stepper picks.
void BM_SqrtRate(benchmark::State &state)
{
    ObjPtr obj(build(largest_plane));
    FastPtr f(cw_metal_obj_fast_new(obj.get()));
    const FastPath path = cwphymod::fast_path_of(f.get());
    const std::vector<double> in = sqrt_probe_input();
    std::vector<double> out(sqrt_probe_values);
    for (auto _ : state) {
        cwphymod::sqrt_sweep_for_bench(path, in.data(), out.data(), sqrt_probe_values);
        benchmark::ClobberMemory();
    }
    state.counters["sqrt_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * sqrt_probe_values, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SqrtRate);

void BM_Reference(benchmark::State &state)
{
    const double rate = static_cast<double>(state.range(1));
    ObjPtr obj = struck(state.range(0));
    const double dt = 44100.0 * speed / rate;
    const double damp = std::pow(0.5, 1.0 / (rate * damping_s));
    for (auto _ : state) {
        for (int i = 0; i < steps_per_iteration; ++i)
            cw_metal_obj_perturb(obj.get(), dt, damp);
        benchmark::DoNotOptimize(obj->nodes[0]);
    }
    state.SetLabel(mesh_name(state.range(0)));
    report(state, rate);
}

void fast(benchmark::State &state, FastPath path)
{
    const double rate = static_cast<double>(state.range(1));
    ObjPtr obj = struck(state.range(0));
    cwphymod::set_fast_path_for_testing(path);
    FastPtr f(cw_metal_obj_fast_new(obj.get()));
    cwphymod::set_fast_path_for_testing(FastPath::automatic);
    if (!f || (path != FastPath::automatic && cwphymod::fast_path_of(f.get()) != path)) {
        state.SkipWithError("path not available");
        return;
    }
    const double dt = 44100.0 * speed / rate;
    const double damp = std::pow(0.5, 1.0 / (rate * damping_s));
    for (auto _ : state) {
        for (int i = 0; i < steps_per_iteration; ++i)
            cw_metal_obj_fast_perturb(f.get(), dt, damp);
        benchmark::DoNotOptimize(cw_metal_obj_fast_get(f.get(), 0, CW_METAL_OBJ_X));
    }
    state.SetLabel(mesh_name(state.range(0)));
    report(state, rate, f.get());
}

// The same mesh stepped on one thread and split across range(2) threads, in
// alternating rounds, so that the speed-up compares two speeds taken under the
// same conditions. range(3) = 1 lifts the stepper's size limit (to choose the
// limit from these figures); 0 keeps it, as a render does. Timed: the split
// stepper, in real time (the workers' time counts). speedup: one thread's
// time over the split stepper's; of_bound: the split stepper's speed as a
// fraction of one core's square-root bound.
void BM_Threads(benchmark::State &state)
{
    const double rate = static_cast<double>(state.range(1));
    ObjPtr obj = struck(state.range(0));
    FastPtr one(cw_metal_obj_fast_new(obj.get()));
    FastPtr split(cw_metal_obj_fast_new(obj.get()));
    if (state.range(3))
        cwphymod::set_min_springs_per_thread_for_testing(0);
    const int32_t threads =
        cw_metal_obj_fast_set_threads(split.get(), static_cast<int32_t>(state.range(2)));
    cwphymod::set_min_springs_per_thread_for_testing(-1);
    const double dt = 44100.0 * speed / rate;
    const double damp = std::pow(0.5, 1.0 / (rate * damping_s));
    // Past the strike's first wave, and long enough for the split to tune
    // itself.
    constexpr int warm_up_steps = 8192;
    for (int i = 0; i < warm_up_steps; ++i) {
        cw_metal_obj_fast_perturb(one.get(), dt, damp);
        cw_metal_obj_fast_perturb(split.get(), dt, damp);
    }
    double one_s = 0.0, split_s = 0.0;
    for (auto _ : state) {
        const auto a = std::chrono::steady_clock::now();
        for (int i = 0; i < steps_per_iteration; ++i)
            cw_metal_obj_fast_perturb(one.get(), dt, damp);
        const auto b = std::chrono::steady_clock::now();
        for (int i = 0; i < steps_per_iteration; ++i)
            cw_metal_obj_fast_perturb(split.get(), dt, damp);
        const auto c = std::chrono::steady_clock::now();
        one_s += std::chrono::duration<double>(b - a).count();
        const double took = std::chrono::duration<double>(c - b).count();
        split_s += took;
        state.SetIterationTime(took);
    }
    // Both took the same steps: a speed-up counts only for the same bits (a
    // split step that read stale positions could even run faster, as some
    // values take the square root faster than others).
    bool differ = false;
    for (int32_t node = 0; node < cw_metal_obj_fast_num_nodes(one.get()); ++node)
        for (int32_t axis = 0; axis < 3; ++axis) {
            const double a = cw_metal_obj_fast_get(one.get(), node, axis);
            const double b = cw_metal_obj_fast_get(split.get(), node, axis);
            differ = differ || std::memcmp(&a, &b, sizeof a) != 0;
        }
    if (differ)
        state.SkipWithError("the split step's positions differ from one thread's");
    const double seconds_of_sound =
        static_cast<double>(state.iterations()) * steps_per_iteration / rate;
    state.counters["rtf"] = seconds_of_sound / split_s;
    state.counters["speedup"] = one_s / split_s;
    state.counters["of_bound"] = seconds_of_sound / split_s / bound_rtf(split.get(), rate);
    state.SetLabel(std::string(mesh_name(state.range(0))) + ", " + std::to_string(threads) +
                   (threads == 1 ? " thread" : " threads"));
}

void BM_Fast(benchmark::State &state) { fast(state, FastPath::automatic); }
void BM_FastScalar(benchmark::State &state) { fast(state, FastPath::scalar); }
void BM_FastSse2(benchmark::State &state) { fast(state, FastPath::sse2); }
void BM_FastAvx2(benchmark::State &state) { fast(state, FastPath::avx2); }

void meshes(benchmark::internal::Benchmark *b)
{
    for (int64_t mesh = default_tube; mesh <= largest_plane; ++mesh)
        for (int64_t rate : {48000, 96000})
            b->Args({mesh, rate});
}

BENCHMARK(BM_Reference)->Apply(meshes);
BENCHMARK(BM_Fast)->Apply(meshes);
BENCHMARK(BM_Threads)
    ->ArgsProduct({{largest_plane, largest_tube}, {48000, 96000}, {2}, {0}})
    ->ArgsProduct({{default_tube, default_plane, largest_rod, medium_tube, medium_plane,
                    largest_tube},
                   {96000},
                   {2},
                   {0, 1}})
    ->UseManualTime();
BENCHMARK(BM_FastScalar)->Args({largest_plane, 96000})->Args({default_tube, 48000});
BENCHMARK(BM_FastSse2)
    ->Args({largest_plane, 96000})
    ->Args({largest_tube, 96000})
    ->Args({default_tube, 48000});
BENCHMARK(BM_FastAvx2)
    ->Args({largest_plane, 96000})
    ->Args({largest_tube, 96000})
    ->Args({default_tube, 48000});

// The whole render loop (build, strike, steps, offset removal, envelope,
// normalisation) for one second of sound at the given rate, with its steps
// split across range(2) threads where the mesh is large enough. Real time.
void BM_Render(benchmark::State &state)
{
    const int32_t rate = static_cast<int32_t>(state.range(1));
    Instrument ins = instrument_defaults();
    if (state.range(0) == largest_plane) {
        ins.type = TYPE_PLANE;
        ins.plane_length = 30;
        ins.plane_width = 39;
        ins.actuation_node = instrument_reset_actuation_node(ins);
        ins.sampling_node = instrument_reset_sampling_node(ins);
    }
    std::vector<double> buffer(static_cast<size_t>(rate));
    set_render_threads(static_cast<int32_t>(state.range(2)));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            cw_metal_obj_render(&ins, rate, buffer.size(), buffer.data(), nullptr, 0.0));
    set_render_threads(0);
    state.SetLabel(std::string(state.range(0) == largest_plane ? "plane30x39" : "tube10x5") +
                   ", " + std::to_string(state.range(2)) + " threads");
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Render)
    ->Args({default_tube, 48000, 1})
    ->Args({default_tube, 48000, 2})
    ->Args({largest_plane, 96000, 1})
    ->Args({largest_plane, 96000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
