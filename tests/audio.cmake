# Sound output: the registry and the pump against recording test drivers.
add_library(cw_test_driver STATIC test_driver.cpp)
target_link_libraries(cw_test_driver PUBLIC cw_audio)

cw_add_gtest(sound_driver_test SOURCES sound_driver_test.cpp LIBS cw_audio cw_test_driver
  PROPERTIES TIMEOUT 30)
cw_add_gtest(playback_pump_test SOURCES playback_pump_test.cpp LIBS cw_audio cw_test_driver
  PROPERTIES TIMEOUT 30)

# Against a real PulseAudio server: a private one per build tree, started and
# stopped by a CTest fixture. The socket path must stay short (a Unix socket
# name has room for about 100 bytes), so the server lives in /tmp under a
# name derived from the build tree.
string(MD5 cw_pulse_tag "${CMAKE_CURRENT_BINARY_DIR}")
string(SUBSTRING "${cw_pulse_tag}" 0 10 cw_pulse_tag)
set(CW_PULSE_FIXTURE_DIR "/tmp/cw-pulse-${cw_pulse_tag}")
set(CW_PULSE_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/pulse")

add_test(NAME PulseFixture.StartServer
  COMMAND sh ${CW_PULSE_SCRIPTS}/start_server.sh ${CW_PULSE_FIXTURE_DIR})
set_tests_properties(PulseFixture.StartServer PROPERTIES FIXTURES_SETUP pulse_server TIMEOUT 30)
add_test(NAME PulseFixture.StopServer
  COMMAND sh ${CW_PULSE_SCRIPTS}/stop_server.sh ${CW_PULSE_FIXTURE_DIR})
set_tests_properties(PulseFixture.StopServer PROPERTIES FIXTURES_CLEANUP pulse_server TIMEOUT 30)

cw_add_gtest(pulse_driver_test SOURCES pulse_driver_test.cpp LIBS cw_audio
  PROPERTIES FIXTURES_REQUIRED pulse_server TIMEOUT 60)
target_compile_definitions(pulse_driver_test PRIVATE
  CW_PULSE_FIXTURE_DIR="${CW_PULSE_FIXTURE_DIR}"
  CW_PULSE_KILL_DIR="${CW_PULSE_FIXTURE_DIR}-kill"
  CW_PULSE_SCRIPTS="${CW_PULSE_SCRIPTS}")

# The pump under valgrind: the test driver copies every frame it is handed at
# the call, so a pump that read on in a buffer a render has replaced (or freed)
# is caught here even where the frames still look right.
find_program(VALGRIND valgrind)
if(VALGRIND)
  add_test(NAME PlaybackPumpValgrind.NoInvalidReadNoLeak
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:playback_pump_test>)
  set_tests_properties(PlaybackPumpValgrind.NoInvalidReadNoLeak PROPERTIES TIMEOUT 120)
endif()
