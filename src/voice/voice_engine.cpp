// The voice engine: prepare (measuring the instrument) and process (playing
// it). See voice_engine.h for which side may run where.
#include "voice_engine.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "intl.h"
#include "lane_mesh.h"
#include "metal_obj_ptr.h"
#include "render.h"
#include "sound_analysis.h"

namespace voice {

struct VoiceEngine::Voice {
    int32_t batch = 0, lane = 0;
    bool active = false;
    bool held = false;      // key down
    bool sustained = false; // key up, held by the pedal
    bool released = false;  // key up: damped to ring out
    int32_t key = -1;
    int32_t fade_left = 0;  // > 0: fading out, then free
    double ref_left = 0.0, ref_right = 0.0;
    double offset_left = 0.0, offset_right = 0.0;
    double envelope = 0.0, envelope_max = 0.0;
    double offset_a = 0.0; // the offset's weight, faster once released
    uint64_t frames_on = 0;
};

namespace {

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
// The instrument's own note is measured over this long (the renderer's
// default length): its peak sets the gain, its lowest partial the root.
constexpr double calibration_s = 1.0;
// The stability probe: lane l steps at 2^(l / 2) times the instrument's own
// step; a lane whose nodes stray further than this from rest blew up.
constexpr double probe_octaves_per_lane = 0.5;
constexpr double unstable_distance = 1.0e3;
// Voices beyond the polyphony keep fading in lanes of their own.
constexpr int32_t fade_reserve = lanes;
constexpr int32_t keys = 128;
constexpr int32_t max_velocity = 127;
constexpr int32_t bend_centre = 8192;
constexpr int32_t pedal_down_from = 64;
constexpr uint8_t status_note_off = 0x80, status_note_on = 0x90, status_control = 0xb0,
                  status_bend = 0xe0;
constexpr int32_t cc_sustain = 64, cc_all_sound_off = 120, cc_reset_controllers = 121,
                  cc_all_notes_off = 123;

int32_t axis_of(int32_t actuation)
{
    return actuation == ACTUATION_COMPRESSION ? 0 : 2;
}

bool in_range(double v, double lo, double hi)
{
    return v >= lo && v <= hi;
}

std::string check_settings(const EngineSettings &s)
{
    if (s.polyphony < 1 || s.polyphony > polyphony_max)
        return _("The polyphony must lie between 1 and 64 voices.");
    if (s.root_key < -1 || s.root_key >= keys)
        return _("The root key must be a MIDI key from 0 to 127.");
    if (!in_range(s.tuning_cents, -100.0, 100.0))
        return _("The tuning must lie between -100 and 100 cents.");
    if (!in_range(s.release_s, 0.01, 10.0))
        return _("The release must lie between 0.01 and 10 seconds.");
    if (!in_range(s.velocity_curve, 0.2, 5.0))
        return _("The velocity curve must lie between 0.2 and 5.");
    if (!in_range(s.bend_range, 0.0, 24.0))
        return _("The bend range must lie between 0 and 24 semitones.");
    if (!in_range(s.level_db, -40.0, 12.0))
        return _("The level must lie between -40 and 12 dB.");
    return {};
}

} // namespace

VoiceEngine::VoiceEngine() = default;
VoiceEngine::~VoiceEngine() = default;

int64_t VoiceEngine::num_springs() const
{
    return wiring_->num_springs();
}

std::unique_ptr<VoiceEngine> VoiceEngine::prepare(const Instrument &instrument, int32_t rate_hz,
                                                  const EngineSettings &settings,
                                                  int32_t max_block, std::string &error)
{
    error = check_settings(settings);
    if (!error.empty())
        return nullptr;
    if (rate_hz <= 0 || max_block <= 0) {
        error = _("The rate and the block size must be positive.");
        return nullptr;
    }
    const Instrument &ins = instrument;
    if (!instrument_node_is_movable(ins, ins.actuation_node) ||
        !instrument_node_is_movable(ins, ins.sampling_node)) {
        error = _("The struck and the listening node must be movable nodes of the object.");
        return nullptr;
    }
    const int32_t second =
        settings.second_pickup >= 0 ? settings.second_pickup : instrument_mirror_node(ins, ins.sampling_node);
    if (!instrument_node_is_movable(ins, second)) {
        error = _("The second pickup must be a movable node of the object.");
        return nullptr;
    }
    const ObjPtr obj(build_instrument_object(ins));
    if (!obj) {
        error = _("Out of memory.");
        return nullptr;
    }

    std::unique_ptr<VoiceEngine> e(new VoiceEngine);
    e->instrument_ = ins;
    e->instrument_.progress = nullptr;
    e->settings_ = settings;
    e->rate_hz_ = rate_hz;
    e->max_block_ = max_block;
    e->axis_ = axis_of(ins.actuation);
    e->actuation_node_ = ins.actuation_node;
    e->sampling_node_ = ins.sampling_node;
    e->second_node_ = second;
    e->wiring_ = LaneWiring::compile(*obj);
    if (!e->wiring_) {
        error = _("The object cannot be stepped.");
        return nullptr;
    }

    const double r = static_cast<double>(rate_hz);
    e->base_dt_ = reference_rate_hz * ins.speed / r;
    e->damp_ = std::pow(0.5, 1.0 / (r * ins.damping));
    // A mode's amplitude falls by the square root of the damping factor per
    // step (the step's determinant is the factor), so 60 dB in release_s
    // takes a factor of 10^(-6 / steps).
    e->release_damp_ = std::min(e->damp_, std::pow(10.0, -6.0 / (settings.release_s * r)));
    e->offset_a_ = std::pow(0.5, offset_halvings_per_s / r);
    // A released voice's running offset follows it to rest as fast as the
    // mesh falls silent; held, it moves as slowly as the render loop's.
    e->release_offset_a_ = std::min(e->offset_a_, std::pow(10.0, -3.0 / (settings.release_s * r)));
    e->envelope_c_ = 1.0 - envelope_rate_hz / r;
    e->rest_threshold_ = std::pow(10.0, rest_db / 20.0);
    e->fade_frames_ = std::max(1, static_cast<int32_t>(std::lround(steal_fade_s * r)));
    e->silent_free_frames_ = static_cast<int32_t>(std::lround(silent_free_s * r));

    const int32_t num_batches = (settings.polyphony + fade_reserve + lanes - 1) / lanes;
    for (int32_t b = 0; b < num_batches; ++b)
        e->batches_.push_back(std::make_unique<LaneBatch>(*e->wiring_));
    e->batch_active_.assign(static_cast<size_t>(num_batches), 0);
    e->voices_.resize(static_cast<size_t>(num_batches * lanes));
    for (int32_t i = 0; i < num_batches * lanes; ++i) {
        e->voices_[static_cast<size_t>(i)].batch = i / lanes;
        e->voices_[static_cast<size_t>(i)].lane = i % lanes;
    }

    // The instrument's own note in lane 0, exactly as the render loop plays
    // it, and the stability probe in the other lanes, in one run.
    LaneBatch &probe = *e->batches_[0];
    for (int32_t l = 0; l < lanes; ++l) {
        const double factor = std::exp2(probe_octaves_per_lane * l);
        probe.set_constants(l, l == 0 ? e->base_dt_ : e->base_dt_ * factor, e->damp_);
        probe.set_position(e->actuation_node_, e->axis_, l,
                           probe.position(e->actuation_node_, e->axis_, l) + ins.velocity);
    }
    const auto frames = static_cast<size_t>(std::lround(calibration_s * r));
    std::vector<double> note(frames);
    const double reference = e->wiring_->rest(e->sampling_node_, e->axis_);
    double offset = 0.0, peak = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        probe.step();
        const double v = probe.position(e->sampling_node_, e->axis_, 0) - reference;
        offset = (1.0 - e->offset_a_) * v + offset * e->offset_a_;
        note[i] = v - offset;
        peak = std::max(peak, std::fabs(note[i]));
    }
    double stable_factor = 1.0;
    for (int32_t l = 1; l < lanes; ++l) {
        bool stable = true;
        for (int32_t n = 0; n < e->wiring_->num_nodes() && stable; ++n)
            for (int32_t c = 0; c < 3; ++c) {
                const double d = probe.position(n, c, l) - e->wiring_->rest(n, c);
                if (!(std::fabs(d) < unstable_distance))
                    stable = false;
            }
        if (!stable)
            break;
        stable_factor = std::exp2(probe_octaves_per_lane * l);
    }
    for (int32_t l = 0; l < lanes; ++l) {
        probe.reset_lane(l);
        probe.set_constants(l, 0.0, 1.0);
    }
    e->gain_ = peak > 0.0 && std::isfinite(peak)
                   ? std::pow(10.0, (root_peak_dbfs + settings.level_db) / 20.0) / peak
                   : 0.0;

