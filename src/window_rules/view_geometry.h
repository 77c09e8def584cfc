// The 3D view's arithmetic, without OpenGL or widgets (filled in with the view).
#pragma once
