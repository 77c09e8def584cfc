// Reading a sound to analyse from a WAV file, through libaudiofile.
#include "sound_file.h"

#include <audiofile.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <type_traits>

#include "af_error_trap.h"
#include "intl.h"

namespace {

constexpr int analysed_width_bits = 16;
constexpr AFframecount read_block_frames = 4096;

struct HandleDeleter {
    void operator()(std::remove_pointer_t<AFfilehandle> *handle) const { afCloseFile(handle); }
};
using HandlePtr = std::unique_ptr<std::remove_pointer_t<AFfilehandle>, HandleDeleter>;

// Closes a descriptor unless it was handed over.
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

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

std::nullopt_t refuse(std::string &error, const std::string &file_name, const char *problem)
{
    const GCharPtr text(g_strdup_printf("%s: %s", file_name.c_str(), problem));
    error = text.get();
    return std::nullopt;
}

std::nullopt_t refuse_width(std::string &error, const std::string &file_name, int width)
{
    const GCharPtr problem(
        g_strdup_printf(_("%d-bit samples; only 16-bit WAV files can be analysed"), width));
    return refuse(error, file_name, problem.get());
}

} // namespace

std::optional<SoundFile> read_sound_file(const std::string &file_name, std::string &error)
{
    // Opened here rather than by the library, so that a missing or unreadable
    // file is named with the system's reason.
    Descriptor file(::open(file_name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        return refuse(error, file_name, g_strerror(errno));
    struct stat st {};
    if (::fstat(file.fd, &st) == 0 && S_ISDIR(st.st_mode))
        return refuse(error, file_name, g_strerror(EISDIR));

    AfErrorTrap trap;
    // The library closes the descriptor it is given, with the handle or on
    // most of its failure paths: it gets a duplicate, closed here when it was
    // left open.
    const int library_fd = ::dup(file.fd);
    if (library_fd < 0)
        return refuse(error, file_name, g_strerror(errno));
    const HandlePtr handle(afOpenFD(library_fd, "r", AF_NULL_FILESETUP));
    if (!handle && ::fcntl(library_fd, F_GETFD) != -1)
        ::close(library_fd);
    int version = 0;
    if (!handle || afGetFileFormat(handle.get(), &version) != AF_FILE_WAVE)
        return refuse(error, file_name, _("not a WAV file"));

    int format = 0, width = 0;
    afGetSampleFormat(handle.get(), AF_DEFAULT_TRACK, &format, &width);
    if (format == AF_SAMPFMT_FLOAT || format == AF_SAMPFMT_DOUBLE)
        return refuse(error, file_name,
                      _("floating-point samples; only 16-bit WAV files can be analysed"));
    if (width != analysed_width_bits)
        return refuse_width(error, file_name, width);

    const double rate = afGetRate(handle.get(), AF_DEFAULT_TRACK);
    const int channels = afGetChannels(handle.get(), AF_DEFAULT_TRACK);
    if (!(rate >= 1.0 && rate <= G_MAXINT32) || channels < 1)
        return refuse(error, file_name, _("not a WAV file"));

    // 16-bit signed frames in this machine's byte order, whatever the file's.
    afSetVirtualSampleFormat(handle.get(), AF_DEFAULT_TRACK, AF_SAMPFMT_TWOSCOMP,
                             analysed_width_bits);
    afSetVirtualByteOrder(handle.get(), AF_DEFAULT_TRACK,
                          G_BYTE_ORDER == G_LITTLE_ENDIAN ? AF_BYTEORDER_LITTLEENDIAN
                                                          : AF_BYTEORDER_BIGENDIAN);
    SoundFile sound;
    sound.rate_hz = static_cast<int32_t>(std::lround(rate));
    std::vector<int16_t> block(static_cast<size_t>(read_block_frames) * channels);
    for (;;) {
        const AFframecount got =
            afReadFrames(handle.get(), AF_DEFAULT_TRACK, block.data(), read_block_frames);
        if (got <= 0)
            break;
        for (AFframecount i = 0; i < got; ++i)
            sound.frames.push_back(block[static_cast<size_t>(i) * channels]);
    }
    if (sound.frames.empty())
        return refuse(error, file_name, _("the file holds no sound"));
    if (std::all_of(sound.frames.begin(), sound.frames.end(), [](int16_t f) { return f == 0; }))
        return refuse(error, file_name, _("the sound is silent"));
    return sound;
}
