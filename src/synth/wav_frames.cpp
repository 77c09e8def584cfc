// WAV files through libaudiofile, with every failure reported: the library's
// close reports success even when the header could not be written, and a full
// disk only shows as a short frame count. So the frames go to the staging file
// of the save routine (file_save.h), which is read back before the routine
// puts it in place of the target.
#include "wav_frames.h"

#include <audiofile.h>
#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

#include "af_error_trap.h"
#include "file_save.h"
#include "intl.h"
#include "render.h"

namespace {

// Frames converted and handed to the library at a time: the buffer for them
// stays small however long the sound is.
constexpr int32_t block_frames = 16384;

// Every RIFF size is 32 bits and the RIFF chunk holds the others, so the sound
// data leaves room below that for the chunks before it (the library writes
// fewer than a hundred bytes of them).
constexpr uint64_t riff_size_max = UINT32_MAX;
constexpr uint64_t header_room_bytes = 4096;

// pcm_from_double's rule at 24 bits: full scale is 2^23 steps, so +1 is
// written as 2^23 - 1 and -1 as -2^23.
constexpr double pcm24_scale = 8388608.0;
constexpr int32_t pcm24_max = 8388607;
constexpr int32_t pcm24_min = -8388608;

struct SampleFormat {
    int library_format; // AF_SAMPFMT_*
    int width_bits;
    uint64_t file_bytes; // one sample in the file
};

// In memory the library takes pcm16 as int16_t, pcm24 as int32_t (the value
// in the low 24 bits, sign-extended) and float32 as float.
SampleFormat sample_format(WavBits bits)
{
    switch (bits) {
    case WavBits::pcm16:
        return {AF_SAMPFMT_TWOSCOMP, 16, 2};
    case WavBits::pcm24:
        return {AF_SAMPFMT_TWOSCOMP, 24, 3};
    case WavBits::float32:
        break;
    }
    return {AF_SAMPFMT_FLOAT, 32, 4};
}

// What the header says.
struct WavLayout {
    int32_t channels;
    int32_t rate;
    WavBits bits;
    int32_t frames;
};

// The samples of frames [first_frame, first_frame + frame_count),
// interleaved, in the library's memory format for the layout's bits; valid
// until the next call.
using BlockSource = std::function<const void *(int64_t first_frame, int32_t frame_count)>;

struct SetupDeleter {
    void operator()(std::remove_pointer_t<AFfilesetup> *setup) const { afFreeFileSetup(setup); }
};
using SetupPtr = std::unique_ptr<std::remove_pointer_t<AFfilesetup>, SetupDeleter>;

struct HandleDeleter {
    void operator()(std::remove_pointer_t<AFfilehandle> *handle) const { afCloseFile(handle); }
};
using HandlePtr = std::unique_ptr<std::remove_pointer_t<AFfilehandle>, HandleDeleter>;

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

int report(const char *file_name, std::string &message, int error_number)
{
    const GCharPtr text(g_strdup_printf(_("Could not write file %s"), file_name));
    message = text.get();
    return error_number != 0 ? error_number : -1;
}

// Opens a duplicate of `fd` through the library, which closes it with the
// handle. Null on failure, with the error number in `*error_number`.
HandlePtr open_duplicate(int fd, const char *mode, AFfilesetup setup, int *error_number)
{
    const int library_fd = ::dup(fd);
    if (library_fd < 0) {
        *error_number = errno;
        return nullptr;
    }
    errno = 0;
    HandlePtr handle(afOpenFD(library_fd, mode, setup));
    if (!handle) {
        *error_number = errno;
        // The library closes the descriptor it was given on most failure
        // paths; close it here only if it is still open.
        if (::fcntl(library_fd, F_GETFD) != -1)
            ::close(library_fd);
    }
    return handle;
}

// Writes the WAV file to `fd` through the library. Returns 0, an error
// number, or -1.
int write_wav_to_fd(int fd, const WavLayout &layout, const BlockSource &block)
{
    AfErrorTrap trap;
    const SetupPtr setup(afNewFileSetup());
    if (!setup)
        return -1;
    const SampleFormat format = sample_format(layout.bits);
    afInitFileFormat(setup.get(), AF_FILE_WAVE);
    afInitSampleFormat(setup.get(), AF_DEFAULT_TRACK, format.library_format, format.width_bits);
    afInitByteOrder(setup.get(), AF_DEFAULT_TRACK, AF_BYTEORDER_LITTLEENDIAN);
    afInitChannels(setup.get(), AF_DEFAULT_TRACK, layout.channels);
    afInitRate(setup.get(), AF_DEFAULT_TRACK, static_cast<double>(layout.rate));
    if (trap.failed)
        return trap.result();

    int open_errno = 0;
    HandlePtr handle = open_duplicate(fd, "w", setup.get(), &open_errno);
    if (!handle)
        return trap.result(open_errno);
    bool complete = true;
    int write_errno = 0;
    for (int64_t first = 0; complete && first < layout.frames; first += block_frames) {
        const auto count =
            static_cast<int32_t>(std::min<int64_t>(block_frames, layout.frames - first));
        const void *samples = block(first, count);
        errno = 0;
        complete = afWriteFrames(handle.get(), AF_DEFAULT_TRACK, samples, count) == count;
        write_errno = errno;
    }
    const int closed = afCloseFile(handle.release());
    if (!complete || closed != 0 || trap.failed)
        return trap.result(write_errno);
    return 0;
}

// A short write carries no error number: the library only sees fewer bytes
// written than asked for, as on a disk that fills up in the middle of the
// frames. Writing on at the end of the file shows why (ENOSPC, EFBIG, EDQUOT).
// Only on the staging file, which is thrown away after a failure.
int probe_write_error(int fd)
{
    constexpr size_t probe_bytes = 65536;
    constexpr int probe_writes = 16;
    static const char zeros[probe_bytes] = {};
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0)
        return errno;
    for (int i = 0; i < probe_writes; ++i) {
        const ssize_t n = ::pwrite(fd, zeros, probe_bytes, end);
        if (n < 0)
            return errno;
        end += n;
    }
    return -1;
}

