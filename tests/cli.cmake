cw_add_gtest(cli_test SOURCES cli_test.cpp LIBS cw_render_options cw_synth)
target_compile_definitions(cli_test PRIVATE CW_RENDER_PROGRAM="$<TARGET_FILE:clangwright-render>")
add_dependencies(cli_test clangwright-render)

find_program(VALGRIND valgrind)
if(VALGRIND)
  add_test(NAME CliValgrind.RenderAndRefusalLeakNothing
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:cli_test> --gtest_filter=RenderOptions.*)
endif()
if(VALGRIND)
  add_test(NAME CliValgrind.ProgramLeaksNothing
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:clangwright-render> --shape rod -q -o ${CMAKE_CURRENT_BINARY_DIR}/cli_valgrind.wav)
endif()

# --play against the private PulseAudio server of the sound tests.
add_test(NAME RenderCliPlay.PlaysToTheEndAndReportsAMissingServer
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/cli_play_test.sh $<TARGET_FILE:clangwright-render>
          ${CW_PULSE_FIXTURE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/cli_play)
set_tests_properties(RenderCliPlay.PlaysToTheEndAndReportsAMissingServer PROPERTIES
  FIXTURES_REQUIRED pulse_server TIMEOUT 60)

# The preset library as installed: a scratch prefix made by the install.
set(cw_library_prefix ${PROJECT_BINARY_DIR}/library-prefix)
add_test(NAME InstalledLibraryFixture.Install
  COMMAND sh -c "rm -rf \"$1\" && \"$2\" --install \"$3\" --prefix \"$1\" >/dev/null"
          install ${cw_library_prefix} ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR})
set_tests_properties(InstalledLibraryFixture.Install PROPERTIES
  FIXTURES_SETUP library_install TIMEOUT 120)
cw_add_gtest(preset_library_test SOURCES preset_library_test.cpp
  LIBS cw_preset_library cw_settings cw_synth cw_analysis cw_tune
  PROPERTIES FIXTURES_REQUIRED library_install TIMEOUT 300)
target_compile_definitions(preset_library_test PRIVATE CW_LIBRARY_PREFIX="${cw_library_prefix}")

# Scores played through the voice engine, as the program writes them.
cw_add_gtest(score_render_test SOURCES score_render_test.cpp LIBS cw_synth)
target_include_directories(score_render_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(score_render_test PRIVATE CW_RENDER_PROGRAM="$<TARGET_FILE:clangwright-render>")
add_dependencies(score_render_test clangwright-render)

# Sample libraries (SFZ) as the program writes them.
cw_add_gtest(sfz_library_test SOURCES sfz_library_test.cpp LIBS cw_synth)
target_include_directories(sfz_library_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(sfz_library_test PRIVATE CW_RENDER_PROGRAM="$<TARGET_FILE:clangwright-render>")
add_dependencies(sfz_library_test clangwright-render)
