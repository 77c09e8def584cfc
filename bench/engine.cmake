# Real-time factor of the fast stepper beside the reference step, and of the
# whole render loop. The static archive lets the benchmark pin each path.
add_executable(engine_bench engine_bench.cpp)
target_link_libraries(engine_bench PRIVATE cwphymod_static cw_synth benchmark::benchmark)