    // The root: the key nearest the lowest partial, unless it was named.
    std::vector<int16_t> pcm(frames);
    for (size_t i = 0; i < frames; ++i)
        pcm[i] = pcm_from_double(peak > 0.0 ? note[i] / peak : 0.0);
    SoundAnalyser analyser;
    const SoundAnalysis analysis = analyser.analyse(pcm, rate_hz);
    e->reference_hz_ = analysis.lowest_hz.value_or(0.0);
    if (settings.root_key >= 0)
        e->root_key_ = settings.root_key;
    else if (e->reference_hz_ > 0.0)
        e->root_key_ = std::clamp(
            static_cast<int32_t>(std::lround(69.0 + 12.0 * std::log2(e->reference_hz_ / 440.0))),
            0, keys - 1);
    // The stiffness that puts the reference partial where it is at the root
    // step: a mode of the step rotates by theta per step with
    // 2 sqrt(d) cos(theta) = 1 + d - d w^2 dt^2.
    if (e->reference_hz_ > 0.0 && e->base_dt_ > 0.0) {
        const double theta = 2.0 * std::numbers::pi * e->reference_hz_ / r;
        const double d = e->damp_;
        e->omega_sq_ = (1.0 + d - 2.0 * std::sqrt(d) * std::cos(theta)) /
                       (d * e->base_dt_ * e->base_dt_);
    }

