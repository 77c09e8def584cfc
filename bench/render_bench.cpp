// Real-time factor of the render loop: seconds of sound made per second of
// rendering, for the default mesh of each shape and the largest one the
// window allows, at 48000 and 96000 Hz.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "render.h"

namespace {

// Sound rendered per iteration: long enough that building the object is
// negligible, short enough for a quick run on the largest meshes.
constexpr double sound_per_iteration_s = 0.1;

struct MeshCase {
    const char *name;
    Instrument instrument;
};

Instrument with_reset_nodes(Instrument ins)
{
    ins.actuation_node = instrument_reset_actuation_node(ins);
    ins.sampling_node = instrument_reset_sampling_node(ins);
    return ins;
}

std::vector<MeshCase> mesh_cases()
{
    Instrument tube = instrument_defaults();
    Instrument rod = tube, plane = tube;
    rod.type = TYPE_ROD;
    plane.type = TYPE_PLANE;
    Instrument big_tube = tube, big_rod = rod, big_plane = plane;
    big_tube.tube_height = instrument_range::tube_height_max;
    big_tube.tube_circumference = instrument_range::tube_circumference_max;
    big_rod.rod_length = instrument_range::rod_length_max;
    big_plane.plane_length = instrument_range::plane_length_max;
    big_plane.plane_width = instrument_range::plane_width_max;
    return {
        {"tube_10x5", with_reset_nodes(tube)},      {"rod_5", with_reset_nodes(rod)},
        {"plane_7x9", with_reset_nodes(plane)},     {"tube_30x30", with_reset_nodes(big_tube)},
        {"rod_200", with_reset_nodes(big_rod)},     {"plane_30x39", with_reset_nodes(big_plane)},
    };
}

void render_loop(benchmark::State &state, Instrument ins, int32_t rate)
{
    const auto count = static_cast<uint64_t>(rate * sound_per_iteration_s);
    std::vector<double> buffer(count);
    for (auto _ : state) {
        const uint64_t n = cw_metal_obj_render(&ins, rate, count, buffer.data(), nullptr, 0.0);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.counters["realtime_factor"] = benchmark::Counter(
        sound_per_iteration_s, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    for (const MeshCase &c : mesh_cases())
        for (const int32_t rate : {48000, 96000})
            benchmark::RegisterBenchmark(
                ("render/" + std::string(c.name) + "/" + std::to_string(rate)).c_str(),
                render_loop, c.instrument, rate)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
