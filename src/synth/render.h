// The render loop and the program's sample buffers.
#pragma once

#include <cstdint>

#include "cw_metal_obj.h"
#include "instrument.h"

//! Renders `instrument` at `rate` Hz into buffer[0 .. count-1], normalised to
//! a peak of 1. A negative `decay` (dB) ends the render once the envelope has
//! fallen that far below its highest value. Clears and polls instrument->stop;
//! calls instrument->progress(user, fraction). Returns the samples produced,
//! 0 when stopped, when count is 0 or when the object cannot be built.
uint64_t cw_metal_obj_render(Instrument *instrument, int32_t rate, uint64_t count,
                             double *buffer, void *user, double decay);

//! The mesh `instrument` describes, as its builder makes it (owned by the
//! caller, cw_metal_obj_free); null when memory runs out.
MetalObj *build_instrument_object(const Instrument &instrument);

// The rendered sound, written only by do_render and read by playback, WAV
// export and the status area. The buffers grow together and never shrink.
extern double sample_length;      // seconds to render, 0 to 10
extern double *render_buffer;     // normalised render output
extern int16_t *samples;          // the sound as 16-bit mono frames
extern uint32_t buffer_capacity;  // frames each buffer has room for
extern uint64_t sample_count;     // valid frames at the start of samples

//! Renders sample_length seconds at `rate` into `samples`; returns the new
//! sample_count (0 when stopped or when the length is 0 frames).
uint64_t do_render(Instrument *instrument, int32_t rate);

//! Incremented by every do_render: a reader that holds frames of `samples`
//! across a render (the playback pump) sees that they were replaced.
extern uint64_t render_generation;

//! Most threads a render's steps are split across.
constexpr int32_t render_threads_max = 8;

//! Threads every later render splits its steps across, 1 to
//! render_threads_max; 0 (the start value) means the default, the online
//! processors up to render_threads_max. The window keeps the default; the
//! headless renderer sets --threads. The results are the same bits for every
//! count, and small meshes use fewer threads where more would not pay.
void set_render_threads(int32_t threads);

//! The count set_render_threads chose, with 0 resolved to the default.
int32_t render_threads();

//! One normalised sample as a 16-bit frame: clamps at +-1, maps NaN to 0.
int16_t pcm_from_double(double x);
