add_executable(render_bench render_bench.cpp)
target_link_libraries(render_bench PRIVATE cw_synth benchmark::benchmark)
