#include "tune.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "intl.h"
#include "render.h"

namespace {

// Within this of the note the tuning is done.
constexpr double tuned_cents = 1.0;
// The partial is looked for this close to where the speed should put it.
constexpr double follow_cents = 100.0;
// The analysis finds partials from here up to this fraction of the rate.
constexpr double lowest_partial_hz = 20.0;
constexpr double highest_partial_fraction = 0.45;
// Bisections for the highest speed that still renders stable.
constexpr int stability_steps = 6;

double cents_between(double f, double reference)
{
    return 1200.0 * std::log2(f / reference);
}

std::string format(const char *fmt, const std::string &a, const std::string &b)
{
    gchar *text = g_strdup_printf(fmt, a.c_str(), b.c_str());
    std::string result(text);
    g_free(text);
    return result;
}

// The equal-tempered note at or below `hz` (at or above, when `up`).
std::string note_within(double hz, double a4_hz, bool up)
{
    const double semitones = 12.0 * std::log2(hz / a4_hz);
    const double k = up ? std::ceil(semitones - 1e-9) : std::floor(semitones + 1e-9);
    return nearest_note(a4_hz * std::exp2(k / 12.0), a4_hz).name;
}

// The target as the user knows it: its note when it is one, else Hz.
std::string target_name(double hz, double a4_hz)
{
    const NearestNote n = nearest_note(hz, a4_hz);
    if (std::abs(n.cents) < 0.01)
        return n.name;
    char text[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(text, sizeof text, "%.1f", hz);
    return std::string(text) + " Hz";
}

struct Trial {
    bool rendered = false; // frames came out
    bool unstable = false;
    bool stopped = false;
    SoundAnalysis analysis;
};

class Renderer {
public:
    Renderer(const Instrument &ins, double sample_length, int32_t rate_hz, double a4_hz,
             SoundAnalyser &analyser, ProgressFn progress)
        : ins_(ins), rate_hz_(rate_hz), a4_hz_(a4_hz), analyser_(analyser)
    {
        ins_.progress = progress;
        const double wanted = static_cast<double>(rate_hz) * sample_length;
        frames_ = wanted > 0.0 && wanted < static_cast<double>(INT32_MAX)
                      ? static_cast<uint64_t>(static_cast<int32_t>(wanted))
                      : 0;
    }

    Trial render(double speed)
    {
        ++renders;
        Trial t;
        ins_.speed = speed;
        ins_.stop = 0;
        buffer_.assign(frames_, 0.0);
        const double decay =
            ins_.decay_stop ? static_cast<double>(static_cast<float>(ins_.decay_level)) : 0.0;
        // The progress sees the instrument being rendered: a Stop sets its flag.
        const uint64_t n =
            cw_metal_obj_render(&ins_, rate_hz_, frames_, buffer_.data(), &ins_, decay);
        t.stopped = ins_.stop != 0;
        if (n == 0)
            return t;
        t.rendered = true;
        pcm_.resize(n);
        for (uint64_t i = 0; i < n; ++i) {
            if (!std::isfinite(buffer_[i]))
                t.unstable = true;
            pcm_[i] = pcm_from_double(buffer_[i]);
        }
        if (!t.unstable)
            t.analysis = analyser_.analyse(pcm_, rate_hz_, a4_hz_);
        return t;
    }

    int renders = 0;

private:
    Instrument ins_;
    int32_t rate_hz_;
    double a4_hz_;
    SoundAnalyser &analyser_;
    uint64_t frames_ = 0;
    std::vector<double> buffer_;
    std::vector<int16_t> pcm_;
};

// The partial closest to `hz`, within follow_cents; none otherwise.
std::optional<double> partial_near(const SoundAnalysis &a, double hz)
{
    std::optional<double> best;
    for (const Partial &p : a.partials) {
        const double d = std::abs(cents_between(p.freq_hz, hz));
        if (d <= follow_cents && (!best || d < std::abs(cents_between(*best, hz))))
            best = p.freq_hz;
    }
    return best;
}

std::optional<double> chosen_partial(const SoundAnalysis &a, PartialChoice which)
{
    switch (which.kind) {
    case PartialChoice::lowest:
        return a.lowest_hz;
    case PartialChoice::strongest:
        return a.strongest_hz;
    default:
        if (which.number >= 1 && static_cast<size_t>(which.number) <= a.partials.size())
            return a.partials[static_cast<size_t>(which.number - 1)].freq_hz;
        return std::nullopt;
    }
}

} // namespace

std::optional<PartialChoice> parse_partial_choice(const std::string &text)
{
    if (text == "lowest")
        return PartialChoice{PartialChoice::lowest, 0};
    if (text == "strongest")
        return PartialChoice{PartialChoice::strongest, 0};
    guint64 n = 0;
    if (g_ascii_string_to_unsigned(text.c_str(), 10, 1, 32, &n, nullptr))
        return PartialChoice{PartialChoice::numbered, static_cast<int>(n)};
    return std::nullopt;
}

std::optional<double> parse_note_hz(const std::string &raw, double a4_hz)
{
    std::string text(raw);
    // A frequency: a number and "Hz".
    if (text.size() > 2 && g_ascii_strcasecmp(text.c_str() + text.size() - 2, "hz") == 0) {
        std::string number = text.substr(0, text.size() - 2);
        while (!number.empty() && number.back() == ' ')
            number.pop_back();
        char *end = nullptr;
        const double hz = g_ascii_strtod(number.c_str(), &end);
        if (number.empty() || *end != '\0' || !std::isfinite(hz) || hz <= 0.0)
            return std::nullopt;
        return hz;
    }
    // A note: letter, an optional sharp or flat, the octave.
    static constexpr int letter_semitones[] = {9, 11, 0, 2, 4, 5, 7}; // A B C D E F G from C
    if (text.empty())
        return std::nullopt;
    const char letter = g_ascii_toupper(text[0]);
    if (letter < 'A' || letter > 'G')
        return std::nullopt;
    int semitone = letter_semitones[letter - 'A'];
    size_t pos = 1;
    if (pos < text.size() && text[pos] == '#') {
        ++semitone;
        ++pos;
    } else if (pos < text.size() && text[pos] == 'b') {
        --semitone;
        ++pos;
    }
    gint64 octave = 0;
    if (pos >= text.size() ||
        !g_ascii_string_to_signed(text.c_str() + pos, 10, -1, 10, &octave, nullptr))
        return std::nullopt;
    // Semitones from A4: C4 lies 9 below it.
    const double from_a4 = static_cast<double>((octave - 4) * 12 + semitone - 9);
    return a4_hz * std::exp2(from_a4 / 12.0);
}

TuneOutcome tune_speed(const Instrument &instrument, double sample_length, int32_t rate_hz,
                       double target_hz, PartialChoice which, double a4_hz,
                       SoundAnalyser &analyser, ProgressFn progress, int max_rounds)
{
    TuneOutcome out;
    out.speed = instrument.speed;
    const std::string target = target_name(target_hz, a4_hz);
    const double highest_hz = highest_partial_fraction * rate_hz;
    Renderer renderer(instrument, sample_length, rate_hz, a4_hz, analyser, progress);
    const auto finish = [&](std::string message) {
        out.renders = renderer.renders;
        out.message = std::move(message);
        return out;
    };
    const auto too_high = [&](double reach_hz) {
        return finish(format(_("%s is out of reach: the highest note this partial reaches is %s."),
                             target, note_within(std::min(reach_hz, highest_hz), a4_hz, false)));
    };
    const auto too_low = [&]() {
        return finish(format(_("%s is out of reach: the lowest note this partial reaches is %s."),
                             target, note_within(lowest_partial_hz, a4_hz, true)));
    };

    if (target_hz < lowest_partial_hz)
        return too_low();
    if (instrument.speed <= 0.0)
        return finish(_("The sound has no partial to tune."));
    Trial trial = renderer.render(instrument.speed);
    if (trial.stopped)
        return finish(_("Tuning was stopped."));
    if (trial.unstable)
        return finish(_("The sound is unstable at this speed: lower the speed first."));
    const std::optional<double> first = chosen_partial(trial.analysis, which);
    if (!first) {
        if (which.kind == PartialChoice::numbered && !trial.analysis.partials.empty()) {
            gchar *text = g_strdup_printf(_("The sound has only %d partials."),
                                          static_cast<int>(trial.analysis.partials.size()));
            std::string message(text);
            g_free(text);
            return finish(message);
        }
        return finish(_("The sound has no partial to tune."));
    }
    if (target_hz > highest_hz)
        return too_high(highest_hz);

    double speed = instrument.speed, measured = *first;
    double stable_speed = speed, stable_hz = measured; // the last speed known to render
    for (int round = 0;; ++round) {
        const double cents = cents_between(measured, target_hz);
        if (std::abs(cents) <= tuned_cents) {
            out.tuned = true;
            out.speed = speed;
            out.partial_hz = measured;
            out.note = nearest_note(measured, a4_hz);
            return finish("");
        }
        if (round >= max_rounds)
            return finish(format(_("%s was not reached within a cent; the partial stays at %s."),
                                 target, nearest_note(measured, a4_hz).name));
        const double next = speed * target_hz / measured;
        const double tried = std::min(next, instrument_range::speed_max);
        trial = renderer.render(tried);
        if (trial.stopped)
            return finish(_("Tuning was stopped."));
        if (trial.unstable) {
            // The highest speed that still renders stable.
            double lo = stable_speed, hi = tried;
            for (int i = 0; i < stability_steps; ++i) {
                const double mid = 0.5 * (lo + hi);
                const Trial t = renderer.render(mid);
                if (t.stopped)
                    return finish(_("Tuning was stopped."));
                (t.unstable ? hi : lo) = mid;
            }
            return too_high(stable_hz * lo / stable_speed);
        }
        if (next > tried) {
            // Faster than the speed allows: what the fastest speed gives.
            const double top_hz = stable_hz * tried / stable_speed;
            const std::optional<double> top = partial_near(trial.analysis, top_hz);
            return too_high(top ? *top : top_hz);
        }
        const std::optional<double> found = partial_near(trial.analysis, target_hz);
        if (!found)
            return finish(format(_("%s is out of reach: the partial was lost on the way, last "
                                   "heard at %s."),
                                 target, nearest_note(measured, a4_hz).name));
        speed = next;
        measured = *found;
        stable_speed = speed;
        stable_hz = measured;
    }
}
