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
constexpr double follow_cents = 80.0;
// The analysis finds partials from here up to this fraction of the rate.
constexpr double lowest_partial_hz = 20.0;
constexpr double highest_partial_fraction = 0.45;
// A step of the speed moves the partial by at most this many semitones, so
// that it can be found again near where it should be.
constexpr double max_step_log = 4.0 / 12.0 * 0.6931471805599453;
// How strongly a partial may follow the speed, as a power of the speed.
constexpr double min_slope = 0.5, max_slope = 2.0;
// The slope is measured over steps of at least a semitone.
constexpr double min_slope_step_log = 1.0 / 12.0 * 0.6931471805599453;
// A glide smaller than this is not worth a word in the result line.
constexpr double glide_told_cents = 3.0;
// How often the chosen partial may pass to a neighbour a few cents away.
constexpr int max_handovers = 3;
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
    std::vector<double> windowed; // the sound under the window of the peak search
};

// The sound under the window of the peak search: the whole render, before
// it is rounded to 16 bits, so that no quantisation noise hides a partial
// that has decayed.
std::vector<double> windowed_sound(const std::vector<double> &sound, uint64_t n)
{
    std::vector<double> w(n);
    // Hann: its narrow main lobe keeps apart partials a few hertz from each
    // other, as the plates have them.
    const double step = 2.0 * M_PI / static_cast<double>(n);
    for (uint64_t i = 0; i < n; ++i)
        w[i] = (0.5 - 0.5 * std::cos(step * static_cast<double>(i))) * sound[i];
    return w;
}

// The power of the windowed sound at one frequency (Goertzel).
double power_at(const std::vector<double> &x, int32_t rate_hz, double hz)
{
    const double c = 2.0 * std::cos(2.0 * M_PI * hz / rate_hz);
    double s1 = 0.0, s2 = 0.0;
    for (const double v : x) {
        const double s0 = v + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

// The spectral peak nearest to `hz` within `window_cents`, located to a
// small fraction of a cent; none when the window holds no peak.
std::optional<double> peak_near(const std::vector<double> &x, int32_t rate_hz, double hz,
                                double window_cents)
{
    if (x.empty())
        return std::nullopt;
    constexpr double scan_cents = 2.0;
    // Peaks weaker than this against the strongest in the window are
    // leakage, not partials.
    constexpr double weakest_peak = 1e-3;
    const int steps = static_cast<int>(window_cents / scan_cents);
    std::vector<double> power;
    for (int i = -steps - 1; i <= steps + 1; ++i)
        power.push_back(power_at(x, rate_hz, hz * std::exp2(i * scan_cents / 1200.0)));
    const double strongest = *std::max_element(power.begin(), power.end());
    std::optional<int> best;
    for (size_t i = 1; i + 1 < power.size(); ++i) {
        if (power[i] > power[i - 1] && power[i] >= power[i + 1] &&
            power[i] >= weakest_peak * strongest) {
            const int at = static_cast<int>(i) - steps - 1;
            if (!best || std::abs(at) < std::abs(*best))
                best = at;
        }
    }
    if (!best)
        return std::nullopt;
    // Golden-section search between the neighbouring scan points.
    double lo = hz * std::exp2((*best - 1) * scan_cents / 1200.0);
    double hi = hz * std::exp2((*best + 1) * scan_cents / 1200.0);
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
    double pa = power_at(x, rate_hz, a), pb = power_at(x, rate_hz, b);
    for (int i = 0; i < 30; ++i) {
        if (pa > pb) {
            hi = b;
            b = a;
            pb = pa;
            a = hi - g * (hi - lo);
            pa = power_at(x, rate_hz, a);
        } else {
            lo = a;
            a = b;
            pa = pb;
            b = lo + g * (hi - lo);
            pb = power_at(x, rate_hz, b);
        }
    }
    return 0.5 * (lo + hi);
}

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
        if (!t.unstable) {
            t.analysis = analyser_.analyse(pcm_, rate_hz_, a4_hz_);
            t.windowed = windowed_sound(buffer_, n);
        }
        return t;
    }

    int renders = 0;

private:
    Instrument ins_;
public:
    const int32_t rate_hz_;

private:
    double a4_hz_;
    SoundAnalyser &analyser_;
    uint64_t frames_ = 0;
    std::vector<double> buffer_;
    std::vector<int16_t> pcm_;
};

// The listed partial nearest to `hz` within follow_cents.
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

