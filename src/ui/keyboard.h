// The on-screen keyboard beside the Status frame: four octaves drawn with
// cairo, played with the mouse (press: note on, release: note off; nearer a
// key's top is harder), shifted an octave at a time by two small buttons.
// Keys the current sound cannot play are grey and silent. Neither the keys
// nor the buttons take the focus, so the window's Tab order is as before.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

//! Octaves shown at once.
constexpr int32_t keyboard_octaves = 4;
constexpr int32_t keyboard_keys = 12 * keyboard_octaves;
//! The lowest key shown at the start (C3).
constexpr int32_t keyboard_start_key = 48;

//! The keyboard's drawing area and its octave buttons.
extern GtkWidget *keyboard_area, *octave_down_button, *octave_up_button;

//! The frame "Keyboard" with the buttons and the keys; once, by the window.
GtkWidget *build_keyboard_frame();
//! The lowest key shown.
int32_t keyboard_first_key();
//! The key under (x, y) of the drawing area and the velocity a press there
//! plays; -1 outside the keys.
int32_t keyboard_key_at(double x, double y, int32_t *velocity);
//! The rectangle key `key` takes in the drawing area (black keys over the
//! white ones); empty for a key not shown.
GdkRectangle keyboard_key_rectangle(int32_t key);
//! The key held down with the mouse; -1 when none.
int32_t keyboard_held_key();