    // Playable keys: those whose step, bent fully up, stays as stable as the
    // probe found and whose reference partial stays below half the rate.
    e->lowest_key_ = 0;
    e->highest_key_ = -1;
    for (int32_t k = 0; k < keys; ++k) {
        const double up = (k - e->root_key_) + settings.tuning_cents / 100.0 + settings.bend_range;
        const double factor = std::exp2(up / 12.0);
        const bool below_nyquist = e->reference_hz_ * factor < 0.5 * r;
        if (factor <= stable_factor && below_nyquist)
            e->highest_key_ = k;
        else
            break;
    }
    if (e->highest_key_ < 0)
        e->lowest_key_ = 0;
    return e;
}

double VoiceEngine::step_for(int32_t key, double bend_semitones) const
{
    const double semitones =
        (key - root_key_) + settings_.tuning_cents / 100.0 + bend_semitones;
    if (semitones == 0.0)
        return base_dt_;
    if (omega_sq_ <= 0.0)
        return base_dt_ * std::exp2(semitones / 12.0);
    // The step that turns the reference partial's stiffness into the key's
    // frequency: a plain scale of the step drifts sharp as the step grows.
    const double theta = 2.0 * std::numbers::pi * reference_hz_ * std::exp2(semitones / 12.0) /
                         static_cast<double>(rate_hz_);
    const double d = damp_;
    const double dt_sq = (1.0 + d - 2.0 * std::sqrt(d) * std::cos(theta)) / (d * omega_sq_);
    return std::sqrt(dt_sq);
}

double VoiceEngine::key_step(int32_t key) const
{
    if (key < lowest_key_ || key > highest_key_)
        return 0.0;
    return step_for(key, 0.0);
}

int32_t VoiceEngine::active_voices() const
{
    int32_t n = 0;
    for (const Voice &v : voices_)
        n += v.active ? 1 : 0;
    return n;
}

void VoiceEngine::reset()
{
    for (Voice &v : voices_) {
        if (!v.active)
            continue;
        batches_[v.batch]->reset_lane(v.lane);
        batches_[v.batch]->set_constants(v.lane, 0.0, 1.0);
        v.active = false;
    }
    std::fill(batch_active_.begin(), batch_active_.end(), 0);
    pedal_ = false;
}

