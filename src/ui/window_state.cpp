#include "window_state.h"

Instrument instrument{};

GtkWidget *shape_notebook = nullptr;
GtkWidget *actuation_spin[3] = {nullptr, nullptr, nullptr};
GtkWidget *sampling_spin[3] = {nullptr, nullptr, nullptr};
GtkWidget *tube_height_spin = nullptr, *tube_circumference_spin = nullptr,
          *rod_length_spin = nullptr, *plane_length_spin = nullptr, *plane_width_spin = nullptr;
GtkWidget *tension_scale = nullptr, *speed_scale = nullptr, *damping_scale = nullptr,
          *velocity_scale = nullptr;
GtkWidget *actuation_combo = nullptr;
GtkWidget *decay_check = nullptr, *decay_scale = nullptr;
GtkWidget *length_scale = nullptr;
GtkWidget *progress_bar = nullptr, *length_label = nullptr;
GtkWidget *view_area = nullptr;

GSList *busy_buttons = nullptr;
GSList *stop_buttons = nullptr;
GSList *trial_buttons = nullptr;

FileDialog *wav_dialog = nullptr, *save_presets_dialog = nullptr, *load_presets_dialog = nullptr;

int32_t playback_rate = 0, export_rate = 0;
int32_t conf_auto_ext = 0, conf_overwrite_warning = 0, conf_rate = 0, conf_export_rate = 0;

int32_t need_render = 1;
int32_t last_render_rate = 0;
int32_t rendering = 0;
MetalObj *preview_object = nullptr;
void (*sound_change_hook)() = nullptr;
