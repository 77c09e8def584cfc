// Real-time factor (seconds of sound computed per second) of one integration
// step per sample: the fast stepper beside the reference pointer-chasing step
// of the same mesh, built with the same flags, in the same run.
#include <benchmark/benchmark.h>

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
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

// How near the AVX2 stepper could come to the square-root bound at all: the
// instructions a vector of four nodes of a mesh needs in the AVX2 kernel
// (counted from its code, for the chunks most of the mesh is made of), with
// no dependency between them but the register each one updates, so that the
// processor is as free to overlap them as it can ever be. A step runs them
// once per vector of nodes; `of_bound` is that speed as a fraction of the
// square-root bound of the same mesh, so no step made of these instructions
// can reach more of the bound on this core.
struct Avx2Mix {
    int sqrts;    // one per dense class
    int adds;     // subtractions and additions on registers ...
    int mem_adds; // ... and on a term or position read from memory
    int muls;
    int ands;     // a lane without a spring kept at +0
    int permutes; // the offset-1 class's upper ends: a lane-crossing permute
    int shuffles; // and an in-lane shuffle for each coordinate
    int loads;    // the node's position, its masks, its velocity
    int stores;   // the stored classes' terms, the velocity, the position
};
// Two classes: per class three differences, two sums of squares, one minus
// the root, three squares and three products; four of the six labels in a
// chunk without the ring's closing springs, three additions each; the
// update's six additions and nine products.
constexpr Avx2Mix tube_mix{2, 21, 9, 21, 6, 3, 3, 8, 9};
// Four classes and eight labels; three stored classes.
constexpr Avx2Mix plane_mix{4, 33, 21, 33, 12, 3, 3, 10, 15};

typedef double V4 __attribute__((vector_size(32)));

// The kind of each instruction of a mix, each kind spread evenly through it.
enum class MixOp : char { sqrt, add, mem_add, mul, bit_and, permute, shuffle, load, store };
template <const Avx2Mix &M> constexpr int mix_size = M.sqrts + M.adds + M.mem_adds + M.muls +
                                                     M.ands + M.permutes + M.shuffles +
                                                     M.loads + M.stores;
template <const Avx2Mix &M> constexpr std::array<MixOp, mix_size<M>> mix_order()
{
    const std::pair<MixOp, int> kinds[] = {
        {MixOp::sqrt, M.sqrts},       {MixOp::add, M.adds},         {MixOp::mem_add, M.mem_adds},
        {MixOp::mul, M.muls},         {MixOp::bit_and, M.ands},     {MixOp::permute, M.permutes},
        {MixOp::shuffle, M.shuffles}, {MixOp::load, M.loads},       {MixOp::store, M.stores}};
    // Instruction i of a kind of n at (i + 1/2) / n through the mix.
    std::array<std::pair<double, MixOp>, mix_size<M>> at{};
    size_t n = 0;
    for (const auto &[op, count] : kinds)
        for (int i = 0; i < count; ++i)
            at[n++] = {(i + 0.5) / count, op};
    std::sort(at.begin(), at.end());
    std::array<MixOp, mix_size<M>> order{};
    for (size_t k = 0; k < order.size(); ++k)
        order[k] = at[k].second;
    return order;
}

template <const Avx2Mix &M> constexpr bool mix_holds_its_counts()
{
    const auto order = mix_order<M>();
    const auto count = [&](MixOp op) { return std::count(order.begin(), order.end(), op); };
    return count(MixOp::sqrt) == M.sqrts && count(MixOp::add) == M.adds &&
           count(MixOp::mem_add) == M.mem_adds && count(MixOp::mul) == M.muls &&
           count(MixOp::bit_and) == M.ands && count(MixOp::permute) == M.permutes &&
           count(MixOp::shuffle) == M.shuffles && count(MixOp::load) == M.loads &&
           count(MixOp::store) == M.stores;
}
static_assert(mix_holds_its_counts<tube_mix>() && mix_holds_its_counts<plane_mix>());

constexpr int mix_registers = 12;
constexpr int mix_slots = 32; // vectors of memory the loads and stores cycle through

