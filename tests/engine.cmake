# The fast stepper and the render loop built on it. The static archive comes
# first so the test can force each dispatch path through its internal seam.
cw_add_gtest(engine_test SOURCES engine_test.cpp LIBS cwphymod_static cw_synth)

if(VALGRIND)
  add_test(NAME EngineValgrind.CompileFailuresLeakNothing
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:engine_test>
            --gtest_filter=FastAllocationFailure.*:FastStepper.RefusesIncompleteObjects:FastStepper.CoordinatesReadAndWriteLikeTheRecords)
  # Renders split across worker threads, one of them stopped: every worker
  # joined, nothing lost.
  add_test(NAME EngineValgrind.StoppedThreadedRenderLeavesNothing
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:engine_test>
            --gtest_filter=FastRender.ThreadsGiveTheSameSamplesAndAStopLeavesNoThread)
endif()

# When a split step runs split and when on the caller alone, from timings.
cw_add_gtest(split_choice_test SOURCES split_choice_test.cpp LIBS cwphymod_static)
