// The voice engine: an instrument played by keys. Every front end (the
// renderer's scores, a plugin, live play) translates its events into
// VoiceEvents and copies the engine's frames out.
//
// Two sides, kept apart:
// - prepare() (any thread but the audio thread; allocates, renders): builds
//   the pool of voices, measures the instrument's own note for the gain and
//   the root key, and finds how far up the mesh stays stable;
// - process() and the queries below it (the audio thread): no allocation,
//   lock, file or system call, and time bounded by the block and the pool.
//
// A voice is one lane of a LaneBatch: the voices of an instrument step
// together, sixteen to a batch, each with its own step size (its key) and
// damping factor (its release).
#pragma once

#include <cstdint>
#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "instrument.h"

namespace voice {

class LaneWiring;
class LaneBatch;

//! How the engine plays an instrument; the defaults are the engine's.
struct EngineSettings {
    int32_t polyphony = 16;       //!< voices sounding at once, 1 to polyphony_max
    int32_t root_key = -1;        //!< MIDI key that plays `speed` as it is; -1: from the sound
    double tuning_cents = 0.0;    //!< added to every key, -100 to 100
    double release_s = 0.5;       //!< key-up to 60 dB down, 0.01 to 10
    bool one_shot = false;        //!< key-up does nothing; every note rings out
    bool restrike = true;         //!< a key struck again strikes its ringing voice
    int32_t second_pickup = -1;   //!< node of the right channel; -1: mirror of the sampling node
    bool mono = false;            //!< both channels from the sampling node
    double velocity_curve = 1.0;  //!< strike = velocity x (v / 127)^curve, 0.2 to 5
    double bend_range = 2.0;      //!< semitones at full pitch bend, 0 to 24
    double level_db = 0.0;        //!< moves the -12 dBFS of a full-velocity root note, -40 to 12
};

constexpr int32_t polyphony_max = 64;

//! True when an engine prepared with `a` can take `b` through
//! VoiceEngine::adjust: they differ only in level, release, one-shot, restrike
//! and velocity curve.
bool same_preparation(const EngineSettings &a, const EngineSettings &b);
//! A full-velocity note at the root key peaks here (dBFS), before level_db.
constexpr double root_peak_dbfs = -12.0;

//! One MIDI channel message at a frame of the block: status (the channel
//! nibble is ignored), two data bytes.
struct VoiceEvent {
    uint32_t frame;
    uint8_t status, data1, data2;
};

class VoiceEngine {
public:
    //! Builds the engine for `instrument` at `rate_hz` in blocks of at most
    //! `max_block` frames. Null with `error` set (one English sentence) when
    //! the instrument cannot be built or the settings are out of range.
    //! `cancel`, when given and set from another thread, ends a prepare
    //! (which takes seconds for a large mesh) early with null.
    static std::unique_ptr<VoiceEngine> prepare(const Instrument &instrument, int32_t rate_hz,
                                                const EngineSettings &settings,
                                                int32_t max_block, std::string &error,
                                                const std::atomic<bool> *cancel = nullptr);
    ~VoiceEngine();
    VoiceEngine(const VoiceEngine &) = delete;
    VoiceEngine &operator=(const VoiceEngine &) = delete;

    // ---- the audio thread ----

    //! Renders `frames` stereo frames into `left` and `right`, overwriting
    //! them, applying `events` (sorted by frame, frames below `frames`; later
    //! ones take effect after the block) at their frames, so the output does
    //! not depend on how a score is cut into blocks. Blocks longer than
    //! max_block are rendered in pieces.
    void process(std::span<const VoiceEvent> events, float *left, float *right,
                 uint32_t frames);
    //! Voices sounding or fading now.
    int32_t active_voices() const;
    //! Silences every voice at once (no fade); the pedal is let go.
    void reset();
    //! Takes settings that need no prepare (see same_preparation) at once:
    //! the notes to come and the released voices ringing follow them, and
    //! the engine plays as one prepared with them. False, with nothing
    //! changed, for settings out of range or that need a prepare.
    bool adjust(const EngineSettings &settings);

