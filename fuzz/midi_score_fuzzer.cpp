// Reads arbitrary bytes as a MIDI file. A score must be in time order, of
// the kept kinds of message only, within its length and the hour; one
// channel's score must be the whole score's events of that channel. A file
// is refused with a reason, and never by libsmf itself: libsmf is not built
// with the sanitizers, so its complaint is the only sign that the walk before
// it let through a file it misreads.
#include <cmath>
#include <cstdint>
#include <string>

#include <glib.h>

#include "midi_score.h"

namespace {

constexpr int channels = 16;

bool same(const ScoreEvent &a, const ScoreEvent &b)
{
    return a.time_s == b.time_s && a.status == b.status && a.data1 == b.data1 && a.data2 == b.data2;
}

bool kept_kind(uint8_t status)
{
    const int kind = status & 0xF0;
    return kind == 0x80 || kind == 0x90 || kind == 0xB0 || kind == 0xE0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // As under G_DEBUG=fatal-warnings: a warning that escapes is a finding.
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL |
                                                       G_LOG_LEVEL_WARNING));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    std::string error;
    const std::optional<MidiScore> score = parse_midi_score(bytes, 0, error);
    if (!score) {
        if (error.empty() || error.starts_with("the MIDI library"))
            __builtin_trap();
        return 0;
    }
    if (!std::isfinite(score->length_s) || score->length_s < 0.0 ||
        score->length_s > midi_score_max_length_s)
        __builtin_trap();
    double previous_s = 0.0;
    for (const ScoreEvent &e : score->events) {
        if (!(e.time_s >= previous_s && e.time_s <= score->length_s) || !kept_kind(e.status) ||
            e.data1 > 127 || e.data2 > 127 || ((e.status & 0xF0) == 0x90 && e.data2 == 0))
            __builtin_trap();
        previous_s = e.time_s;
    }

    const int channel = 1 + static_cast<int>(size % channels);
    const std::optional<MidiScore> one = parse_midi_score(bytes, channel, error);
    if (!one || one->length_s != score->length_s)
        __builtin_trap();
    size_t next = 0;
    for (const ScoreEvent &e : score->events) {
        if ((e.status & 0x0F) != channel - 1)
            continue;
        if (next == one->events.size() || !same(one->events[next], e))
            __builtin_trap();
        ++next;
    }
    if (next != one->events.size())
        __builtin_trap();
    return 0;
}
