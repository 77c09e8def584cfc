find_program(CW_PYTHON3 python3 REQUIRED)

cw_add_gtest(synth_test SOURCES synth_test.cpp LIBS cw_synth)
target_compile_definitions(synth_test PRIVATE CW_PYTHON3="${CW_PYTHON3}")
