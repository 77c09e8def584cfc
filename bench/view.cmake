# One expose of the 3D view for the largest plate; needs an X display with GLX.
add_executable(view_bench view_bench.cpp)
target_link_libraries(view_bench PRIVATE cw_ui benchmark::benchmark)
