cw_add_gtest(cli_test SOURCES cli_test.cpp LIBS cw_render_options cw_synth)
target_compile_definitions(cli_test PRIVATE CW_RENDER_PROGRAM="$<TARGET_FILE:clangwright-render>")
add_dependencies(cli_test clangwright-render)
