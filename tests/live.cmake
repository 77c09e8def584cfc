# clangwright-live: its options and its process callback without a server
# (the JACK functions the callback calls are the test's own), then the program
# against private JACK servers of the dummy backend.
cw_add_gtest(live_test SOURCES live_test.cpp LIBS cw_live_options cw_live_player cw_score_render)
target_include_directories(live_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(live_test PRIVATE CW_LIVE_PROGRAM="$<TARGET_FILE:clangwright-live>")
add_dependencies(live_test clangwright-live)

# The program against private servers (jackd, dummy backend), one per case;
# bounded so that a hung server or client cannot stall the suite.
foreach(case NotesPlayAtTheirPitchOnTimeAndSigtermEndsWithZero
             ServerKilledWhilePlayingEndsWithOneLineAndStatusOne
             NoServerIsOneLineAndStatusOne)
  add_test(NAME LiveJack.${case}
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/live_jack_test.py
            --live $<TARGET_FILE:clangwright-live> --render $<TARGET_FILE:clangwright-render>
            --preset ${PROJECT_SOURCE_DIR}/data/presets/chimes/chime-C6.cwrp
            --scratch ${CMAKE_CURRENT_BINARY_DIR}/live-jack ${case})
  set_tests_properties(LiveJack.${case} PROPERTIES TIMEOUT 120)
endforeach()
