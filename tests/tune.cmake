# Tuning a partial to a note.
cw_add_gtest(tune_test SOURCES tune_test.cpp LIBS cw_tune PROPERTIES TIMEOUT 300)
