// Reading a score from a Standard MIDI File through libsmf 1.3.
//
// libsmf trusts the file it is given. On a damaged one it stops the program
// with an assertion (a track without an end, a 0xF7 event, running status
// after a system-exclusive event, more than 2^31 ticks), reads past its
// buffers (a file shorter than its header, a chunk longer than the file, a
// tempo change shorter than three bytes), writes into a track it has freed
// (one it could not load), misreads a meta event longer than 127 bytes (it
// takes one byte of the length for the whole length), or keeps what it could
// read of a damaged track with a warning only. So every chunk and event is
// walked here first, and libsmf loads only a file the walk accepted: it then
// decodes the events and times them with the tempo map.
#include "midi_score.h"

#include <fcntl.h>
#include <glib.h>
#include <smf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "intl.h"
#include "smf_log_trap.h"

namespace {

constexpr size_t header_chunk_bytes = 14; // "MThd", its length (6), format, tracks, division
constexpr uint32_t header_data_bytes = 6;
constexpr size_t chunk_header_bytes = 8; // the chunk's kind and its length
constexpr int max_quantity_bytes = 4;    // of a delta time or a length; libsmf reads no more
constexpr uint16_t smpte_division = 0x8000;
constexpr uint64_t max_ticks = 0x7FFFFFFF; // libsmf counts a track's ticks in an int
constexpr int max_channel = 16;
constexpr size_t read_block_bytes = 64 * 1024;
constexpr const char *too_large = N_("the file is larger than 16 MiB");

constexpr uint8_t status_bit = 0x80;
constexpr uint8_t sysex_event = 0xF0, escape_event = 0xF7, meta_event = 0xFF;
constexpr uint8_t end_of_track = 0x2F, tempo_change = 0x51, time_signature = 0x58;
constexpr uint32_t tempo_bytes = 3, time_signature_bytes = 4;
// libsmf turns the denominator's power of two into an int.
constexpr uint8_t max_denominator_power = 30;
constexpr uint8_t note_off = 0x80, note_on = 0x90, control_change = 0xB0, pitch_bend = 0xE0;
// A note on of velocity 0 is a note off of this velocity, as MIDI has it.
constexpr uint8_t release_velocity = 64;

// libsmf times each event by searching its tempo map backwards from the last
// change. In a format 1 file the tracks after the first load after the whole
// map, so an event visits every change at or after its own tick: a file
// needing more visits than this is refused. A visit takes 2.5 to 3 ns on a
// current x86-64 core: the search stays within about three seconds.
constexpr uint64_t max_tempo_map_visits = 1'000'000'000;

// smf_delete() takes each event out of its track by searching the track
// from its first event: quadratic in a track's events, minutes for a million
// of them. The deleter frees the events first, as libsmf 1.3 allocates them
// (malloc, the message too), and leaves the tracks empty for smf_delete().
struct SmfDeleter {
    void operator()(smf_t *smf) const
    {
        for (int number = 1; number <= smf->number_of_tracks; ++number) {
            smf_track_t *track = smf_get_track_by_number(smf, number);
            for (guint i = 0; i < track->events_array->len; ++i) {
                auto *event = static_cast<smf_event_t *>(g_ptr_array_index(track->events_array, i));
                std::free(event->midi_buffer);
                std::free(event);
            }
            g_ptr_array_set_size(track->events_array, 0);
            track->number_of_events = 0;
        }
        smf_delete(smf);
    }
};
using SmfPtr = std::unique_ptr<smf_t, SmfDeleter>;

// Closes a descriptor.
struct Descriptor {
    int fd;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

std::nullopt_t refuse(std::string &error, std::string problem)
{
    error = std::move(problem);
    return std::nullopt;
}

uint32_t read_be32(std::span<const uint8_t> bytes, size_t at)
{
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

uint16_t read_be16(std::span<const uint8_t> bytes, size_t at)
{
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

enum class Quantity { read, cut_short, too_long };

// Reads the variable-length quantity at `at`, moving `at` past it.
Quantity read_quantity(std::span<const uint8_t> data, size_t &at, uint32_t &value)
{
    value = 0;
    for (int i = 0; i < max_quantity_bytes; ++i) {
        if (at >= data.size())
            return Quantity::cut_short;
        const uint8_t byte = data[at++];
        value = value << 7 | (byte & 0x7F);
        if (!(byte & status_bit))
            return Quantity::read;
    }
    return Quantity::too_long;
}

// Overwrites `event`, from its status byte to its last byte, with a
// system-exclusive event of the same size, which libsmf reads correctly and
// the score drops: how the events it would misread are kept from it. The
// length takes four bytes (the most libsmf reads, leading zeros allowed)
// unless the event is shorter than five.
void blank_event(std::span<uint8_t> event)
{
    std::fill(event.begin(), event.end(), uint8_t{0});
    event[0] = sysex_event;
    if (event.size() < 5) {
        event[1] = static_cast<uint8_t>(event.size() - 2); // a status byte and a length at least
        return;
    }
    const auto length = static_cast<uint32_t>(event.size() - 5); // < 2^24: the file has <= 16 MiB
    event[1] = static_cast<uint8_t>(status_bit | (length >> 21 & 0x7F));
    event[2] = static_cast<uint8_t>(status_bit | (length >> 14 & 0x7F));
    event[3] = static_cast<uint8_t>(status_bit | (length >> 7 & 0x7F));
    event[4] = static_cast<uint8_t>(length & 0x7F);
}

// What the walk through the file has learnt so far.
struct Walk {
    uint16_t format = 0;
    size_t events = 0;
    std::vector<uint32_t> tempo_map_ticks; // of the first track's tempo and time signature changes
    uint64_t tempo_map_visits = 0;
};

// A translated text with its values, as printf formats them.
__attribute__((format(printf, 1, 2))) std::string say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gchar *text = g_strdup_vprintf(format, args);
    va_end(args);
    std::string out = text;
    g_free(text);
    return out;
}

// Walks the track `number` (1 for the first) whose events are `data`, part
// of the copy libsmf will load, and blanks there the events libsmf would
// misread. Returns what is wrong, or nothing.
std::string walk_track(std::span<uint8_t> data, int number, Walk &walk)
{
    const std::string cut_short = say(_("track %d is cut short"), number);
    const bool later_track = walk.format == 1 && number > 1;
    size_t at = 0, next_change = 0;
    uint64_t ticks = 0;
    uint8_t running_status = 0; // 0: a data byte cannot start an event
    for (;;) {
        if (at == data.size())
            return say(_("track %d ends without an end-of-track event"), number);
        uint32_t delta = 0;
        const Quantity delta_read = read_quantity(data, at, delta);
        if (delta_read == Quantity::too_long)
            return say(_("track %d has a delta time longer than four bytes"), number);
        if (delta_read == Quantity::cut_short || at == data.size())
            return cut_short;
        ticks += delta;
        if (ticks > max_ticks)
            return say(_("track %d lasts more than 2147483647 ticks"), number);
        if (++walk.events > midi_score_max_events)
            return say(_("the file holds more than %lu events"),
                       static_cast<unsigned long>(midi_score_max_events));
        if (later_track) {
            const std::vector<uint32_t> &changes = walk.tempo_map_ticks;
            while (next_change < changes.size() && changes[next_change] < ticks)
                ++next_change;
            walk.tempo_map_visits += 1 + (changes.size() - next_change);
        }

        const size_t event_start = at;
        uint8_t status = data[at];
        if (status & status_bit)
            ++at;
        else if (running_status != 0)
            status = running_status;
        else
            return say(_("track %d has a data byte where an event should start"), number);

        if (status < sysex_event) {
            // A channel message: program change and channel pressure have
            // one data byte, the others two.
            const size_t data_bytes = (status & 0xE0) == 0xC0 ? 1 : 2;
            if (data.size() - at < data_bytes)
                return cut_short;
            for (size_t i = 0; i < data_bytes; ++i)
                if (data[at + i] & status_bit)
                    return say(_("track %d has a status byte where a data byte belongs"), number);
            at += data_bytes;
            running_status = status;
            continue;
        }
        if (status != sysex_event && status != escape_event && status != meta_event) {
            return say(_("track %d has an unknown status byte 0x%02X"), number, status);
        }
        // System-exclusive and meta events end running status.
        running_status = 0;
        uint8_t meta_type = 0;
        if (status == meta_event) {
            if (at == data.size())
                return cut_short;
            meta_type = data[at++];
        }
        const size_t length_start = at;
        uint32_t length = 0;
        const Quantity length_read = read_quantity(data, at, length);
        if (length_read == Quantity::too_long)
            return say(_("track %d has an event length longer than four bytes"), number);
        if (length_read == Quantity::cut_short || length > data.size() - at)
            return cut_short;
        const bool one_length_byte = at - length_start == 1;
        const std::span<const uint8_t> body = data.subspan(at, length);
        at += length;

        if (status == meta_event && meta_type == end_of_track) {
            if (length != 0 || !one_length_byte)
                return say(_("track %d has a damaged end-of-track event"), number);
            return {};
        }
        if (status == meta_event && (meta_type == tempo_change || meta_type == time_signature)) {
            if (meta_type == tempo_change &&
                !(one_length_byte && length == tempo_bytes && (body[0] | body[1] | body[2]) != 0))
                return say(_("track %d has a damaged tempo change"), number);
            if (meta_type == time_signature &&
                !(one_length_byte && length == time_signature_bytes &&
                  body[1] <= max_denominator_power))
                return say(_("track %d has a damaged time signature"), number);
            // libsmf rebuilds its whole tempo map for each change that comes
            // before the end of the tracks already loaded.
            if (later_track)
                return say(_("track %d has a tempo or time signature change; a format 1 file keeps "
                                     "them in its first track"),
                                   number);
            walk.tempo_map_ticks.push_back(static_cast<uint32_t>(ticks));
            continue;
        }
        if (status == escape_event || (status == meta_event && !one_length_byte))
            blank_event(data.subspan(event_start, at - event_start));
    }
}

// Walks the whole file in `copy`, the bytes libsmf will load, and blanks
// there the events libsmf would misread. Returns what is wrong, or nothing.
std::string walk_file(std::span<uint8_t> copy, Walk &walk)
{
    static constexpr uint8_t header_kind[] = {'M', 'T', 'h', 'd'};
    static constexpr uint8_t track_kind[] = {'M', 'T', 'r', 'k'};
    if (copy.empty())
        return _("the file is empty");
    if (copy.size() < sizeof header_kind || !std::equal(header_kind, header_kind + 4, copy.begin()))
        return _("not a MIDI file");
    if (copy.size() < header_chunk_bytes || read_be32(copy, 4) != header_data_bytes)
        return _("the MIDI header is damaged");
    walk.format = read_be16(copy, 8);
    const int tracks = read_be16(copy, 10);
    const uint16_t division = read_be16(copy, 12);
    if (walk.format == 2)
        return _("format 2 MIDI files (independent sequences) are not supported");
    if (walk.format > 2)
        return say(_("the MIDI header names an unknown format, %d"), walk.format);
    if (tracks == 0)
        return _("the file holds no track");
    if (walk.format == 0 && tracks != 1)
        return say(_("a format 0 MIDI file holds one track, this one declares %d"), tracks);
    // Frames per second and ticks per frame: libsmf refuses to time them.
    if (division & smpte_division)
        return _("SMPTE time division is not supported, only ticks per quarter note");
    if (division == 0)
        return _("the time division is zero ticks per quarter note");

    size_t at = header_chunk_bytes;
    for (int number = 1; number <= tracks; ++number) {
        if (copy.size() - at < chunk_header_bytes)
            return say(_("the file ends before track %d"), number);
        if (!std::equal(track_kind, track_kind + 4, copy.begin() + static_cast<ptrdiff_t>(at)))
            return say(_("the file holds another kind of chunk where track %d should be"), number);
        const uint32_t length = read_be32(copy, at + 4);
        at += chunk_header_bytes;
        if (length > copy.size() - at)
            return say(_("track %d is cut short"), number);
        std::string problem = walk_track(copy.subspan(at, length), number, walk);
        if (!problem.empty())
            return problem;
        at += length;
    }
    if (walk.tempo_map_visits > max_tempo_map_visits)
        return _("the score has too many tempo changes for this many events");
    return {};
}

// The event of the score `event` is, if the score keeps it.
std::optional<ScoreEvent> score_event(const smf_event_t &event, int channel)
{
    const uint8_t status = event.midi_buffer[0];
    const uint8_t kind = status & 0xF0;
    if (kind != note_off && kind != note_on && kind != control_change && kind != pitch_bend)
        return std::nullopt;
    if (event.midi_buffer_length != 3 || (channel != 0 && (status & 0x0F) != channel - 1))
        return std::nullopt;
    ScoreEvent kept{event.time_seconds, status, event.midi_buffer[1], event.midi_buffer[2]};
    if (kind == note_on && kept.data2 == 0) {
        kept.status = static_cast<uint8_t>(note_off | (status & 0x0F));
        kept.data2 = release_velocity;
    }
    return kept;
}

} // namespace

std::optional<MidiScore> parse_midi_score(std::span<const uint8_t> bytes, int channel,
                                          std::string &error)
{
    if (channel < 0 || channel > max_channel)
        return refuse(error, _("the channel must be 0 (every channel) or 1 to 16"));
    if (bytes.size() > midi_score_max_file_bytes)
        return refuse(error, _(too_large));
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    Walk walk;
    if (std::string problem = walk_file(copy, walk); !problem.empty())
        return refuse(error, std::move(problem));

    // The trap outlives the score, whose deletion might complain too.
    const SmfLogTrap trap;
    const SmfPtr smf(smf_load_from_memory(copy.data(), static_cast<int>(copy.size())));
    if (trap.caught())
        return refuse(error, say(_("the MIDI library refused it: %s"), trap.first_message().c_str()));
    if (!smf)
        return refuse(error, _("the MIDI library could not read it"));

    // Each track's events in order, then a stable sort by tick: events at
    // the same tick stay track by track, as they come in their track. (The
    // library's own merge looks at every track for every event.)
    struct Timed {
        int ticks;
        ScoreEvent event;
    };
    std::vector<Timed> kept;
    MidiScore score;
    size_t loaded = 0;
    for (int number = 1; number <= smf->number_of_tracks; ++number) {
        smf_track_t *track = smf_get_track_by_number(smf.get(), number);
        loaded += static_cast<size_t>(track->number_of_events);
        for (int i = 1; i <= track->number_of_events; ++i) {
            const smf_event_t *event = smf_track_get_event_by_number(track, i);
            if (!std::isfinite(event->time_seconds))
                return refuse(error, _("a time in the score is not finite"));
            score.length_s = std::max(score.length_s, event->time_seconds);
            if (const std::optional<ScoreEvent> e = score_event(*event, channel))
                kept.push_back({event->time_pulses, *e});
        }
    }
    // The walk and libsmf must agree on the events: otherwise libsmf misread
    // the file without a word.
    if (loaded != walk.events)
        return refuse(error, say(_("the MIDI library read %lu events where the file holds %lu"),
                                 static_cast<unsigned long>(loaded),
                                 static_cast<unsigned long>(walk.events)));
    if (score.length_s > midi_score_max_length_s)
        return refuse(error, _("the score lasts longer than one hour"));
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Timed &a, const Timed &b) { return a.ticks < b.ticks; });
    score.events.reserve(kept.size());
    for (const Timed &t : kept)
        score.events.push_back(t.event);
    return score;
}

