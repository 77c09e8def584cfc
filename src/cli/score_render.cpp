// --midi: a score played by the voice engine into a stereo WAV file.
#include "score_render.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "intl.h"
#include "midi_score.h"
#include "tune.h"
#include "wav_frames.h"

namespace {

constexpr const char *program_name = "clangwright-render";
constexpr int exit_failure = 1;
// Frames the engine renders at a time.
constexpr uint32_t block_frames = 4096;
// Without --length, a score rings out for this long at the most.
constexpr double default_ring_out_s = 60.0;
// --normalise puts the score's peak here.
constexpr double normalised_peak_dbfs = -1.0;
constexpr uint8_t status_control = 0xb0;
constexpr uint8_t cc_sustain = 64, cc_all_notes_off = 123;

void print_error(const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", program_name, text.c_str());
}

// The key of a note name such as "C6", at A4 = `a4_hz`.
std::optional<int32_t> key_of(const std::string &note, double a4_hz)
{
    const std::optional<double> hz = parse_note_hz(note, a4_hz);
    if (!hz)
        return std::nullopt;
    const auto key = static_cast<int32_t>(std::lround(69.0 + 12.0 * std::log2(*hz / a4_hz)));
    if (key < 0 || key > 127)
        return std::nullopt;
    return key;
}

// The note a tuned library preset's name ends in: "bells/chime-C6.cwrp".
std::optional<int32_t> preset_root(const std::string &preset, double a4_hz)
{
    std::string name = preset.substr(preset.find_last_of('/') + 1);
    if (name.size() > 5 && name.ends_with(".cwrp"))
        name.resize(name.size() - 5);
    const size_t dash = name.find_last_of('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const std::string note = name.substr(dash + 1);
    if (note.find("Hz") != std::string::npos)
        return std::nullopt;
    return key_of(note, a4_hz);
}

} // namespace

voice::EngineSettings score_engine_settings(const RenderOptions &o)
{
    voice::EngineSettings s;
    if (o.polyphony)
        s.polyphony = *o.polyphony;
    if (o.release_s)
        s.release_s = *o.release_s;
    if (o.bend_range)
        s.bend_range = *o.bend_range;
    if (!o.root_note.empty())
        s.root_key = key_of(o.root_note, o.a4_hz).value_or(-1);
    else if (!o.preset_file.empty())
        s.root_key = preset_root(o.preset_file, o.a4_hz).value_or(-1);
    return s;
}

std::vector<double> play_score(const MidiScore &score, voice::VoiceEngine &engine,
                               uint64_t ring_out_frames)
{
    const double rate = engine.rate_hz();
    const auto score_frames = static_cast<uint64_t>(std::llround(score.length_s * rate));
    std::vector<std::pair<uint64_t, voice::VoiceEvent>> events;
    for (const ScoreEvent &e : score.events)
        events.push_back({static_cast<uint64_t>(std::llround(e.time_s * rate)),
                          {0, e.status, e.data1, e.data2}});
    // The score's end lets go of every key and the pedal.
    events.push_back({score_frames, {0, status_control, cc_all_notes_off, 0}});
    events.push_back({score_frames, {0, status_control, cc_sustain, 0}});
    std::stable_sort(events.begin(), events.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    const uint64_t last = score_frames + ring_out_frames;
    std::vector<double> out;
    std::vector<float> left(block_frames), right(block_frames);
    std::vector<voice::VoiceEvent> block_events;
    size_t next = 0;
    for (uint64_t at = 0; at < last; at += block_frames) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(block_frames, last - at));
        block_events.clear();
        while (next < events.size() && events[next].first < at + n) {
            voice::VoiceEvent e = events[next].second;
            e.frame = static_cast<uint32_t>(events[next].first - at);
            block_events.push_back(e);
            ++next;
        }
        engine.process(block_events, left.data(), right.data(), n);
        for (uint32_t i = 0; i < n; ++i) {
            out.push_back(left[i]);
            out.push_back(right[i]);
        }
        if (at + n >= score_frames && next == events.size() && engine.active_voices() == 0)
            break;
    }
    // The last block's silence after the ring-out is not part of the sound.
    size_t frames = out.size() / 2;
    while (frames > score_frames && out[2 * frames - 2] == 0.0 && out[2 * frames - 1] == 0.0)
        --frames;
    out.resize(2 * frames);
    return out;
}

int render_score(const RenderOptions &options, const Instrument &instrument)
{
    const char *file = options.midi_file.c_str();
    std::string error;
    const std::optional<MidiScore> score =
        read_midi_score(options.midi_file, options.midi_channel, error);
    if (!score) {
        print_error(std::string(file) + ": " + error);
        return exit_failure;
    }
    const voice::EngineSettings settings = score_engine_settings(options);
    auto engine = voice::VoiceEngine::prepare(instrument, options.rate_hz, settings,
                                              static_cast<int32_t>(block_frames), error);
    if (!engine) {
        print_error(error);
        return exit_failure;
    }
    const double ring_out_s = options.length_given ? options.length_s : default_ring_out_s;
    std::vector<double> frames =
        play_score(*score, *engine, static_cast<uint64_t>(std::llround(ring_out_s * options.rate_hz)));
    if (frames.empty()) {
        print_error(_("nothing was rendered; no file written"));
        return exit_failure;
    }
    double peak = 0.0;
    for (double x : frames)
        peak = std::max(peak, std::fabs(x));
    if (options.normalise && peak > 0.0) {
        const double scale = std::pow(10.0, normalised_peak_dbfs / 20.0) / peak;
        for (double &x : frames)
            x *= scale;
        peak *= scale;
    }
    const WavBits bits = options.bits.value_or(WavBits::pcm24);
    uint64_t clipped = 0;
    std::string message;
    const int r = save_wav_frames(options.output_file.c_str(), frames, 2, options.rate_hz, bits,
                                  &clipped, message);
    if (r != 0) {
        print_error(r == -1 ? message : message + ": " + g_strerror(r));
        return exit_failure;
    }
    if (clipped > 0) {
        char text[160];
        std::snprintf(text, sizeof text, _("%llu samples clipped; use --normalise or --bits 32f"),
                      static_cast<unsigned long long>(clipped));
        std::fprintf(stderr, "%s: %s %s\n", program_name, _("warning:"), text);
    }
    if (!options.quiet) {
        std::printf(_("Score: %.1f s, root key %d, keys %d to %d, peak %.1f dBFS"),
                    static_cast<double>(frames.size() / 2) / options.rate_hz, engine->root_key(),
                    engine->lowest_key(), engine->highest_key(),
                    peak > 0.0 ? 20.0 * std::log10(peak) : -HUGE_VAL);
        std::putchar('\n');
    }
    return 0;
}
