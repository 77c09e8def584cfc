# Voices of one instrument at once, against the square-root bound.
add_executable(voice_bench voice_bench.cpp)
target_link_libraries(voice_bench PRIVATE cw_voice cwphymod_static benchmark::benchmark)
