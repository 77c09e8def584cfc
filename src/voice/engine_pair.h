// A change of sound while notes ring: the engine made for the new sound takes
// every new note, and the engine before it keeps its ringing notes until they
// end. Front ends (a plugin, live play) build the new engine off the audio
// thread, hand it in with swap_in() and free what comes back, also off the
// audio thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "voice_engine.h"

namespace voice {

class EnginePair {
public:
    //! Room for blocks of `max_block` frames (the engines' own largest).
    explicit EnginePair(int32_t max_block);

    // ---- the audio thread ----

    //! As VoiceEngine::process: note-ons go to the current engine only;
    //! every other event (keys up, the pedal, controllers, pitch bend)
    //! reaches the ringing one too, so its notes end as they would have.
    //! Silence without a current engine.
    void process(std::span<const VoiceEvent> events, float *left, float *right,
                 uint32_t frames);
    //! Makes `next` the current engine. Returns the engine that must now be
    //! freed off the audio thread: the one that was ringing out before, or
    //! null. The engine that was current rings out.
    VoiceEngine *swap_in(VoiceEngine *next);
    //! The ringing engine once its notes have ended, to be freed off the
    //! audio thread; null while it still sounds or when there is none.
    VoiceEngine *take_finished();
    VoiceEngine *current() const { return current_; }
    VoiceEngine *ringing() const { return ringing_; }

private:
    VoiceEngine *current_ = nullptr; // owned by the front end
    VoiceEngine *ringing_ = nullptr;
    std::vector<float> left_, right_;
    std::vector<VoiceEvent> released_;
};

} // namespace voice
