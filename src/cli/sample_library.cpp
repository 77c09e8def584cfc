// The layout of a sample library, its SFZ text, and the rendering of one
// sample through the voice engine.
#include "sample_library.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "intl.h"
#include "render.h"
#include "sound_analysis.h"
#include "voice_engine.h"

namespace {

constexpr int32_t max_velocity = 127;
constexpr int32_t max_key = 127;
constexpr int32_t a4_key = 69;
constexpr uint32_t block_frames = 4096;
constexpr uint8_t status_note_on = 0x90;
// A sample ends where it has rung down this far below its peak.
constexpr double cut_db = -90.0;
// The retuning: good enough within this, at most this many renders.
constexpr double tuned_within_cents = 1.0 / 3.0;
constexpr int max_renders = 4;
// The key's partial is looked for this far around its pitch.
constexpr double search_cents = 30.0;
// A partial tuned by has no other this near, within this level of it:
// two close partials beat, and where they settle depends on the key.
constexpr double alone_cents = 60.0;
constexpr double alone_db = 20.0;

double cents(double f, double reference)
{
    return 1200.0 * std::log2(f / reference);
}

double key_hz(int32_t key, double a4_hz)
{
    return a4_hz * std::exp2((key - a4_key) / 12.0);
}

// How the engine plays a library sample: one voice, no bend, tuned.
voice::EngineSettings sample_settings(int32_t root_key, double tuning_cents)
{
    voice::EngineSettings s;
    s.polyphony = 1;
    s.bend_range = 0.0;
    s.root_key = root_key;
    s.tuning_cents = tuning_cents;
    return s;
}

// The analysis of the left channel, scaled to full scale.
SoundAnalysis analyse_left(const std::vector<double> &frames, int32_t rate_hz, double a4_hz)
{
    const size_t n = frames.size() / 2;
    double peak = 0.0;
    for (size_t i = 0; i < n; ++i)
        peak = std::max(peak, std::fabs(frames[2 * i]));
    std::vector<int16_t> pcm(n);
    if (peak > 0.0)
        for (size_t i = 0; i < n; ++i)
            pcm[i] = pcm_from_double(frames[2 * i] / peak);
    SoundAnalyser analyser;
    return analyser.analyse(pcm, rate_hz, a4_hz);
}

// The settled frequency of the partial nearest `want_hz` within the search
// window; 0 when there is none.
double settled_partial(const SoundAnalysis &a, double want_hz)
{
    double best = 0.0;
    for (const Partial &p : a.partials) {
        const double off = std::fabs(cents(p.freq_hz, want_hz));
        if (off <= search_cents && (best == 0.0 || off < std::fabs(cents(best, want_hz))))
            best = p.freq_hz;
    }
    return best;
}

// True when no partial as loud lies close to `p`.
bool alone(const SoundAnalysis &a, const Partial &p)
{
    for (const Partial &q : a.partials)
        if (&q != &p && std::fabs(cents(q.freq_hz, p.freq_hz)) < alone_cents &&
            q.body_db > p.body_db - alone_db)
            return false;
    return true;
}

// One strike of `key` at `velocity`, rung down to the cut or `max_s`, by an
// engine playing `instrument` with `root_key` (-1: the engine's own) and
// `tuning_cents`. The engine's root and reach are left in `played`.
bool play_note(const Instrument &instrument, int32_t rate_hz, int32_t root_key,
               double tuning_cents, int32_t key, int32_t velocity, double max_s,
               std::vector<double> &frames, TakeTuning *played, std::string &error,
               const std::atomic<bool> *cancel)
{
    auto engine = voice::VoiceEngine::prepare(instrument, rate_hz,
                                              sample_settings(root_key, tuning_cents),
                                              static_cast<int32_t>(block_frames), error, cancel);
    if (!engine)
        return false;
    if (played) {
        played->root_key = engine->root_key();
        played->lowest_key = engine->lowest_key();
        played->highest_key = engine->highest_key();
    }
    if (key < 0)
        key = engine->root_key();
    if (key < engine->lowest_key() || key > engine->highest_key()) {
        gchar *text = g_strdup_printf(_("The instrument cannot play key %d (%s)."), key,
                                      key_name(key).c_str());
        error = text;
        g_free(text);
        return false;
    }
    const auto max_frames = static_cast<uint64_t>(std::llround(max_s * rate_hz));
    std::vector<float> left(block_frames), right(block_frames);
    frames.clear();
    double peak = 0.0;
    const double cut = std::pow(10.0, cut_db / 20.0);
    for (uint64_t at = 0; at < max_frames; at += block_frames) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            error = "The rendering was cancelled.";
            return false;
        }
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(block_frames, max_frames - at));
        const voice::VoiceEvent strike{0, status_note_on, static_cast<uint8_t>(key),
                                       static_cast<uint8_t>(velocity)};
        engine->process(at == 0 ? std::span<const voice::VoiceEvent>(&strike, 1)
                                : std::span<const voice::VoiceEvent>(),
                        left.data(), right.data(), n);
        double block_peak = 0.0;
        for (uint32_t i = 0; i < n; ++i) {
            frames.push_back(left[i]);
            frames.push_back(right[i]);
            block_peak = std::max({block_peak, std::fabs(static_cast<double>(left[i])),
                                   std::fabs(static_cast<double>(right[i]))});
        }
        peak = std::max(peak, block_peak);
        if (at > 0 && (engine->active_voices() == 0 || block_peak < peak * cut))
            break;
    }
    // The cut: after the last frame still within 90 dB of the peak.
    size_t keep = frames.size() / 2;
    while (keep > 0 && std::max(std::fabs(frames[2 * keep - 2]), std::fabs(frames[2 * keep - 1])) <
                           peak * cut)
        --keep;
    frames.resize(2 * keep);
    return true;
}

} // namespace