    // ---- any thread, constant after prepare ----
    int32_t root_key() const { return root_key_; }
    int32_t lowest_key() const { return lowest_key_; }
    int32_t highest_key() const { return highest_key_; }
    //! Output = gain x the render loop's signal of the note.
    double gain() const { return gain_; }
    //! The partial the keys are tuned by, as measured at the root key (Hz);
    //! 0 when the sound has none.
    double reference_hz() const { return reference_hz_; }
    int32_t rate_hz() const { return rate_hz_; }
    const EngineSettings &settings() const { return settings_; }
    //! Springs of the mesh: one square root each per voice and step.
    int64_t num_springs() const;
    //! The step size key `key` plays at with no bend (0 when it cannot play).
    double key_step(int32_t key) const;
    //! Steps per output frame for key `key`: 1, or more for keys above the
    //! mesh's stable step, decimated back to the rate with libsoxr (those
    //! keys sound decimator_delay() frames late); 0 when it cannot play.
    int32_t key_oversampling(int32_t key) const;
    int32_t decimator_delay() const { return decimator_delay_; }

    struct Voice;      // one lane's note
    struct Decimator;  // one lane's way down from a higher internal rate
    struct DecimatorDeleter {
        void operator()(Decimator *d) const;
    };

    //! Internal rates: the output rate times 1, 2, 4 or 8.
    static constexpr int32_t factor_levels = 4;
    //! Highest keys are stepped up to this many times per output sample.
    static constexpr int32_t max_oversampling = 1 << (factor_levels - 1);

private:
    VoiceEngine();
    // Preparing (voice_engine.cpp).
    bool measure(const Instrument &ins, std::string &error, const std::atomic<bool> *cancel);
    void make_decimators();
    void set_release_constants();
    double step_for(int32_t key, double bend_semitones, int32_t level) const;
    // The rules over the pool (voice_pool.cpp).
    void note_on(int32_t key, int32_t velocity);
    void note_off(int32_t key);
    void control(int32_t controller, int32_t value);
    void set_bend(double semitones);
    void release(Voice &v);
    void fade(Voice &v);
    Voice *take_voice(int32_t level);
    void start_voice(Voice &v, int32_t key, double displacement);
    void apply_step(Voice &v);
    void free_voice(Voice &v);
    // Rendering (voice_render.cpp).
    void render(float *left, float *right, uint32_t frames);
    void render_direct(size_t batch, double *left, double *right, uint32_t frames);
    void render_oversampled(size_t batch, double *left, double *right, uint32_t frames);
    [[gnu::always_inline]] inline void output(Voice &v, double yl, double yr, double *left,
                                              double *right, uint32_t f);
    uint32_t frames_before_end(const Voice &v, uint32_t frames) const;
    void decimate(Decimator &d, const double *in, size_t steps);

    Instrument instrument_{};
    EngineSettings settings_;
    int32_t rate_hz_ = 0;
    int32_t max_block_ = 0;
    int32_t run_frames_ = 0; // most frames rendered at a time
    static constexpr int32_t max_run_frames = 4096;
    int32_t axis_ = 0;
    int32_t sampling_node_ = 0, second_node_ = 0, actuation_node_ = 0;
    int32_t root_key_ = 60, lowest_key_ = 0, highest_key_ = 127;
    double gain_ = 0.0;
    double calibration_peak_ = 0.0; // the instrument's own note, for the gain
    double reference_hz_ = 0.0;
    double base_dt_ = 0.0;     // the instrument's own step at this rate
    double omega_sq_ = 0.0;    // the reference partial's stiffness, for the discretisation
    double stable_factor_ = 1.0; // how far the step may grow before the mesh blows up
    // Per internal rate (level l: 2^l steps per output sample): the damping
    // factor held and released, and the running offset's weight likewise.
    double damp_[factor_levels] = {}, release_damp_[factor_levels] = {};
    double offset_a_[factor_levels] = {}, release_offset_a_[factor_levels] = {};
    int32_t key_level_[128] = {}; // -1: the key cannot play
    double envelope_c_ = 0.0;
    double rest_threshold_ = 0.0; // envelope ratio at which a released voice is free
    int32_t fade_frames_ = 0;
    int32_t silent_free_frames_ = 0;
    int32_t decimator_delay_ = 0; // frames an oversampled voice sounds late
    double bend_semitones_ = 0.0;
    bool pedal_ = false;

    std::unique_ptr<LaneWiring> wiring_;
    std::vector<std::unique_ptr<LaneBatch>> batches_;
    std::vector<int32_t> batch_active_; // voices sounding or fading per batch
    std::vector<int32_t> batch_level_;  // its internal rate while it has voices
    std::vector<Voice> voices_;         // batch b lane l at b * lanes + l
    // Per lane and level above 0; null where no key needs that level.
    std::vector<std::unique_ptr<Decimator, DecimatorDeleter>> decimators_;
    std::vector<double> mix_left_, mix_right_; // a block's sums
    std::vector<double> internal_;  // a batch's lanes at the internal rate, per lane
    std::vector<double> decimated_; // one lane's soxr output
};

} // namespace voice