// The listed partial at `hz`.
const Partial *partial_at(const SoundAnalysis &a, double hz)
{
    const Partial *best = nullptr;
    for (const Partial &p : a.partials)
        if (!best || std::abs(p.freq_hz - hz) < std::abs(best->freq_hz - hz))
            best = &p;
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

std::string tuned_text(const TuneOutcome &outcome, const char *hz_format)
{
    const auto printed = [](const char *fmt, auto... args) {
        gchar *text = g_strdup_printf(fmt, args...);
        std::string result(text);
        g_free(text);
        return result;
    };
    const std::string hz = printed(hz_format, outcome.partial_hz);
    const char *note = outcome.note.name.c_str();
    if (std::abs(outcome.glide_cents) < glide_told_cents)
        return printed(_("Tuned: %s Hz, %s %+.1f cents"), hz.c_str(), note, outcome.note.cents);
    const double glide = std::round(std::abs(outcome.glide_cents));
    return printed(outcome.glide_cents > 0
                       ? _("Tuned: %s Hz, settles on %s %+.1f cents; glides from %.0f cents sharp")
                       : _("Tuned: %s Hz, settles on %s %+.1f cents; glides from %.0f cents flat"),
                   hz.c_str(), note, outcome.note.cents, glide);
}

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
    const auto wanders = [&]() {
        return finish(_("The partial wanders and never settles on one pitch; a softer strike "
                        "rings at one pitch."));
    };
    if (const Partial *p = partial_at(trial.analysis, *first); p && !p->steady)
        return wanders();

    double speed = instrument.speed, measured = *first;
    double stable_speed = speed, stable_hz = measured; // the last speed known to render
    std::optional<double> before_speed, before_hz;     // the step before
    double slope = 1.0;
    int handovers = 0;
    for (int round = 0;; ++round) {
        // A partial a few cents from another (a plate's pair, a ring's
        // triple) may hand the place of the lowest or the strongest over to
        // its neighbour as the speed changes. The tuned sound must have the
        // chosen one on the note, as the window lists it: the neighbour takes
        // over.
        if (round > 0 && which.kind != PartialChoice::numbered && handovers < max_handovers) {
            const std::optional<double> now = chosen_partial(trial.analysis, which);
            if (now && std::abs(cents_between(*now, measured)) > tuned_cents &&
                std::abs(cents_between(*now, measured)) < follow_cents) {
                measured = *now;
                ++handovers;
            }
        }
        const double cents = cents_between(measured, target_hz);
        if (std::abs(cents) <= tuned_cents) {
            const Partial *p = partial_at(trial.analysis, measured);
            if (p && !p->steady)
                return wanders();
            out.glide_cents = p ? p->glide_cents : 0.0;
            out.tuned = true;
            out.speed = speed;
            out.partial_hz = measured;
            out.note = nearest_note(measured, a4_hz);
            return finish("");
        }
        if (round >= max_rounds)
            return finish(format(_("%s was not reached within a cent; the partial stays at %s."),
                                 target, nearest_note(measured, a4_hz).name));
        // How the partial follows the speed here: proportionally in the
        // model, less so where the damping, which does not scale with the
        // speed, is strong against the period. The last two steps tell.
        // Steps too small to tell keep the last estimate.
        if (before_speed && std::abs(std::log(speed / *before_speed)) > min_slope_step_log)
            slope = std::clamp(std::log(measured / *before_hz) / std::log(speed / *before_speed),
                               min_slope, max_slope);
        const double step = std::clamp(std::log(target_hz / measured) / slope, -max_step_log,
                                       max_step_log);
        const double next = speed * std::exp(step);
        if (next > instrument_range::speed_max && speed >= instrument_range::speed_max)
            return too_high(measured); // what the fastest speed gives
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
            return too_high(stable_hz * std::pow(lo / stable_speed, slope));
        }
        const double predicted = measured * std::pow(tried / speed, slope);
        // The partial is measured as the analysis lists it, which is what
        // the window shows; one the list leaves out (it keeps the strongest
        // few dozen) is followed to the spectral peak nearest to where it
        // should be.
        std::optional<double> found = partial_near(trial.analysis, predicted);
        if (!found)
            found = peak_near(trial.windowed, rate_hz, predicted, follow_cents);
        if (!found)
            return finish(format(_("%s is out of reach: the partial was lost on the way, last "
                                   "heard at %s."),
                                 target, nearest_note(measured, a4_hz).name));
        before_speed = speed;
        before_hz = measured;
        speed = tried;
        measured = *found;
        stable_speed = speed;
        stable_hz = measured;
    }
}
