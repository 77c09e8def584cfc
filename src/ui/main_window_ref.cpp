#include "main_window_ref.h"

GtkWidget *main_window = nullptr;
