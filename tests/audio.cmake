# Sound output: the registry and the pump against recording test drivers.
add_library(cw_test_driver STATIC test_driver.cpp)
target_link_libraries(cw_test_driver PUBLIC cw_audio)

cw_add_gtest(sound_driver_test SOURCES sound_driver_test.cpp LIBS cw_audio cw_test_driver
  PROPERTIES TIMEOUT 30)
cw_add_gtest(playback_pump_test SOURCES playback_pump_test.cpp LIBS cw_audio cw_test_driver
  PROPERTIES TIMEOUT 30)
