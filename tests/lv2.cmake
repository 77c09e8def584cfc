# The LV2 plugin, installed into a scratch prefix: the bundle checked as hosts
# read it, a host of our own on lilv comparing its output with the renderer's,
# and jalv under a private JACK server.
if(TARGET clangwright_lv2)
  pkg_check_modules(LILV REQUIRED IMPORTED_TARGET lilv-0)

  set(cw_lv2_prefix ${PROJECT_BINARY_DIR}/lv2-prefix)
  set(cw_lv2_scratch ${CMAKE_CURRENT_BINARY_DIR}/lv2)
  add_test(NAME Lv2Fixture.Install
    COMMAND sh -c "rm -rf \"$1\" \"$4\" && mkdir -p \"$4\" && \"$2\" --install \"$3\" --prefix \"$1\" --component lv2 >/dev/null"
            install ${cw_lv2_prefix} ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR} ${cw_lv2_scratch})
  set_tests_properties(Lv2Fixture.Install PROPERTIES FIXTURES_SETUP lv2_install TIMEOUT 60)

  add_test(NAME Lv2Bundle.ValidatesListsItsPortsAndPresetsAndExportsOneSymbol
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/lv2_bundle_check.sh ${cw_lv2_prefix})
  set_tests_properties(Lv2Bundle.ValidatesListsItsPortsAndPresetsAndExportsOneSymbol PROPERTIES
    FIXTURES_REQUIRED lv2_install TIMEOUT 60)

  cw_add_gtest(lv2_host_test SOURCES lv2_host_test.cpp
    LIBS cw_lv2_controls cw_midi PkgConfig::LILV
    PROPERTIES FIXTURES_REQUIRED lv2_install TIMEOUT 300)
  target_include_directories(lv2_host_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(lv2_host_test PRIVATE
    CW_LV2_PREFIX="${cw_lv2_prefix}" CW_LV2_SCRATCH="${cw_lv2_scratch}"
    CW_SOURCE_DIR="${PROJECT_SOURCE_DIR}" CW_RENDER_PROGRAM="$<TARGET_FILE:clangwright-render>")
  add_dependencies(lv2_host_test clangwright-render clangwright_lv2)

  # The plugin's own allocations, engines freed on the worker and refused
  # states included, all freed again.
  find_program(VALGRIND valgrind)
  if(VALGRIND)
    add_test(NAME Lv2Valgrind.RebuildsAndRefusedStatesLeakNothing
      COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full
              --errors-for-leak-kinds=definite,indirect $<TARGET_FILE:lv2_host_test>
              --gtest_filter=*MeshControl*:*Damaged*)
    set_tests_properties(Lv2Valgrind.RebuildsAndRefusedStatesLeakNothing PROPERTIES
      FIXTURES_REQUIRED lv2_install TIMEOUT 300)
  endif()
endif()

# jalv, a real host, under a private JACK server with the dummy driver: notes
# sent through JACK, the output recorded through JACK. The system's Python,
# which has python3-jack-client.
find_program(CW_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(TARGET clangwright_lv2 AND CW_SYSTEM_PYTHON)
  add_test(NAME Lv2Jack.JalvPlaysEachNoteAtItsPitchAndOnTime
    COMMAND ${CW_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/lv2_jack_test.py
            --prefix ${cw_lv2_prefix} --render $<TARGET_FILE:clangwright-render>
            --analyse $<TARGET_FILE:clangwright-analyse>
            --scratch ${cw_lv2_scratch}/jack)
  set_tests_properties(Lv2Jack.JalvPlaysEachNoteAtItsPitchAndOnTime PROPERTIES
    FIXTURES_REQUIRED lv2_install SKIP_RETURN_CODE 77 TIMEOUT 90)
endif()
