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
// together, eight at a time, each with its own step size (its key) and
// damping factor (its release).
#pragma once

#include <cstdint>
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
    static std::unique_ptr<VoiceEngine> prepare(const Instrument &instrument, int32_t rate_hz,
                                                const EngineSettings &settings,
                                                int32_t max_block, std::string &error);
    ~VoiceEngine();
    VoiceEngine(const VoiceEngine &) = delete;
    VoiceEngine &operator=(const VoiceEngine &) = delete;

    // ---- the audio thread ----

    //! Renders `frames` (1 to max_block) stereo frames into `left` and
    //! `right`, overwriting them, applying `events` (sorted by frame, frames
    //! below `frames`; later ones are applied at the block's last frame) at
    //! their frames, so the output does not depend on how a score is cut
    //! into blocks.
    void process(std::span<const VoiceEvent> events, float *left, float *right,
                 uint32_t frames);
    //! Voices sounding or fading now.
    int32_t active_voices() const;
    //! Silences every voice at once (no fade); the pedal is let go.
    void reset();

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

    struct Voice; // one lane's note

private:
    VoiceEngine();
    void note_on(int32_t key, int32_t velocity);
    void note_off(int32_t key);
    void control(int32_t controller, int32_t value);
    void set_bend(double semitones);
    void release(Voice &v);
    void fade(Voice &v, int32_t frames);
    Voice *take_voice();
    void start_voice(Voice &v, int32_t key, double displacement);
    void apply_step(Voice &v);
    void render(float *left, float *right, uint32_t frames);
    double step_for(int32_t key, double bend_semitones) const;

    Instrument instrument_{};
    EngineSettings settings_;
    int32_t rate_hz_ = 0;
    int32_t max_block_ = 0;
    int32_t axis_ = 0;
    int32_t sampling_node_ = 0, second_node_ = 0, actuation_node_ = 0;
    int32_t root_key_ = 60, lowest_key_ = 0, highest_key_ = 127;
    double gain_ = 0.0;
    double reference_hz_ = 0.0;
    double base_dt_ = 0.0;     // the instrument's own step at this rate
    double damp_ = 1.0;        // its damping factor per step
    double release_damp_ = 1.0;
    double omega_sq_ = 0.0;    // the reference partial's stiffness, for the discretisation
    double offset_a_ = 0.0, release_offset_a_ = 0.0, envelope_c_ = 0.0;
    double rest_threshold_ = 0.0; // envelope ratio at which a released voice is free
    int32_t fade_frames_ = 0;
    int32_t silent_free_frames_ = 0;
    double bend_semitones_ = 0.0;
    bool pedal_ = false;
    uint64_t notes_started_ = 0;

    std::unique_ptr<LaneWiring> wiring_;
    std::vector<std::unique_ptr<LaneBatch>> batches_;
    std::vector<Voice> voices_; // batch b lane l at b * lanes + l
    std::vector<int32_t> batch_active_;
};

} // namespace voice
