# The settings module: property store, configuration registry, presets.
# A hang on hostile input must fail the test rather than stall the suite.
cw_add_gtest(settings_test
  SOURCES xml_property_store_test.cpp config_registry_test.cpp presets_test.cpp
  LIBS cw_settings
  PROPERTIES TIMEOUT 60)

# The fuzzers build apart (clang, libFuzzer, ASan, UBSan) and run for a bounded
# time each. CW_SKIP_FUZZ=1 in the environment skips them for quick local runs.
add_test(NAME SettingsFuzz.DocumentAndPresetHarnessesFindNothing
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/fuzz.sh ${CMAKE_BINARY_DIR}/fuzz)
set_tests_properties(SettingsFuzz.DocumentAndPresetHarnessesFindNothing PROPERTIES
  TIMEOUT 900 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)

# The save routine behind WAV export, presets and the configuration, as an
# unprivileged user meets it (as root, the cases drop to nobody in a child).
cw_add_gtest(file_save_test SOURCES file_save_test.cpp LIBS cw_settings
  PROPERTIES TIMEOUT 60)
