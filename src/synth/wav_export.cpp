// WAV export through libaudiofile, with every failure reported: the library's
// close reports success even when the header could not be written, and a full
// disk only shows as a short frame count. So the frames go to the staging file
// of the save routine (file_save.h), which is read back before the routine
// puts it in place of the target.
#include "wav_export.h"

#include <audiofile.h>
#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <type_traits>

#include "af_error_trap.h"
#include "file_save.h"
#include "intl.h"
#include "render.h"

namespace {

constexpr int wav_sample_width_bits = 16;
constexpr int wav_channels = 1;

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

// Writes the WAV file to `fd` through the library (which gets and closes a
// duplicate of it). Returns 0, an error number, or -1.
int write_wav_to_fd(int fd, int32_t rate, int32_t frames)
{
    AfErrorTrap trap;
    const SetupPtr setup(afNewFileSetup());
    if (!setup)
        return -1;
    afInitFileFormat(setup.get(), AF_FILE_WAVE);
    afInitSampleFormat(setup.get(), AF_DEFAULT_TRACK, AF_SAMPFMT_TWOSCOMP, wav_sample_width_bits);
    afInitByteOrder(setup.get(), AF_DEFAULT_TRACK, AF_BYTEORDER_LITTLEENDIAN);
    afInitChannels(setup.get(), AF_DEFAULT_TRACK, wav_channels);
    afInitRate(setup.get(), AF_DEFAULT_TRACK, static_cast<double>(rate));
    if (trap.failed)
        return trap.result();

    const int library_fd = ::dup(fd);
    if (library_fd < 0)
        return errno;
    errno = 0;
    HandlePtr handle(afOpenFD(library_fd, "w", setup.get()));
    if (!handle) {
        const int open_errno = errno;
        // The library closes the descriptor it was given on most failure
        // paths; close it here only if it is still open.
        if (::fcntl(library_fd, F_GETFD) != -1)
            ::close(library_fd);
        return trap.result(open_errno);
    }
    errno = 0;
    const AFframecount written = afWriteFrames(handle.get(), AF_DEFAULT_TRACK, samples, frames);
    const int write_errno = errno;
    const int closed = afCloseFile(handle.release());
    if (written != frames || closed != 0 || trap.failed)
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
int verify_wav(int fd, int32_t rate, int32_t frames)
{
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return errno;
    const int library_fd = ::dup(fd);
    if (library_fd < 0)
        return errno;
    AfErrorTrap trap;
    const HandlePtr handle(afOpenFD(library_fd, "r", AF_NULL_FILESETUP));
    if (!handle) {
        const int open_errno = errno;
        if (::fcntl(library_fd, F_GETFD) != -1)
            ::close(library_fd);
        return trap.result(open_errno);
    }
    int format = 0, width = 0;
    afGetSampleFormat(handle.get(), AF_DEFAULT_TRACK, &format, &width);
    const bool complete = afGetFrameCount(handle.get(), AF_DEFAULT_TRACK) == frames &&
                          afGetChannels(handle.get(), AF_DEFAULT_TRACK) == wav_channels &&
                          afGetRate(handle.get(), AF_DEFAULT_TRACK) == static_cast<double>(rate) &&
                          format == AF_SAMPFMT_TWOSCOMP && width == wav_sample_width_bits;
    return complete && !trap.failed ? 0 : trap.result();
}

// The whole export into the staging file of the save routine: frames through
// the library, then the file read back.
int write_verified_wav(int fd, int32_t rate, int32_t frames)
{
    if (const int r = write_wav_to_fd(fd, rate, frames); r != 0)
        return r == -1 ? probe_write_error(fd) : r;
    return verify_wav(fd, rate, frames);
}

} // namespace

int save_wav(Instrument *, const char *file_name, std::string &message, int32_t rate)
{
    if (!samples)
        return 0;
    // do_render keeps sample_count within a 32-bit signed frame count.
    const auto frames = static_cast<int32_t>(sample_count);
    const int result = file_save(file_name, [rate, frames](int fd) {
        return write_verified_wav(fd, rate, frames);
    });
    return result == 0 ? 0 : report(file_name, message, result);
}
