#include "view_geometry.h"
