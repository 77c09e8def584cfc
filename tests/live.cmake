# clangwright-live: its options and its process callback without a server
# (the JACK functions the callback calls are the test's own), then the program
# against a private JACK server of the dummy backend.
cw_add_gtest(live_test SOURCES live_test.cpp LIBS cw_live_options cw_live_player cw_score_render)
target_include_directories(live_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(live_test PRIVATE CW_LIVE_PROGRAM="$<TARGET_FILE:clangwright-live>")
add_dependencies(live_test clangwright-live)

add_test(NAME LiveJack.NotesSignalsAndALostServer
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/live_jack_test.py
          $<TARGET_FILE:clangwright-live> $<TARGET_FILE:clangwright-render>
          ${PROJECT_SOURCE_DIR}/data/presets/chimes/chime-C6.cwrp ${CMAKE_CURRENT_BINARY_DIR}/live-jack)
set_tests_properties(LiveJack.NotesSignalsAndALostServer PROPERTIES TIMEOUT 120)
