# The user interface, under an X display (Xvfb from scripts/test.sh).
cw_add_gtest(message_dialog_test SOURCES message_dialog_test.cpp LIBS cw_ui
  PROPERTIES TIMEOUT 30)

# The 3D view: its pixels in software OpenGL under Xvfb, and the fallback
# label on a private X server without GLX (started by the test itself).
cw_add_gtest(view3d_test SOURCES view3d_test.cpp LIBS cw_ui
  PROPERTIES TIMEOUT 60)
cw_add_gtest(view3d_noglx_test SOURCES view3d_noglx_test.cpp LIBS cw_ui
  PROPERTIES TIMEOUT 30)

# The main window in the test process, rebuilt for every test, with the
# recording test driver instead of a sound server.
add_library(cw_window_test_support STATIC window_test_support.cpp)
target_link_libraries(cw_window_test_support PUBLIC cw_ui cw_test_driver GTest::gtest)
target_include_directories(cw_window_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
foreach(suite main_window parameters file_dialogs actions setup_dialog explore_window tune_window
    sound_panel keyboard_window)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${suite}_test.cpp)
    cw_add_gtest(${suite}_test SOURCES ${suite}_test.cpp LIBS cw_window_test_support
      PROPERTIES TIMEOUT 60)
  endif()
endforeach()
# The Sound frame's analysis against the analyser's of the saved WAV file.
target_compile_definitions(sound_panel_test PRIVATE
  CW_ANALYSE_PROGRAM="$<TARGET_FILE:clangwright-analyse>")
add_dependencies(sound_panel_test clangwright-analyse)

# The window in German, from the catalogue compiled in the build tree.
cw_add_gtest(window_german_test SOURCES window_german_test.cpp LIBS cw_window_test_support
  PROPERTIES TIMEOUT 60)
target_compile_definitions(window_german_test PRIVATE CW_BUILD_LOCALEDIR="${CW_BUILD_LOCALEDIR}")
add_dependencies(window_german_test translations)

# The window under valgrind: a preset load (page switch, preview rebuilt), a
# render with its playback, a Save WAV through the real chooser, and analyses
# on the worker thread, one of them dropped as stale, and live play: engines
# prepared on its worker, swapped in while a note rings, freed there. Only
# errors and lost memory of our own code count (valgrind_own_code.py).
find_program(VALGRIND valgrind)
find_package(Python3 COMPONENTS Interpreter)
if(VALGRIND AND Python3_Interpreter_FOUND)
  foreach(run IN ITEMS "parameters_test;LoadingARodPreset*" "actions_test;FirstPlayRenders*"
                       "file_dialogs_test;SaveWavDialog*" "sound_panel_test;AStoppedRender*"
                       "keyboard_window_test;ANewSoundTakes*")
    list(GET run 0 program)
    list(GET run 1 filter)
    string(REGEX REPLACE "[*]" "" name ${filter})
    add_test(NAME WindowValgrind.${name}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/valgrind_own_code.py
              ${PROJECT_SOURCE_DIR} $<TARGET_FILE:${program}> --gtest_filter=*.${filter})
    set_tests_properties(WindowValgrind.${name} PROPERTIES TIMEOUT 300)
  endforeach()
endif()
