# Rules of the window that need no widget and no display.
cw_add_gtest(view_geometry_test SOURCES view_geometry_test.cpp LIBS cw_window_rules)
cw_add_gtest(file_names_test SOURCES file_names_test.cpp LIBS cw_window_rules)
