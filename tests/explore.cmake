# The rules of exploring: ranges, locks, seeds, trial renders, undo history.
cw_add_gtest(explore_test SOURCES explore_test.cpp LIBS cw_explore
  PROPERTIES TIMEOUT 120)