// Reads the written file back: a header the library could not finish writing
// would otherwise go unnoticed.
int verify_wav(int fd, const WavLayout &layout)
{
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return errno;
    AfErrorTrap trap;
    int open_errno = 0;
    const HandlePtr handle = open_duplicate(fd, "r", AF_NULL_FILESETUP, &open_errno);
    if (!handle)
        return trap.result(open_errno);
    const SampleFormat expected = sample_format(layout.bits);
    int format = 0, width = 0;
    afGetSampleFormat(handle.get(), AF_DEFAULT_TRACK, &format, &width);
    const bool complete =
        afGetFrameCount(handle.get(), AF_DEFAULT_TRACK) == layout.frames &&
        afGetChannels(handle.get(), AF_DEFAULT_TRACK) == layout.channels &&
        afGetRate(handle.get(), AF_DEFAULT_TRACK) == static_cast<double>(layout.rate) &&
        format == expected.library_format && width == expected.width_bits;
    return complete && !trap.failed ? 0 : trap.result();
}

// The whole file into the staging file of the save routine: frames through
// the library, then the file read back.
int write_verified_wav(int fd, const WavLayout &layout, const BlockSource &block)
{
    if (const int r = write_wav_to_fd(fd, layout, block); r != 0)
        return r == -1 ? probe_write_error(fd) : r;
    return verify_wav(fd, layout);
}

// The layout of `samples` values as `channels` and `bits` make a file of
// them; nullopt when no file can hold them.
std::optional<WavLayout> layout_for(size_t samples, int32_t channels, int32_t rate, WavBits bits)
{
    const uint64_t max = wav_frames_max(channels, bits);
    if (max == 0 || samples % static_cast<size_t>(channels) != 0 ||
        samples / static_cast<size_t>(channels) > max)
        return std::nullopt;
    return WavLayout{channels, rate, bits,
                     static_cast<int32_t>(samples / static_cast<size_t>(channels))};
}

