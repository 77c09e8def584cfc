find_program(CW_PYTHON3 python3 REQUIRED)
find_program(CW_SOXI soxi REQUIRED)

cw_add_gtest(synth_test SOURCES synth_test.cpp LIBS cw_synth)
target_compile_definitions(synth_test PRIVATE CW_PYTHON3="${CW_PYTHON3}" CW_SOXI="${CW_SOXI}")

# The export's owners of library handles, descriptors and temporary files
# under valgrind: no leak, no invalid access, on success and on failure.
find_program(VALGRIND valgrind)
if(VALGRIND)
  add_test(NAME SynthValgrind.WavExportLeaksNothing
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:synth_test> --gtest_filter=WavExport.*:WavFrames.*:RenderLoop.Unbuildable*:RenderLoop.StopRequest*)
endif()