std::vector<int32_t> sampled_keys(const LibraryLayout &l)
{
    std::vector<int32_t> keys;
    for (int32_t k = l.low_key; k <= l.high_key; k += std::max(l.every, 1))
        keys.push_back(k);
    if (keys.back() != l.high_key)
        keys.push_back(l.high_key);
    return keys;
}

std::vector<LibrarySample> library_samples(const LibraryLayout &l)
{
    const std::vector<int32_t> keys = sampled_keys(l);
    std::vector<LibrarySample> out;
    for (size_t i = 0; i < keys.size(); ++i) {
        // Half way to each neighbour; the lower one takes the middle key of
        // an even gap.
        const int32_t lokey = i == 0 ? l.low_key : keys[i - 1] + (keys[i] - keys[i - 1]) / 2 + 1;
        const int32_t hikey = i + 1 == keys.size() ? l.high_key
                                                   : keys[i] + (keys[i + 1] - keys[i]) / 2;
        int32_t lovel = 1;
        for (int32_t layer = 1; layer <= l.velocities; ++layer) {
            const int32_t hivel = (max_velocity * layer + l.velocities / 2) / l.velocities;
            for (int32_t take = 1; take <= l.takes; ++take)
                out.push_back({keys[i], lokey, hikey, layer, hivel, lovel, hivel, take});
            lovel = hivel + 1;
        }
    }
    return out;
}

std::string library_file_name(const std::string &name)
{
    std::string out;
    for (char c : name)
        out += g_ascii_isalnum(c) || c == '-' || c == '_' || c == '.' ? c : '_';
    return out.empty() || out.front() == '.' ? "clangwright" + out : out;
}

std::string sample_file_name(const std::string &name, const LibrarySample &s)
{
    char tail[48];
    std::snprintf(tail, sizeof tail, "_%03d_v%03d_r%d.wav", static_cast<int>(s.key),
                  static_cast<int>(s.velocity), static_cast<int>(s.take));
    return library_file_name(name) + tail;
}

std::string key_name(int32_t key)
{
    static constexpr const char *names[] = {"C",  "C#", "D",  "D#", "E",  "F",
                                            "F#", "G",  "G#", "A",  "A#", "B"};
    return std::string(names[key % 12]) + std::to_string(key / 12 - 1);
}

