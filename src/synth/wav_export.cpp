// WAV export through libaudiofile, with every failure reported: the library's
// close reports success even when the header could not be written, and a full
// disk only shows as a short frame count. So the frames go to a temporary file
// next to the target, the result is flushed and read back, and only then is it
// renamed over the target.
#include "wav_export.h"

#include <audiofile.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <type_traits>

#include "intl.h"
#include "render.h"

namespace {

constexpr int wav_sample_width_bits = 16;
constexpr int wav_channels = 1;
constexpr mode_t new_file_mode = 0666; // before the umask, as open() would create it
constexpr mode_t permission_bits = 07777;

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

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// A file descriptor closed on every path; close() reports the last chance of
// a delayed write error, so the normal path closes explicitly and checks it.
struct FdOwner {
    int fd = -1;
    explicit FdOwner(int f) : fd(f) {}
    FdOwner(const FdOwner &) = delete;
    FdOwner &operator=(const FdOwner &) = delete;
    ~FdOwner()
    {
        if (fd >= 0)
            ::close(fd);
    }
    //! Closes now; returns 0 or the error number.
    int close_checked()
    {
        const int f = fd;
        fd = -1;
        return ::close(f) == 0 ? 0 : errno;
    }
};

// The temporary file: removed unless it was renamed into place.
struct TempFile {
    std::string path;
    bool committed = false;
    TempFile() = default;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile()
    {
        if (!committed && !path.empty())
            ::unlink(path.c_str());
    }
};

// libaudiofile reports its errors through one global handler whose default
// prints to stderr. While a trap is armed the first error and the system error
// number at that moment are recorded instead; the old handler comes back when
// the trap goes out of scope.
struct AfErrorTrap {
    bool failed = false;
    int error_number = 0;
    AFerrfunc previous;

    AfErrorTrap() : previous(afSetErrorHandler(&record)) { active = this; }
    AfErrorTrap(const AfErrorTrap &) = delete;
    AfErrorTrap &operator=(const AfErrorTrap &) = delete;
    ~AfErrorTrap()
    {
        active = nullptr;
        afSetErrorHandler(previous);
    }

    //! The error number to report: the one seen with the first library error,
    //! else `fallback`, else -1 (no error number known).
    int result(int fallback = 0) const
    {
        if (error_number != 0)
            return error_number;
        return fallback != 0 ? fallback : -1;
    }

    static inline AfErrorTrap *active = nullptr;
    static void record(long, const char *)
    {
        const int saved = errno;
        if (active && !active->failed) {
            active->failed = true;
            active->error_number = saved;
        }
    }
};

int report(const char *file_name, std::string &message, int error_number)
{
    const GCharPtr text(g_strdup_printf(_("Could not write file %s"), file_name));
    message = text.get();
    return error_number != 0 ? error_number : -1;
}

mode_t current_umask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
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
// Only for the temporary file, which is removed afterwards.
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
int verify_wav(const std::string &path, int32_t rate, int32_t frames)
{
    AfErrorTrap trap;
    const HandlePtr handle(afOpenFile(path.c_str(), "r", AF_NULL_FILESETUP));
    if (!handle)
        return trap.result(errno);
    int format = 0, width = 0;
    afGetSampleFormat(handle.get(), AF_DEFAULT_TRACK, &format, &width);
    const bool complete = afGetFrameCount(handle.get(), AF_DEFAULT_TRACK) == frames &&
                          afGetChannels(handle.get(), AF_DEFAULT_TRACK) == wav_channels &&
                          afGetRate(handle.get(), AF_DEFAULT_TRACK) == static_cast<double>(rate) &&
                          format == AF_SAMPFMT_TWOSCOMP && width == wav_sample_width_bits;
    return complete && !trap.failed ? 0 : trap.result();
}

// A device or a pipe cannot be replaced by a rename: write to it directly.
int save_to_special_file(const char *file_name, int32_t rate, int32_t frames)
{
    FdOwner out(::open(file_name, O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (out.fd < 0)
        return errno;
    const int written = write_wav_to_fd(out.fd, rate, frames);
    const int closed = out.close_checked();
    return written != 0 ? written : closed;
}

int save_to_regular_file(const char *file_name, const struct stat *existing, int32_t rate,
                         int32_t frames)
{
    // A file the user may not write stays refused, as opening it would be,
    // although the rename could replace it.
    if (existing && ::access(file_name, W_OK) != 0)
        return errno;
    // Through a symbolic link the file it names is replaced, not the link.
    std::string target = file_name;
    if (existing) {
        const std::unique_ptr<char, FreeDeleter> resolved(realpath(file_name, nullptr));
        if (resolved)
            target = resolved.get();
    }
    const GCharPtr folder(g_path_get_dirname(target.c_str()));
    const GCharPtr pattern(g_build_filename(folder.get(), ".clangwright-XXXXXX", nullptr));

    TempFile temp;
    std::string path = pattern.get();
    FdOwner out(::mkostemp(path.data(), O_CLOEXEC));
    if (out.fd < 0)
        return errno;
    temp.path = path;

    // The file keeps the permissions it had; a new one gets what open() gives.
    const mode_t mode = existing ? (existing->st_mode & permission_bits)
                                 : (new_file_mode & ~current_umask());
    if (::fchmod(out.fd, mode) != 0)
        return errno;

    if (const int r = write_wav_to_fd(out.fd, rate, frames); r != 0)
        return r == -1 ? probe_write_error(out.fd) : r;
    if (::fsync(out.fd) != 0)
        return errno;
    if (const int r = out.close_checked(); r != 0)
        return r;
    if (const int r = verify_wav(temp.path, rate, frames); r != 0)
        return r;
    if (::rename(temp.path.c_str(), target.c_str()) != 0)
        return errno;
    temp.committed = true;
    return 0;
}

} // namespace

int save_wav(Instrument *, const char *file_name, std::string &message, int32_t rate)
{
    if (!samples)
        return 0;
    // do_render keeps sample_count within a 32-bit signed frame count.
    const auto frames = static_cast<int32_t>(sample_count);

    struct stat st {};
    const bool exists = ::stat(file_name, &st) == 0;
    int result;
    if (exists && S_ISDIR(st.st_mode))
        result = EISDIR;
    else if (exists && !S_ISREG(st.st_mode))
        result = save_to_special_file(file_name, rate, frames);
    else
        result = save_to_regular_file(file_name, exists ? &st : nullptr, rate, frames);
    return result == 0 ? 0 : report(file_name, message, result);
}
