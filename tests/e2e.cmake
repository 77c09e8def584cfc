# The installed program driven end to end as a person would: keys through
# xdotool, screenshots, the sound from the private PulseAudio server's null
# sink, the files it leaves. Every case runs in a scratch home (the preloaded
# shim below makes the user database report it), under the X display CTest
# runs in (scripts/test.sh starts Xvfb); without a display the cases skip.
find_package(Python3 COMPONENTS Interpreter)
find_package(X11)
find_program(CW_XDOTOOL xdotool)
find_program(CW_IMPORT import)
find_program(CW_PAREC parec)

if(Python3_Interpreter_FOUND AND X11_FOUND AND CW_XDOTOOL AND CW_IMPORT AND CW_PAREC)
  add_library(cw_scratch_home SHARED e2e/scratch_home.c)
  target_link_libraries(cw_scratch_home PRIVATE ${CMAKE_DL_LIBS})
  add_executable(cw_wm_delete e2e/wm_delete.c)
  target_link_libraries(cw_wm_delete PRIVATE X11::X11)

  set(cw_e2e_prefix ${PROJECT_BINARY_DIR}/e2e-prefix)
  set(cw_e2e_scratch ${CMAKE_CURRENT_BINARY_DIR}/e2e)
  add_test(NAME E2EFixture.Install
    COMMAND sh -c "rm -rf \"$1\" && \"$2\" --install \"$3\" --prefix \"$1\" >/dev/null"
            install ${cw_e2e_prefix} ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR})
  set_tests_properties(E2EFixture.Install PROPERTIES FIXTURES_SETUP e2e_install TIMEOUT 120)

  # cw_add_e2e(script case...): one CTest test per case of the script.
  function(cw_add_e2e script)
    get_filename_component(group ${script} NAME_WE)
    string(REGEX REPLACE "_test$" "" group ${group})
    string(REPLACE "_" ";" words ${group})
    set(group "")
    foreach(word IN LISTS words)
      string(SUBSTRING ${word} 0 1 first)
      string(TOUPPER ${first} first)
      string(SUBSTRING ${word} 1 -1 rest)
      string(APPEND group ${first}${rest})
    endforeach()
    foreach(case IN LISTS ARGN)
      add_test(NAME E2E${group}.${case}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/${script}
                --prefix ${cw_e2e_prefix} --shim $<TARGET_FILE:cw_scratch_home>
                --wm-delete $<TARGET_FILE:cw_wm_delete> --pulse ${CW_PULSE_FIXTURE_DIR}
                --scratch ${cw_e2e_scratch} ${case})
      # Each case starts programs on the one X display and records the one
      # null sink: they run one at a time.
      set_tests_properties(E2E${group}.${case} PROPERTIES
        FIXTURES_REQUIRED "e2e_install;pulse_server" RESOURCE_LOCK e2e_display
        SKIP_RETURN_CODE 77 TIMEOUT 120)
    endforeach()
  endfunction()

  cw_add_e2e(startup_shutdown_test.py
    FirstStartMakesFolderAndControlQWritesDefaults
    WindowManagerCloseEndsLikeControlQ
    LegacyConfigurationIsMigrated
    StoredDriverNameInCapitalsSelectsPulseaudio
    UnreadableConfigurationRunsOnDefaultsAndIsReplaced
    SigkillLeavesConfigurationAsItWas
    FailedSaveLeavesOldConfigurationByteIdentical
    WindowShowsWithoutGlx
    UserWithoutHomeEntryStartsAndWritesNothingHere)
  cw_add_e2e(play_test.py
    FirstSpaceRendersAndPlaysTheRenderersSoundThenSaveWavWritesItsBytes
    SecondSpacePlaysWithoutRenderChangedParameterRendersAgain
    StopDuringRenderPlaysNothingAndNextPlayRenders
    SpaceDuringPlaybackRestartsItStopEndsIt
    CloseDuringRenderEndsAfterTheRender
    CloseDuringRenderEndsAtStop)
  cw_add_e2e(setup_dialog_test.py
    PlaybackRate96000OkReopensDriverAndSurvivesRestart
    CancelChangesNothingAndNextOpeningShowsStoredValues
    AddExtensionOffTakesEffectAtNextSave)
  cw_add_e2e(command_line_test.py
    RodPresetNamedOnTheCommandLineIsLoaded
    MissingPresetShowsTheMessageAndTheWindowKeepsWorking
    GermanWindowWithLanguageDe)
  cw_add_e2e(robustness_test.py
    EscapeAndCloseOnTheSaveWavChooserDuringItsRender
    TypedPathsAfterAStartWithEmptyFolders
    UnknownOptionIsNoPresetName)
  cw_add_e2e(explore_test.py
    PlayOnChangePlaysTheLatestSound
    KeysRandomiseUndoRedo)

  # The on-screen keyboard heard on the null sink, and the window on a
  # private JACK server (numpy, mido and the JACK client of /usr/bin/python3).
  foreach(case AClickIsHeardAtTheKeysPitchAndStopSilencesIt MidiFromJackIsHeardOnItsOutput)
    add_test(NAME E2EKeyboard.${case}
      COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/keyboard_test.py
              --prefix ${cw_e2e_prefix} --shim $<TARGET_FILE:cw_scratch_home>
              --wm-delete $<TARGET_FILE:cw_wm_delete> --pulse ${CW_PULSE_FIXTURE_DIR}
              --scratch ${cw_e2e_scratch} ${case})
    set_tests_properties(E2EKeyboard.${case} PROPERTIES
      FIXTURES_REQUIRED "e2e_install;pulse_server" RESOURCE_LOCK e2e_display
      SKIP_RETURN_CODE 77 TIMEOUT 120)
  endforeach()

  # Seeded storms of keys, dialogs and drags: three seeds of a minute each,
  # and a shorter one under valgrind.
  cw_add_e2e(storm_test.py Seed1 Seed2 Seed3)
  set_tests_properties(E2EStorm.Seed1 E2EStorm.Seed2 E2EStorm.Seed3 PROPERTIES TIMEOUT 300)
  find_program(CW_VALGRIND valgrind)
  if(CW_VALGRIND)
    cw_add_e2e(storm_test.py ValgrindSeed4)
    set_tests_properties(E2EStorm.ValgrindSeed4 PROPERTIES TIMEOUT 900)
  endif()
endif()