std::string sfz_text(const std::vector<std::string> &header, const std::string &name,
                     const std::vector<LibrarySample> &samples, int32_t takes,
                     double velocity_curve)
{
    std::string text;
    for (const std::string &line : header)
        text += "// " + line + "\n";
    text += "\n<control>\n\n<global>\nloop_mode=one_shot amp_veltrack=100\n";
    int32_t key = -1;
    for (const LibrarySample &s : samples) {
        if (s.key != key) {
            text += "\n// " + key_name(s.key) + "\n";
            key = s.key;
        }
        char line[512];
        // The amplitude within the layer: the engine's curve from its lowest
        // velocity to its highest, which is the sample as rendered.
        const double soft = std::pow(static_cast<double>(s.lovel) / s.hivel, velocity_curve);
        char gain[G_ASCII_DTOSTR_BUF_SIZE];
        g_ascii_formatd(gain, sizeof gain, "%.6f", soft);
        std::snprintf(line, sizeof line,
                      "<region> sample=samples/%s lokey=%d hikey=%d pitch_keycenter=%d "
                      "lovel=%d hivel=%d amp_velcurve_%d=%s amp_velcurve_%d=1",
                      sample_file_name(name, s).c_str(), s.lokey, s.hikey, s.key, s.lovel,
                      s.hivel, s.lovel, gain, s.hivel);
        text += line;
        if (takes > 1)
            text += " seq_length=" + std::to_string(takes) +
                    " seq_position=" + std::to_string(s.take);
        text += " loop_mode=one_shot\n";
    }
    return text;
}

bool tune_take(const Instrument &instrument, int32_t rate_hz, double a4_hz, double max_s,
               std::optional<double> tuned_near_hz, TakeTuning &take, std::string &error,
               const std::atomic<bool> *cancel)
{
    take.instrument = instrument;
    take.instrument.progress = nullptr;
    take.instrument.decay_stop = 0;
    // The instrument's own note (its root key, untuned, at full velocity) as
    // the engine plays it: the partials a sample's key moves.
    std::vector<double> own;
    if (!play_note(take.instrument, rate_hz, -1, 0.0, -1, max_velocity, max_s, own, &take, error,
                   cancel))
        return false;
    const SoundAnalysis a = analyse_left(own, rate_hz, a4_hz);
    const double near_hz = tuned_near_hz ? *tuned_near_hz : a.lowest_hz.value_or(0.0);
    take.tuned_hz = 0.0;
    for (int pass = 0; pass < 2 && take.tuned_hz == 0.0 && near_hz > 0.0; ++pass)
        for (const Partial &p : a.partials) {
            if (pass == 0 && !alone(a, p))
                continue;
            if (take.tuned_hz == 0.0 || std::fabs(cents(p.freq_hz, near_hz)) <
                                            std::fabs(cents(take.tuned_hz, near_hz)))
                take.tuned_hz = p.freq_hz;
        }
    if (take.tuned_hz <= 0.0) {
        error = _("The sound has no partial to tune its keys by.");
        return false;
    }
    // A root key plays the instrument as it is: the key the tuned partial is
    // nearest to becomes the root, with the cents that move it onto that
    // key's pitch.
    const double key = a4_key + 12.0 * std::log2(take.tuned_hz / a4_hz);
    take.root_key = std::clamp(static_cast<int32_t>(std::lround(key)), 0, max_key);
    take.tuning_cents = std::clamp((take.root_key - key) * 100.0, -50.0, 50.0);
    auto tuned = voice::VoiceEngine::prepare(
        take.instrument, rate_hz, sample_settings(take.root_key, take.tuning_cents),
        static_cast<int32_t>(block_frames), error, cancel);
    if (!tuned)
        return false;
    take.lowest_key = tuned->lowest_key();
    take.highest_key = tuned->highest_key();
    return true;
}

bool render_library_sample(const TakeTuning &take, const LibrarySample &sample, int32_t rate_hz,
                           double max_s, double a4_hz, RenderedSample &out, std::string &error,
                           const std::atomic<bool> *cancel)
{
    const double want = key_hz(sample.key, a4_hz);
    double tuning = take.tuning_cents;
    out = {};
    RenderedSample render;
    for (int n = 1; n <= max_renders; ++n) {
        if (!play_note(take.instrument, rate_hz, take.root_key, tuning, sample.key,
                       sample.velocity, max_s, render.frames, nullptr, error, cancel))
            return false;
        const double hz = settled_partial(analyse_left(render.frames, rate_hz, a4_hz), want);
        render.measured = hz > 0.0;
        render.cents_off = render.measured ? cents(hz, want) : 0.0;
        const double off = render.cents_off;
        // The best render is kept: the first, or the one nearest its key.
        if (n == 1 || (render.measured &&
                       (!out.measured || std::fabs(off) < std::fabs(out.cents_off))))
            std::swap(out, render);
        if (!out.measured || std::fabs(out.cents_off) <= tuned_within_cents || hz == 0.0)
            return true;
        const double next = std::clamp(tuning - off, -100.0, 100.0);
        if (next == tuning)
            return true;
        tuning = next;
    }
    return true;
}
