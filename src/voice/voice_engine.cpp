// The voice engine's preparing side: checking the settings, measuring the
// instrument's own note (gain, root, stability) and making the pool. See
// voice_engine.h for which side may run where.
#include "voice_engine.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "intl.h"
#include "lane_mesh.h"
#include "metal_obj_ptr.h"
#include "render.h"
#include "sound_analysis.h"
#include "voice_internal.h"

namespace voice {

using namespace engine_constants;

namespace {

// The instrument's own note is measured over this long (the renderer's
// default length): its peak sets the gain, its lowest partial the root.
constexpr double calibration_s = 1.0;
// How often the calibration looks whether it is still wanted.
constexpr size_t cancel_check_frames = 1024;
// The stability probe: lane l steps at 2^(l / 2) times the instrument's own
// step; a lane whose nodes stray further than this from rest blew up.
constexpr double probe_octaves_per_lane = 0.5;
constexpr int32_t probe_lanes = 8;
constexpr double unstable_distance = 1.0e3;
// Voices beyond the polyphony keep fading in lanes of their own.
constexpr int32_t fade_reserve = 8;
// The decimators: soxr's low quality with a minimum-phase filter keeps the
// latency near a millisecond; the queue's silence covers what the filter
// holds back, measured once per rate when the engine is made.
constexpr unsigned long decimator_quality = SOXR_LQ | SOXR_MINIMUM_PHASE;
constexpr unsigned decimator_dft_log2 = 8;
constexpr int32_t decimator_probe_frames = 2048;
constexpr int32_t decimator_delay_margin = 8;
constexpr double a4_hz = 440.0;
constexpr int32_t a4_key = 69;

int32_t axis_of(int32_t actuation)
{
    return actuation == ACTUATION_COMPRESSION ? 0 : 2;
}

bool in_range(double v, double lo, double hi)
{
    return v >= lo && v <= hi;
}

// The fault of settings out of range, untranslated; null when there is none.
// Nothing here allocates: adjust() checks on the audio thread.
const char *settings_fault(const EngineSettings &s)
{
    if (s.polyphony < 1 || s.polyphony > polyphony_max)
        return N_("The polyphony must lie between 1 and 64 voices.");
    if (s.root_key < -1 || s.root_key >= keys)
        return N_("The root key must be a MIDI key from 0 to 127.");
    if (!in_range(s.tuning_cents, -100.0, 100.0))
        return N_("The tuning must lie between -100 and 100 cents.");
    if (!in_range(s.release_s, 0.01, 10.0))
        return N_("The release must lie between 0.01 and 10 seconds.");
    if (!in_range(s.velocity_curve, 0.2, 5.0))
        return N_("The velocity curve must lie between 0.2 and 5.");
    if (!in_range(s.bend_range, 0.0, 24.0))
        return N_("The bend range must lie between 0 and 24 semitones.");
    if (!in_range(s.level_db, -40.0, 12.0))
        return N_("The level must lie between -40 and 12 dB.");
    return nullptr;
}

soxr_t new_soxr(int32_t factor, int32_t rate_hz)
{
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(decimator_quality, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_min_dft_size = decimator_dft_log2;
    runtime.log2_large_dft_size = decimator_dft_log2;
    soxr_t s = soxr_create(static_cast<double>(factor) * rate_hz, rate_hz, 2, &error, &io,
                           &quality, &runtime);
    if (error) {
        soxr_delete(s);
        return nullptr;
    }
    return s;
}

// Soxr sizes its buffers on its first blocks and again whenever it is
// cleared: silence played through it once, at the largest block, means the
// audio thread never sees it allocate. It is never cleared after that.
void prime(soxr_t s, int32_t factor, int32_t max_block)
{
    std::vector<double> in(static_cast<size_t>(2 * factor * max_block), 0.0);
    std::vector<double> out(static_cast<size_t>(4 * max_block));
    size_t used = 0, done = 0;
    soxr_process(s, in.data(), static_cast<size_t>(factor * max_block), &used, out.data(),
                 out.size() / 2, &done);
}

// How many output frames a primed soxr at `factor` may fall behind its
// input, fed a frame at a time and a block at a time.
int32_t decimator_lag(int32_t factor, int32_t rate_hz, int32_t max_block)
{
    int32_t lag = 0;
    for (int32_t chunk : {1, max_block}) {
        soxr_t s = new_soxr(factor, rate_hz);
        if (!s)
            return 0;
        prime(s, factor, max_block);
        std::vector<double> in(static_cast<size_t>(2 * factor * chunk), 0.0);
        std::vector<double> out(static_cast<size_t>(2 * (chunk + max_block)));
        int64_t fed = 0, got = 0;
        for (int32_t f = 0; f < decimator_probe_frames + max_block; f += chunk) {
            for (size_t i = 0; i < in.size(); ++i)
                in[i] = std::sin(0.001 * static_cast<double>(fed * 2 * factor + static_cast<int64_t>(i)));
            size_t used = 0, done = 0;
            soxr_process(s, in.data(), static_cast<size_t>(factor * chunk), &used, out.data(),
                         out.size() / 2, &done);
            fed += chunk;
            got += static_cast<int64_t>(done);
            lag = std::max(lag, static_cast<int32_t>(fed - got));
        }
        soxr_delete(s);
    }
    return lag;
}

} // namespace

void VoiceEngine::DecimatorDeleter::operator()(Decimator *d) const
{
    delete d;
}

VoiceEngine::VoiceEngine() = default;
VoiceEngine::~VoiceEngine() = default;

int64_t VoiceEngine::num_springs() const
{
    return wiring_->num_springs();
}

std::unique_ptr<VoiceEngine> VoiceEngine::prepare(const Instrument &instrument, int32_t rate_hz,
                                                  const EngineSettings &settings,
                                                  int32_t max_block, std::string &error,
                                                  const std::atomic<bool> *cancel)
{
    if (const char *fault = settings_fault(settings)) {
        error = _(fault);
        return nullptr;
    }
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
    const int32_t second = settings.second_pickup >= 0
                               ? settings.second_pickup
                               : instrument_mirror_node(ins, ins.sampling_node);
    if (!instrument_node_is_movable(ins, second)) {
        error = _("The second pickup must be a movable node of the object.");
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
    if (!e->measure(ins, error, cancel))
        return nullptr;
    e->make_decimators();
    return e;
}

// The constants of every internal rate, the pool, and the instrument's own
// note measured in it.
bool VoiceEngine::measure(const Instrument &ins, std::string &error,
                          const std::atomic<bool> *cancel)
{
    const ObjPtr obj(build_instrument_object(ins));
    if (!obj) {
        error = _("Out of memory.");
        return false;
    }
    wiring_ = LaneWiring::compile(*obj);
    if (!wiring_) {
        error = _("The object cannot be stepped.");
        return false;
    }
    const double r = static_cast<double>(rate_hz_);
    base_dt_ = reference_rate_hz * ins.speed / r;
    for (int32_t level = 0; level < factor_levels; ++level) {
        const double steps_per_s = r * (1 << level);
        damp_[level] = std::pow(0.5, 1.0 / (steps_per_s * ins.damping));
        offset_a_[level] = std::pow(0.5, offset_halvings_per_s / steps_per_s);
    }
    set_release_constants();
    envelope_c_ = 1.0 - envelope_rate_hz / r;
    rest_threshold_ = std::pow(10.0, rest_db / 20.0);
    fade_frames_ = std::max(1, static_cast<int32_t>(std::lround(steal_fade_s * r)));
    silent_free_frames_ = static_cast<int32_t>(std::lround(silent_free_s * r));

    // Enough batches for the polyphony and the fading voices, and one more
    // for each internal rate besides the output rate, since a batch steps
    // all its lanes at one rate.
    const int32_t num_batches =
        (settings_.polyphony + fade_reserve + lanes - 1) / lanes + factor_levels - 1;
    for (int32_t b = 0; b < num_batches; ++b) {
        batches_.push_back(std::make_unique<LaneBatch>(*wiring_));
        for (int32_t l = 0; l < lanes; ++l) // a lane is stepped while it has a voice
            batches_.back()->set_live(l, b == 0 && l < probe_lanes);
    }
    batch_active_.assign(static_cast<size_t>(num_batches), 0);
    batch_level_.assign(static_cast<size_t>(num_batches), 0);
    voices_.resize(static_cast<size_t>(num_batches * lanes));
    for (int32_t i = 0; i < num_batches * lanes; ++i) {
        voices_[static_cast<size_t>(i)].batch = i / lanes;
        voices_[static_cast<size_t>(i)].lane = i % lanes;
    }
    // Blocks are rendered in runs of the same most frames whatever the
    // host's blocks, so the decimators are primed and delayed alike in every
    // engine of the instrument.
    run_frames_ = max_run_frames;
    mix_left_.resize(static_cast<size_t>(run_frames_));
    mix_right_.resize(static_cast<size_t>(run_frames_));

    // The instrument's own note in lane 0, exactly as the render loop plays
    // it, and the stability probe in the other lanes, in one run.
    LaneBatch &probe = *batches_[0];
    for (int32_t l = 0; l < probe_lanes; ++l) {
        const double factor = std::exp2(probe_octaves_per_lane * l);
        probe.set_constants(l, l == 0 ? base_dt_ : base_dt_ * factor, damp_[0]);
        probe.set_position(actuation_node_, axis_, l,
                           probe.position(actuation_node_, axis_, l) + ins.velocity);
    }
    const auto frames = static_cast<size_t>(std::lround(calibration_s * r));
    std::vector<double> note(frames);
    const double reference = wiring_->rest(sampling_node_, axis_);
    double offset = 0.0, peak = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        if (cancel && i % cancel_check_frames == 0 && cancel->load(std::memory_order_relaxed)) {
            error = "The preparation was cancelled.";
            return false;
        }
        probe.step();
        const double v = probe.position(sampling_node_, axis_, 0) - reference;
        offset = (1.0 - offset_a_[0]) * v + offset * offset_a_[0];
        note[i] = v - offset;
        peak = std::max(peak, std::fabs(note[i]));
    }
    for (int32_t l = 1; l < probe_lanes; ++l) {
        bool stable = true;
        for (int32_t n = 0; n < wiring_->num_nodes() && stable; ++n)
            for (int32_t c = 0; c < 3; ++c)
                if (!(std::fabs(probe.position(n, c, l) - wiring_->rest(n, c)) <
                      unstable_distance))
                    stable = false;
        if (!stable)
            break;
        stable_factor_ = std::exp2(probe_octaves_per_lane * l);
    }
    for (int32_t l = 0; l < probe_lanes; ++l) {
        probe.reset_lane(l);
        probe.set_constants(l, 0.0, 1.0);
        probe.set_live(l, false);
    }
    calibration_peak_ = peak;
    gain_ = peak > 0.0 && std::isfinite(peak)
                ? std::pow(10.0, (root_peak_dbfs + settings_.level_db) / 20.0) / peak
                : 0.0;

    // The root: the key nearest the lowest partial, unless it was named.
    std::vector<int16_t> pcm(frames);
    for (size_t i = 0; i < frames; ++i)
        pcm[i] = pcm_from_double(peak > 0.0 ? note[i] / peak : 0.0);
    SoundAnalyser analyser;
    reference_hz_ = analyser.analyse(pcm, rate_hz_).lowest_hz.value_or(0.0);
    if (settings_.root_key >= 0)
        root_key_ = settings_.root_key;
    else if (reference_hz_ > 0.0)
        root_key_ = std::clamp(
            static_cast<int32_t>(std::lround(a4_key + 12.0 * std::log2(reference_hz_ / a4_hz))),
            0, keys - 1);
    // The stiffness that puts the reference partial where it is at the root
    // step: a mode of the step rotates by theta per step with
    // 2 sqrt(d) cos(theta) = 1 + d - d w^2 dt^2.
    if (reference_hz_ > 0.0 && base_dt_ > 0.0) {
        const double theta = 2.0 * std::numbers::pi * reference_hz_ / r;
        const double d = damp_[0];
        omega_sq_ = (1.0 + d - 2.0 * std::sqrt(d) * std::cos(theta)) / (d * base_dt_ * base_dt_);
    }

    // Each key's internal rate: the lowest at which its step, bent fully up,
    // stays as stable as the probe found and its reference partial below
    // half that rate. Keys no rate serves stay silent.
    lowest_key_ = 0;
    highest_key_ = -1;
    for (int32_t k = 0; k < keys; ++k) {
        const double up =
            (k - root_key_) + settings_.tuning_cents / 100.0 + settings_.bend_range;
        const double factor = std::exp2(up / 12.0);
        key_level_[k] = -1;
        for (int32_t level = 0; level < factor_levels; ++level) {
            const double m = 1 << level;
            if (factor <= stable_factor_ * m && reference_hz_ * factor < 0.5 * r * m) {
                key_level_[k] = level;
                break;
            }
        }
        if (key_level_[k] < 0)
            break;
        highest_key_ = k;
    }
    return true;
}

void VoiceEngine::set_release_constants()
{
    for (int32_t level = 0; level < factor_levels; ++level) {
        const double steps_per_s = static_cast<double>(rate_hz_) * (1 << level);
        // A mode's amplitude falls by the square root of the damping factor
        // per step (the step's determinant is the factor), so 60 dB in
        // release_s takes a factor of 10^(-6 / steps).
        release_damp_[level] =
            std::min(damp_[level], std::pow(10.0, -6.0 / (settings_.release_s * steps_per_s)));
        // A released voice's running offset follows it to rest as fast as
        // the mesh falls silent; held, it moves as slowly as the render
        // loop's.
        release_offset_a_[level] = std::min(
            offset_a_[level], std::pow(10.0, -3.0 / (settings_.release_s * steps_per_s)));
    }
}

bool same_preparation(const EngineSettings &a, const EngineSettings &b)
{
    return a.polyphony == b.polyphony && a.root_key == b.root_key &&
           a.tuning_cents == b.tuning_cents && a.second_pickup == b.second_pickup &&
           a.mono == b.mono && a.bend_range == b.bend_range;
}

bool VoiceEngine::adjust(const EngineSettings &settings)
{
    if (!same_preparation(settings_, settings) || settings_fault(settings))
        return false;
    const bool new_release = settings.release_s != settings_.release_s;
    const bool new_level = settings.level_db != settings_.level_db;
    settings_ = settings;
    if (new_level && gain_ > 0.0)
        gain_ = std::pow(10.0, (root_peak_dbfs + settings_.level_db) / 20.0) / calibration_peak_;
    if (new_release) {
        set_release_constants();
        for (Voice &v : voices_)
            if (v.active && v.released)
                apply_step(v);
    }
    return true;
}

void VoiceEngine::make_decimators()
{
    bool needed[factor_levels] = {};
    for (int32_t k = lowest_key_; k <= highest_key_; ++k)
        needed[key_level_[k]] = true;
    decimators_.resize(voices_.size() * factor_levels);
    int32_t delay = 0;
    for (int32_t level = 1; level < factor_levels; ++level)
        if (needed[level])
            delay = std::max(delay, decimator_lag(1 << level, rate_hz_, run_frames_));
    decimator_delay_ = delay + decimator_delay_margin;
    for (int32_t level = 1; level < factor_levels; ++level) {
        if (!needed[level])
            continue;
        for (size_t v = 0; v < voices_.size(); ++v) {
            std::unique_ptr<Decimator, DecimatorDeleter> d(new Decimator);
            d->soxr = new_soxr(1 << level, rate_hz_);
            if (!d->soxr) {
                // No resampler: the keys of this rate stay silent.
                for (int32_t &k : key_level_)
                    if (k >= level)
                        k = -1;
                break;
            }
            // Room for what waits (the delay, and what soxr hands out ahead
            // of its input, up to a transform's length) and a block on top:
            // a full queue would drop frames, and where it drops them
            // depends on the blocks.
            d->queue.assign(static_cast<size_t>(2 * (run_frames_ + 2 * decimator_delay_ +
                                                     2 * (1 << decimator_dft_log2))),
                            0.0);
            d->count = static_cast<size_t>(decimator_delay_);
            decimators_[v * factor_levels + static_cast<size_t>(level)] = std::move(d);
        }
    }
    while (highest_key_ >= lowest_key_ && key_level_[highest_key_] < 0)
        --highest_key_;
    internal_.resize(static_cast<size_t>(lanes * 2 * run_frames_ * max_oversampling));
    decimated_.resize(static_cast<size_t>(2 * (run_frames_ + 2 * decimator_delay_)));
    for (size_t i = 0; i < decimators_.size(); ++i)
        if (Decimator *d = decimators_[i].get())
            prime(d->soxr, 1 << (i % factor_levels), run_frames_);
}

double VoiceEngine::step_for(int32_t key, double bend_semitones, int32_t level) const
{
    const double semitones =
        (key - root_key_) + settings_.tuning_cents / 100.0 + bend_semitones;
    const double m = 1 << level;
    if (semitones == 0.0 && level == 0)
        return base_dt_;
    if (omega_sq_ <= 0.0)
        return base_dt_ * std::exp2(semitones / 12.0) / m;
    // The step that turns the reference partial's stiffness into the key's
    // frequency: a plain scale of the step drifts sharp as the step grows.
    const double theta = 2.0 * std::numbers::pi * reference_hz_ * std::exp2(semitones / 12.0) /
                         (static_cast<double>(rate_hz_) * m);
    const double d = damp_[level];
    return std::sqrt((1.0 + d - 2.0 * std::sqrt(d) * std::cos(theta)) / (d * omega_sq_));
}

double VoiceEngine::key_step(int32_t key) const
{
    if (key < lowest_key_ || key > highest_key_)
        return 0.0;
    return step_for(key, 0.0, key_level_[key]);
}

int32_t VoiceEngine::key_oversampling(int32_t key) const
{
    if (key < lowest_key_ || key > highest_key_)
        return 0;
    return 1 << key_level_[key];
}

int32_t VoiceEngine::active_voices() const
{
    int32_t n = 0;
    for (const Voice &v : voices_)
        n += v.active ? 1 : 0;
    return n;
}

} // namespace voice
