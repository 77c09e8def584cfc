# Scores read from MIDI files: timing, the messages kept, refusals, libsmf's
# log messages caught; the demo score in data/scores.
pkg_check_modules(SMF REQUIRED IMPORTED_TARGET smf)

cw_add_gtest(midi_score_test SOURCES midi_score_test.cpp LIBS cw_midi PkgConfig::SMF
  PROPERTIES TIMEOUT 60)
target_compile_definitions(midi_score_test PRIVATE CW_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

# The walk through hostile files and the owner of libsmf's score under
# valgrind: no invalid access, libsmf's included, and no lost memory. The
# child under G_DEBUG is left out (valgrind would not follow it).
find_program(VALGRIND valgrind)
if(VALGRIND)
  add_test(NAME MidiValgrind.LeaksNothing
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:midi_score_test> --gtest_filter=-MidiScoreLogTrap.NothingAborts*)
  set_tests_properties(MidiValgrind.LeaksNothing PROPERTIES TIMEOUT 300)
endif()