void VoiceEngine::apply_step(Voice &v)
{
    v.offset_a = v.released ? release_offset_a_ : offset_a_;
    batches_[v.batch]->set_constants(v.lane, step_for(v.key, bend_semitones_),
                                     v.released ? release_damp_ : damp_);
}

void VoiceEngine::release(Voice &v)
{
    v.released = true;
    v.sustained = false;
    apply_step(v);
}

void VoiceEngine::fade(Voice &v, int32_t frames)
{
    if (v.fade_left == 0 || v.fade_left > frames)
        v.fade_left = frames;
    v.held = false;
    v.sustained = false;
}

VoiceEngine::Voice *VoiceEngine::take_voice()
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
        fade(quietest_released ? *quietest_released : *quietest, fade_frames_);

    // A free lane in the fullest batch that has one keeps few batches busy.
    Voice *chosen = nullptr;
    int32_t chosen_fill = -1;
    for (Voice &v : voices_)
        if (!v.active && batch_active_[v.batch] > chosen_fill) {
            chosen = &v;
            chosen_fill = batch_active_[v.batch];
        }
    if (chosen)
        return chosen;
    // Every lane busy: the voice nearest the end of its fade goes now.
    Voice *ending = nullptr;
    for (Voice &v : voices_)
        if (v.fade_left > 0 && (!ending || v.fade_left < ending->fade_left))
            ending = &v;
    if (!ending)
        return nullptr;
    ending->active = false;
    --batch_active_[ending->batch];
    return ending;
}

void VoiceEngine::start_voice(Voice &v, int32_t key, double displacement)
{
    LaneBatch &batch = *batches_[v.batch];
    batch.reset_lane(v.lane);
    batch.set_position(actuation_node_, axis_, v.lane,
                       batch.position(actuation_node_, axis_, v.lane) + displacement);
    const int32_t sampling = sampling_node_;
    v = Voice{v.batch, v.lane};
    v.active = true;
    v.held = true;
    v.key = key;
    v.ref_left = wiring_->rest(sampling, axis_);
    v.ref_right = wiring_->rest(second_node_, axis_);
    ++batch_active_[v.batch];
    ++notes_started_;
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
    if (Voice *v = take_voice())
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
                fade(v, fade_frames_);
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

void VoiceEngine::render(float *left, float *right, uint32_t frames)
{
    std::fill(left, left + frames, 0.0f);
    std::fill(right, right + frames, 0.0f);
    const double c = envelope_c_;
    for (size_t b = 0; b < batches_.size(); ++b) {
        if (batch_active_[b] == 0)
            continue;
        LaneBatch &batch = *batches_[b];
        Voice *lane_voice = &voices_[b * lanes];
        for (uint32_t f = 0; f < frames; ++f) {
            batch.step();
            for (int32_t l = 0; l < lanes; ++l) {
                Voice &v = lane_voice[l];
                if (!v.active)
                    continue;
                const double a = v.offset_a;
                const double vl = batch.position(sampling_node_, axis_, l) - v.ref_left;
                v.offset_left = (1.0 - a) * vl + v.offset_left * a;
                const double yl = vl - v.offset_left;
                double yr = yl;
                if (!settings_.mono) {
                    const double vr = batch.position(second_node_, axis_, l) - v.ref_right;
                    v.offset_right = (1.0 - a) * vr + v.offset_right * a;
                    yr = vr - v.offset_right;
                }
                v.envelope = v.envelope * c + std::fabs(yl) * (1.0 - c);
                v.envelope_max = std::max(v.envelope_max, v.envelope);
                ++v.frames_on;
                double g = gain_;
                if (v.fade_left > 0)
                    g *= static_cast<double>(v.fade_left) / fade_frames_;
                left[f] += static_cast<float>(g * yl);
                right[f] += static_cast<float>(g * yr);

                bool free = false;
                if (v.fade_left > 0)
                    free = --v.fade_left == 0;
                else if (v.released || settings_.one_shot)
                    free = v.envelope_max > 0.0
                               ? v.envelope <= v.envelope_max * rest_threshold_
                               : v.frames_on > static_cast<uint64_t>(silent_free_frames_);
                if (free) {
                    batch.reset_lane(l);
                    batch.set_constants(l, 0.0, 1.0);
                    v.active = false;
                    --batch_active_[b];
                }
            }
        }
    }
}

} // namespace voice