// One instruction of a mix on register r. Each is an asm statement of its
// own, so the compiler keeps them all, in this order.
template <MixOp Op, int Slot>
[[gnu::target("avx2"), gnu::always_inline]] inline void mix_op(V4 &r, V4 c, V4 m,
                                                               const V4 *in, V4 *out)
{
    if constexpr (Op == MixOp::sqrt) {
        V4 s;
        asm volatile("vsqrtpd %1, %0" : "=x"(s) : "x"(c));
    } else if constexpr (Op == MixOp::add) {
        asm volatile("vaddpd %1, %0, %0" : "+x"(r) : "x"(c));
    } else if constexpr (Op == MixOp::mem_add) {
        asm volatile("vaddpd %1, %0, %0" : "+x"(r) : "m"(in[Slot]));
    } else if constexpr (Op == MixOp::mul) {
        asm volatile("vmulpd %1, %0, %0" : "+x"(r) : "x"(c));
    } else if constexpr (Op == MixOp::bit_and) {
        asm volatile("vandpd %1, %0, %0" : "+x"(r) : "x"(m));
    } else if constexpr (Op == MixOp::permute) {
        asm volatile("vperm2f128 $0x21, %1, %0, %0" : "+x"(r) : "x"(c));
    } else if constexpr (Op == MixOp::shuffle) {
        asm volatile("vshufpd $5, %1, %0, %0" : "+x"(r) : "x"(c));
    } else if constexpr (Op == MixOp::load) {
        asm volatile("vmovupd %1, %0" : "=x"(r) : "m"(in[Slot]));
    } else {
        asm volatile("vmovupd %1, %0" : "=m"(out[Slot]) : "x"(r));
    }
}

// Mix M once (or its square roots alone), instruction I on register I % 12.
template <const Avx2Mix &M, bool SqrtsOnly, size_t... I>
[[gnu::target("avx2"), gnu::always_inline]] inline void run_mix(V4 (&r)[mix_registers], V4 c,
                                                                V4 m, const V4 *in, V4 *out,
                                                                std::index_sequence<I...>)
{
    constexpr auto order = mix_order<M>();
    ((!SqrtsOnly || order[I] == MixOp::sqrt
          ? mix_op<order[I], I % mix_slots>(r[I % mix_registers], c, m, in, out)
          : void()),
     ...);
}

// Seconds for `vectors` runs of mix M (or of its square roots alone).
template <const Avx2Mix &M, bool SqrtsOnly>
[[gnu::target("avx2"), gnu::noinline]] double time_mix(int64_t vectors)
{
    constexpr auto order = mix_order<M>();
    alignas(32) V4 in[mix_slots], out[mix_slots];
    V4 r[mix_registers];
    const V4 c = {1.0, 1.0, 1.0, 1.0};
    const V4 m = reinterpret_cast<V4>(__m256i{-1, -1, -1, -1});
    for (int i = 0; i < mix_slots; ++i)
        in[i] = V4{1.0, 2.0, 3.0, 4.0};
    for (auto &v : r)
        v = c;
    const auto start = std::chrono::steady_clock::now();
    for (int64_t n = 0; n < vectors; ++n)
        run_mix<M, SqrtsOnly>(r, c, m, in, out, std::make_index_sequence<order.size()>());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(out);
    return took.count();
}

template <const Avx2Mix &M> void avx2_ceiling(benchmark::State &state)
{
    if (!__builtin_cpu_supports("avx2")) {
        state.SkipWithError("no AVX2");
        return;
    }
    const double rate = static_cast<double>(state.range(1));
    ObjPtr obj = struck(state.range(0));
    cwphymod::set_fast_path_for_testing(FastPath::avx2);
    FastPtr f(cw_metal_obj_fast_new(obj.get()));
    cwphymod::set_fast_path_for_testing(FastPath::automatic);
    const int64_t vectors = (cw_metal_obj_fast_num_nodes(f.get()) + 3) / 4 * steps_per_iteration;
    double mix_s = 0.0, sqrts_s = 0.0;
    for (auto _ : state) {
        const double took = time_mix<M, false>(vectors);
        state.SetIterationTime(took);
        mix_s += took;
        sqrts_s += time_mix<M, true>(vectors);
    }
    const double seconds_of_sound =
        static_cast<double>(state.iterations()) * steps_per_iteration / rate;
    state.counters["rtf"] = seconds_of_sound / mix_s;
    state.counters["of_bound"] = seconds_of_sound / mix_s / bound_rtf(f.get(), rate);
    state.counters["of_own_roots"] = sqrts_s / mix_s;
    state.SetLabel(mesh_name(state.range(0)));
}

void BM_Avx2CeilingTube(benchmark::State &state) { avx2_ceiling<tube_mix>(state); }
void BM_Avx2CeilingPlane(benchmark::State &state) { avx2_ceiling<plane_mix>(state); }

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
BENCHMARK(BM_Avx2CeilingTube)->Args({largest_tube, 96000})->UseManualTime();
BENCHMARK(BM_Avx2CeilingPlane)->Args({largest_plane, 96000})->UseManualTime();

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