std::optional<MidiScore> read_midi_score(const std::string &path, int channel, std::string &error)
{
    // Opened here rather than by the library, so that a missing or unreadable
    // file is named with the system's reason, and a large one is refused
    // before it is read.
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        return refuse(error, say(_("the file cannot be read: %s"), g_strerror(errno)));
    struct stat st {};
    if (::fstat(file.fd, &st) != 0)
        return refuse(error, say(_("the file cannot be read: %s"), g_strerror(errno)));
    if (S_ISDIR(st.st_mode))
        return refuse(error, say(_("the file cannot be read: %s"), g_strerror(EISDIR)));
    if (S_ISREG(st.st_mode) && static_cast<uintmax_t>(st.st_size) > midi_score_max_file_bytes)
        return refuse(error, _(too_large));

    // Read to its end, whatever its size said: a pipe has none.
    std::vector<uint8_t> bytes;
    for (;;) {
        const size_t had = bytes.size();
        bytes.resize(had + read_block_bytes);
        const ssize_t got = ::read(file.fd, bytes.data() + had, read_block_bytes);
        const int read_error = errno;
        bytes.resize(had + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got < 0 && read_error == EINTR)
            continue;
        if (got < 0)
            return refuse(error, say(_("the file cannot be read: %s"), g_strerror(read_error)));
        if (got == 0)
            break;
        if (bytes.size() > midi_score_max_file_bytes)
            return refuse(error, _(too_large));
    }
    return parse_midi_score(bytes, channel, error);
}
