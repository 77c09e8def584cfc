# The sound analysis: synthetic sounds of known partials, the report, WAV
# reading and the pictures; then the two programs that print it.
pkg_check_modules(JSON_GLIB REQUIRED IMPORTED_TARGET json-glib-1.0)
pkg_check_modules(AUDIOFILE REQUIRED IMPORTED_TARGET audiofile)

cw_add_gtest(analysis_test SOURCES analysis_test.cpp
  LIBS cw_analysis cw_plot PkgConfig::JSON_GLIB PkgConfig::AUDIOFILE
  PROPERTIES TIMEOUT 60)

cw_add_gtest(analyse_cli_test SOURCES analyse_cli_test.cpp
  LIBS cw_analyse_options cw_analysis cw_synth PkgConfig::JSON_GLIB PkgConfig::AUDIOFILE
  PROPERTIES TIMEOUT 120)
target_compile_definitions(analyse_cli_test PRIVATE
  CW_ANALYSE_PROGRAM="$<TARGET_FILE:clangwright-analyse>"
  CW_RENDER_PROGRAM="$<TARGET_FILE:clangwright-render>")
add_dependencies(analyse_cli_test clangwright-analyse clangwright-render)

# The analyser's owners of FFTW plans and arrays, library handles and cairo
# surfaces under valgrind, on good and bad files. Only errors and lost memory
# of our own code count: fontconfig keeps the fonts cairo asked for.
find_program(VALGRIND valgrind)
find_package(Python3 COMPONENTS Interpreter)
if(VALGRIND AND Python3_Interpreter_FOUND)
  add_test(NAME AnalysisValgrind.LeaksNothing
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/valgrind_own_code.py
            ${PROJECT_SOURCE_DIR} $<TARGET_FILE:analysis_test>
            --gtest_filter=SoundAnalysis.TinySounds*:AnalysisReport.*:SoundFile.*:SoundPlot.*)
  set_tests_properties(AnalysisValgrind.LeaksNothing PROPERTIES TIMEOUT 300)
endif()
