# Time to analyse the default sound and the longest one the window makes.
add_executable(analysis_bench analysis_bench.cpp)
target_link_libraries(analysis_bench PRIVATE cw_analysis cw_synth benchmark::benchmark)