int save_layout(const char *file_name, const std::optional<WavLayout> &layout,
                const BlockSource &block, std::string &message)
{
    if (!layout)
        return report(file_name, message, -1);
    const int result = file_save(file_name, [&layout, &block](int fd) {
        return write_verified_wav(fd, *layout, block);
    });
    return result == 0 ? 0 : report(file_name, message, result);
}

int32_t pcm24_from_double(double x)
{
    if (std::isnan(x))
        return 0;
    if (x >= 1.0)
        return pcm24_max;
    if (x <= -1.0)
        return pcm24_min;
    // Through x + 1, then truncated, as pcm_from_double converts: the same
    // rule at both widths.
    const double v = std::trunc((x + 1.0) * pcm24_scale - pcm24_scale);
    return v >= pcm24_scale ? pcm24_max : static_cast<int32_t>(v);
}

// NaN included: neither integer format can hold it.
bool beyond_full_scale(double x)
{
    return !(x >= -1.0 && x <= 1.0);
}

template <typename Sample, typename Convert>
const void *convert(std::span<const double> in, std::vector<Sample> &out, Convert to_sample)
{
    out.resize(in.size());
    std::transform(in.begin(), in.end(), out.begin(), to_sample);
    return out.data();
}

} // namespace

std::optional<WavBits> wav_bits_from_text(std::string_view text)
{
    if (text == "16")
        return WavBits::pcm16;
    if (text == "24")
        return WavBits::pcm24;
    if (text == "32f")
        return WavBits::float32;
    return std::nullopt;
}

uint64_t wav_frames_max(int32_t channels, WavBits bits)
{
    if (channels != 1 && channels != 2)
        return 0;
    const uint64_t frame_bytes = static_cast<uint64_t>(channels) * sample_format(bits).file_bytes;
    // Frame counts are int32_t here, as in the library's calls.
    return std::min<uint64_t>((riff_size_max - header_room_bytes) / frame_bytes, INT32_MAX);
}

int save_wav_frames(const char *file_name, std::span<const double> frames, int32_t channels,
                    int32_t rate, WavBits bits, uint64_t *clipped, std::string &message)
{
    std::vector<int16_t> pcm16;
    std::vector<int32_t> pcm24;
    std::vector<float> float32;
    uint64_t clamped = 0;
    const BlockSource block = [&](int64_t first_frame, int32_t frame_count) -> const void * {
        const auto in = frames.subspan(static_cast<size_t>(first_frame * channels),
                                       static_cast<size_t>(frame_count) * channels);
        // Each pass over the frames counts them from the start.
        if (first_frame == 0)
            clamped = 0;
        // Rounded to nearest as IEEE 754 converts, beyond float's range to
        // an infinity.
        if (bits == WavBits::float32)
            return convert(in, float32, [](double x) { return static_cast<float>(x); });
        clamped += static_cast<uint64_t>(std::count_if(in.begin(), in.end(), beyond_full_scale));
        if (bits == WavBits::pcm16)
            return convert(in, pcm16, pcm_from_double);
        return convert(in, pcm24, pcm24_from_double);
    };
    const int result =
        save_layout(file_name, layout_for(frames.size(), channels, rate, bits), block, message);
    if (clipped)
        *clipped = clamped;
    return result;
}

int save_wav_pcm16(const char *file_name, std::span<const int16_t> frames, int32_t channels,
                   int32_t rate, std::string &message)
{
    const BlockSource block = [frames, channels](int64_t first_frame, int32_t) -> const void * {
        return frames.data() + first_frame * channels;
    };
    return save_layout(file_name, layout_for(frames.size(), channels, rate, WavBits::pcm16), block,
                       message);
}
