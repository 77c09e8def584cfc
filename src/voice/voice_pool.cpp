// The voice engine's rules over its pool: notes on and off, the pedal, pitch
// bend, restrike, release and stealing. Audio thread: nothing here
// allocates, locks or calls the system.
#include <algorithm>
#include <cmath>

#include "lane_mesh.h"
#include "voice_engine.h"
#include "voice_internal.h"

namespace voice {

namespace {

constexpr int32_t max_velocity = 127;
constexpr int32_t bend_centre = 8192;
constexpr int32_t pedal_down_from = 64;
constexpr uint8_t status_note_off = 0x80, status_note_on = 0x90, status_control = 0xb0,
                  status_bend = 0xe0;
constexpr int32_t cc_sustain = 64, cc_all_sound_off = 120, cc_reset_controllers = 121,
                  cc_all_notes_off = 123;

} // namespace

void VoiceEngine::process(std::span<const VoiceEvent> events, float *left, float *right,
                          uint32_t frames)
{
    uint32_t done = 0;
    for (const VoiceEvent &ev : events) {
        const uint32_t at = std::min(ev.frame, frames);
        if (at > done) {
            render(left + done, right + done, at - done);
            done = at;
        }
        switch (ev.status & 0xf0) {
        case status_note_on:
            note_on(ev.data1 & 0x7f, ev.data2 & 0x7f);
            break;
        case status_note_off:
            note_off(ev.data1 & 0x7f);
            break;
        case status_control:
            control(ev.data1 & 0x7f, ev.data2 & 0x7f);
            break;
        case status_bend: {
            const int32_t value = ((ev.data2 & 0x7f) << 7 | (ev.data1 & 0x7f)) - bend_centre;
            set_bend(settings_.bend_range * value / bend_centre);
            break;
        }
        default:
            break;
        }
    }
    if (frames > done)
        render(left + done, right + done, frames - done);
}

void VoiceEngine::reset()
{
    for (Voice &v : voices_)
        if (v.active)
            free_voice(v);
    pedal_ = false;
}

void VoiceEngine::free_voice(Voice &v)
{
    batches_[v.batch]->reset_lane(v.lane);
    batches_[v.batch]->set_constants(v.lane, 0.0, 1.0);
    batches_[v.batch]->set_live(v.lane, false);
    v.active = false;
    --batch_active_[v.batch];
}

void VoiceEngine::apply_step(Voice &v)
{
    v.offset_a = v.released ? release_offset_a_[v.level] : offset_a_[v.level];
    batches_[v.batch]->set_constants(v.lane, step_for(v.key, bend_semitones_, v.level),
                                     v.released ? release_damp_[v.level] : damp_[v.level]);
}

void VoiceEngine::release(Voice &v)
{
    v.released = true;
    v.sustained = false;
    apply_step(v);
}

// Fades a voice out over fade_frames_, never with a click; an oversampled
// voice's ramp is applied before its decimator, so the queue empties into
// silence before the voice is free.
void VoiceEngine::fade(Voice &v)
{
    if (v.fade_left == 0) {
        v.fade_left = fade_frames_ + (v.level > 0 ? decimator_delay_ : 0);
        v.fade_in_left = fade_frames_ << v.level;
    }
    v.held = false;
    v.sustained = false;
}

VoiceEngine::Voice *VoiceEngine::take_voice(int32_t level)
{
    int32_t sounding = 0;
    Voice *quietest = nullptr, *quietest_released = nullptr;
    for (Voice &v : voices_) {
        if (!v.active || v.fade_left > 0)
            continue;
        ++sounding;
        if (!quietest || v.envelope < quietest->envelope)
            quietest = &v;
        if ((v.released || v.sustained || settings_.one_shot) &&
            (!quietest_released || v.envelope < quietest_released->envelope))
            quietest_released = &v;
    }
    if (sounding >= settings_.polyphony)
        fade(quietest_released ? *quietest_released : *quietest);

    // A free lane in the fullest batch at this rate, else in an empty batch:
    // few batches stay busy.
    Voice *chosen = nullptr;
    int32_t chosen_fill = -1;
    for (Voice &v : voices_) {
        const int32_t fill = batch_active_[v.batch];
        if (v.active || (fill > 0 && batch_level_[v.batch] != level))
            continue;
        if (fill > chosen_fill) {
            chosen = &v;
            chosen_fill = fill;
        }
    }
    if (chosen) {
        batch_level_[chosen->batch] = level;
        return chosen;
    }
    // Every lane at this rate busy: the voice nearest the end of its fade
    // there goes now.
    Voice *ending = nullptr;
    for (Voice &v : voices_)
        if (v.fade_left > 0 && batch_level_[v.batch] == level &&
            (!ending || v.fade_left < ending->fade_left))
            ending = &v;
    if (ending)
        free_voice(*ending);
    return ending;
}

void VoiceEngine::start_voice(Voice &v, int32_t key, double displacement)
{
    LaneBatch &batch = *batches_[v.batch];
    batch.reset_lane(v.lane);
    batch.set_live(v.lane, true);
    batch.set_position(actuation_node_, axis_, v.lane,
                       batch.position(actuation_node_, axis_, v.lane) + displacement);
    v = Voice{v.batch, v.lane};
    v.active = true;
    v.held = true;
    v.key = key;
    v.level = key_level_[key];
    v.ref_left = wiring_->rest(sampling_node_, axis_);
    v.ref_right = wiring_->rest(second_node_, axis_);
    ++batch_active_[v.batch];
    apply_step(v);
}

void VoiceEngine::note_on(int32_t key, int32_t velocity)
{
    if (velocity == 0) {
        note_off(key);
        return;
    }
    if (key < lowest_key_ || key > highest_key_)
        return;
    const double strength = static_cast<double>(velocity) / max_velocity;
    const double displacement =
        instrument_.velocity * std::pow(strength, settings_.velocity_curve);
    if (settings_.restrike) {
        for (Voice &v : voices_) {
            if (!v.active || v.key != key || v.fade_left > 0)
                continue;
            // The new strike adds to the motion of the ringing object.
            LaneBatch &batch = *batches_[v.batch];
            batch.set_position(actuation_node_, axis_, v.lane,
                               batch.position(actuation_node_, axis_, v.lane) + displacement);
            v.held = true;
            v.sustained = false;
            v.released = false;
            apply_step(v);
            return;
        }
    }
    if (Voice *v = take_voice(key_level_[key]))
        start_voice(*v, key, displacement);
}

void VoiceEngine::note_off(int32_t key)
{
    for (Voice &v : voices_) {
        if (!v.active || v.key != key || !v.held)
            continue;
        v.held = false;
        if (settings_.one_shot)
            continue;
        if (pedal_)
            v.sustained = true;
        else
            release(v);
    }
}

void VoiceEngine::control(int32_t controller, int32_t value)
{
    switch (controller) {
    case cc_sustain: {
        const bool down = value >= pedal_down_from;
        if (pedal_ && !down)
            for (Voice &v : voices_)
                if (v.active && v.sustained)
                    release(v);
        pedal_ = down;
        break;
    }
    case cc_all_notes_off:
        for (Voice &v : voices_)
            if (v.active && v.held)
                note_off(v.key);
        break;
    case cc_all_sound_off:
        for (Voice &v : voices_)
            if (v.active)
                fade(v);
        break;
    case cc_reset_controllers:
        set_bend(0.0);
        control(cc_sustain, 0);
        break;
    default:
        break;
    }
}

void VoiceEngine::set_bend(double semitones)
{
    bend_semitones_ = semitones;
    for (Voice &v : voices_)
        if (v.active)
            apply_step(v);
}

} // namespace voice
