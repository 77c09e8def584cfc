#include "actions.h"
