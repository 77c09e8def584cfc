# The voice engine: lanes against the reference step, keys, release, pedal,
# restrike, stealing, block sizes and allocations.
cw_add_gtest(voice_test SOURCES voice_test.cpp LIBS cw_voice cwphymod_static)
target_include_directories(voice_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
