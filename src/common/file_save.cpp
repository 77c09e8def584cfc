#include "file_save.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include <glib.h>

namespace {

constexpr mode_t permission_bits = 07777;
// Before the umask and the folder's default ACL, as open() creates a file.
constexpr int new_file_mode = 0666;
// As many links as the kernel follows in one path lookup.
constexpr int max_link_depth = 40;
constexpr size_t copy_block_bytes = 65536;

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

// A descriptor closed on every path. close() is the last place a delayed
// write error shows, so the normal path closes explicitly and checks it.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    //! Closes now; 0 or the error number.
    int close_checked()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// The temporary file of an atomic save: removed unless renamed into place.
class TempFile {
public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile()
    {
        if (!committed_)
            ::unlink(path_.c_str());
    }
    const std::string &path() const { return path_; }
    void commit() { committed_ = true; }

private:
    std::string path_;
    bool committed_ = false;
};

// Returned by save_atomic when the target can only be written in place.
constexpr int atomic_impossible = -2;

// Writes at the descriptor's offset; every target written here is freshly
// opened at offset 0 and written front to back, a pipe included.
int write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// The path a save through `file_name` lands on: symbolic links are followed
// to the file they name, whether it exists yet or not (as open() with
// O_CREAT would). A loop is left as it is; stat() then reports ELOOP.
std::string resolve_links(const char *file_name)
{
    std::string path = file_name;
    for (int depth = 0; depth < max_link_depth; ++depth) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        const GCharPtr target(g_file_read_link(path.c_str(), nullptr));
        if (!target)
            return path;
        if (g_path_is_absolute(target.get())) {
            path = target.get();
        } else {
            const GCharPtr folder(g_path_get_dirname(path.c_str()));
            const GCharPtr joined(g_build_filename(folder.get(), target.get(), nullptr));
            path = joined.get();
        }
    }
    return path;
}

// Makes the replacement carry the old file's owner and group. Owner and group
// are set together where allowed (root, or the owner in the file's group);
// else the group alone (a member of it). False when the result still differs.
bool take_owner_and_group(int fd, const struct stat &old)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    if (st.st_uid == old.st_uid && st.st_gid == old.st_gid)
        return true;
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    return ::fstat(fd, &st) == 0 && st.st_uid == old.st_uid && st.st_gid == old.st_gid;
}

// Flushes the folder entry of a rename; a folder that cannot be opened or
// flushed only weakens durability, the file itself is complete.
void sync_folder(const char *folder)
{
    Fd dir(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        (void)::fsync(dir.get());
}

// A temporary file in the target's folder, written, flushed and renamed over
// the target. `existing` is the target's status, null for a new file.
// atomic_impossible when the folder takes no temporary file or refuses the
// rename, or the old owner and group cannot be kept, with nothing changed.
int save_atomic(const std::string &target, const struct stat *existing,
                const FileContentWriter &write)
{
    const GCharPtr folder(g_path_get_dirname(target.c_str()));
    const GCharPtr pattern(g_build_filename(folder.get(), ".clangwright-XXXXXX", nullptr));
    std::string path = pattern.get();
    Fd out(g_mkstemp_full(path.data(), O_RDWR | O_CLOEXEC, new_file_mode));
    if (out.get() < 0) {
        const int error = errno;
        return existing && (error == EACCES || error == EPERM) ? atomic_impossible : error;
    }
    TempFile temp(path);
    if (existing && !take_owner_and_group(out.get(), *existing))
        return atomic_impossible;

    if (const int r = write(out.get()); r != 0)
        return r;
    // After the content: writing clears the set-user-ID and set-group-ID bits.
    if (existing && ::fchmod(out.get(), existing->st_mode & permission_bits) != 0)
        return errno;
    if (::fsync(out.get()) != 0)
        return errno;
    if (const int r = out.close_checked(); r != 0)
        return r;
    if (::rename(temp.path().c_str(), target.c_str()) != 0) {
        const int error = errno;
        // A sticky folder lets a user create files but not replace another's.
        return existing && (error == EACCES || error == EPERM) ? atomic_impossible : error;
    }
    temp.commit();
    sync_folder(folder.get());
    return 0;
}

// Writes over the file itself, as a plain save does, for targets a rename
// cannot replace. The content is complete in memory before the target is
// opened, so a failing writer leaves it untouched. What this gives up against
// the rename: a disk that fills up during the copy (the new content being
// longer than the old), a crash, or a reader at the same moment can meet a
// mixture of old and new or a short file. The copy, the truncation, the
// flush and the close are all checked, so such a failure is reported, never
// taken for success.
int save_in_place(const std::string &target, bool regular, const FileContentWriter &write)
{
    Fd staging(::memfd_create("clangwright-save", MFD_CLOEXEC));
    if (staging.get() < 0)
        return errno;
    if (const int r = write(staging.get()); r != 0)
        return r;
    struct stat staged {};
    if (::fstat(staging.get(), &staged) != 0)
        return errno;
    const auto size = static_cast<size_t>(staged.st_size);

    // Not truncated first: old blocks are overwritten, so a disk with no room
    // to spare still takes content no longer than the old.
    Fd out(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (out.get() < 0)
        return errno;
    std::unique_ptr<char[]> block(new char[copy_block_bytes]);
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::pread(staging.get(), block.get(),
                                  std::min(copy_block_bytes, size - done),
                                  static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        if (const int r = write_all(out.get(), block.get(), static_cast<size_t>(n)); r != 0)
            return r;
        done += static_cast<size_t>(n);
    }
    if (regular) {
        if (::ftruncate(out.get(), staged.st_size) != 0 || ::fsync(out.get()) != 0)
            return errno;
        struct stat st {};
        if (::fstat(out.get(), &st) != 0)
            return errno;
        if (st.st_size != staged.st_size)
            return EIO;
    }
    return out.close_checked();
}

} // namespace

int file_save(const char *file_name, const FileContentWriter &write)
{
    if (file_name == nullptr || *file_name == '\0')
        return ENOENT;
    const std::string target = resolve_links(file_name);
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return errno;
        return save_atomic(target, nullptr, write);
    }
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (!S_ISREG(st.st_mode))
        return save_in_place(target, false, write);
    // Refused as opening it would be, although a rename in a writable folder
    // could replace it.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        return errno;
    if (st.st_nlink == 1) {
        const int r = save_atomic(target, &st, write);
        if (r != atomic_impossible)
            return r;
    }
    return save_in_place(target, true, write);
}

int file_save_bytes(const char *file_name, std::string_view bytes)
{
    return file_save(file_name, [bytes](int fd) {
        return write_all(fd, bytes.data(), bytes.size());
    });
}
