// The main window: toolbar, shape pages, parameter table, 3D view, status.
#pragma once

#include <cstdint>

//! Builds and shows the main window and opens driver `driver_index` at the
//! stored playback rate. Called once, before the main loop.
void gui_create_AppWindow(int32_t driver_index);
