// What the voice engine's three files share: a voice's record, a lane's
// decimator, and the engine's constants.
#pragma once

#include <soxr.h>

#include <cstdint>
#include <vector>

#include "voice_engine.h"

namespace voice {

struct VoiceEngine::Voice {
    int32_t batch = 0, lane = 0;
    bool active = false;
    bool held = false;      // key down
    bool sustained = false; // key up, held by the pedal
    bool released = false;  // key up: damped to ring out
    int32_t key = -1;
    int32_t level = 0;      // internal rate: 2^level steps per output frame
    int32_t fade_left = 0;  // > 0: frames until the faded voice is free
    int32_t fade_in_left = 0; // internal steps left of the fade's ramp
    double ref_left = 0.0, ref_right = 0.0;
    double offset_left = 0.0, offset_right = 0.0;
    double offset_a = 0.0;  // the offset's weight, faster once released
    double envelope = 0.0, envelope_max = 0.0;
    uint64_t frames_on = 0;
};

// One lane's way from an internal rate down to the output rate: a soxr
// resampler for the two pickups and a queue of its output, filled with
// `delay` frames of silence when made, so that a block never has to wait
// for the filter's own latency.
struct VoiceEngine::Decimator {
    soxr_t soxr = nullptr;
    std::vector<double> queue; // ring of frames, two values each
    size_t head = 0, count = 0;
    ~Decimator() { soxr_delete(soxr); }
};

namespace engine_constants {
// The simulation's speed is defined at this rate (as in the render loop).
constexpr double reference_rate_hz = 44100.0;
// Offset removal and envelope, as in the render loop: the offset's weight
// halves every 0.2 s, the envelope follows with a time constant of 50 ms.
constexpr double offset_halvings_per_s = 5.0;
constexpr double envelope_rate_hz = 20.0;
// A released voice is free once its envelope is this far below its peak.
constexpr double rest_db = -90.0;
// A voice taken while it sounds fades out over this long.
constexpr double steal_fade_s = 0.005;
// A released voice that never made a sound is free after this long.
constexpr double silent_free_s = 0.1;
constexpr int32_t keys = 128;
} // namespace engine_constants

} // namespace voice
