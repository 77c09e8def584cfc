#include "file_dialogs.h"
