// Saving files as a user meets it, for WAV export, presets and the
// configuration alike. Cases about permissions run in a child process as an
// unprivileged user: as root, the child drops to nobody (uid and gid 65534);
// otherwise it already is one.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "default_preset_document.h"
#include "presets.h"
#include "render.h"
#include "settings_test_support.h"
#include "wav_export.h"
#include "xml_property_store.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody_id = 65534;
constexpr int32_t wav_rate_hz = 8000;
constexpr int child_cannot_drop = 77;
constexpr int child_failed = -1000; // no error number or save result is this

//! One kind of file the program saves for the user.
struct Kind {
    const char *name;
    bool has_message; // a file action; the configuration is saved at shutdown, silently
    int (*save)(const std::string &path, std::string &message); // 0 or an error number
};

const Kind kinds[] = {
    {"wav", true,
     [](const std::string &path, std::string &message) {
         return save_wav(nullptr, path.c_str(), message, wav_rate_hz);
     }},
    {"preset", true,
     [](const std::string &path, std::string &message) {
         Instrument ins = instrument_defaults();
         return save_pres(&ins, path.c_str(), message);
     }},
    {"config", false,
     [](const std::string &path, std::string &) {
         XmlpDocHandle doc = xmlp_new_doc(path.c_str(), "cwrconfig", "0.1.0");
         xmlp_set_int(*doc, "settings/", "rate", 48000);
         xmlp_set_string(*doc, "paths/", "sample_path", "/home/user/sounds/");
         int error = 0;
         xmlp_sync(*doc, &error);
         return error;
     }},
};

//! What a save in a child process came to.
struct Outcome {
    int result = 0;
    std::string message;
};

//! Runs `save` in a child process, as nobody when `drop` and the test runs as
//! root, and brings back its result and message. `limit_bytes` > 0 limits the
//! size of files the child may write (a full disk, with SIGXFSZ ignored).
//! std::nullopt when the child could not become nobody; a result of
//! child_failed when the child did not report.
std::optional<Outcome> in_child(bool drop, const std::function<Outcome()> &save,
                                rlim_t limit_bytes = 0)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return Outcome{child_failed, "no pipe"};
    const pid_t child = fork();
    if (child < 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return Outcome{child_failed, "no child process"};
    }
    if (child == 0) {
        close(pipe_fds[0]);
        if (drop && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(nobody_id) != 0 || setuid(nobody_id) != 0))
            _exit(child_cannot_drop);
        if (limit_bytes > 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{limit_bytes, limit_bytes};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        const Outcome outcome = save();
        const std::string report = std::to_string(outcome.result) + "\n" + outcome.message;
        const bool sent = write(pipe_fds[1], report.data(), report.size()) ==
                          static_cast<ssize_t>(report.size());
        _exit(sent ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == child_cannot_drop)
        return std::nullopt;
    const std::size_t end = report.find('\n');
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || end == std::string::npos)
        return Outcome{child_failed, "the child process failed"};
    return Outcome{std::stoi(report.substr(0, end)), report.substr(end + 1)};
}

std::optional<Outcome> save_in_child(bool drop, const Kind &kind, const std::string &path,
                                     rlim_t limit_bytes = 0)
{
    return in_child(
        drop,
        [&] {
            Outcome o;
            o.result = kind.save(path, o.message);
            return o;
        },
        limit_bytes);
}

//! Hands `path` to the user the children run as.
void give_to_tester(const std::string &path)
{
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), nobody_id, nobody_id), 0);
    }
}

struct stat status_of(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

class FileSave : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Instrument ins = instrument_defaults();
        sample_length = 0.25;
        do_render(&ins, wav_rate_hz);
    }

    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        // Others may pass through the scratch folder, so nobody reaches it.
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        for (const Kind &kind : kinds) {
            std::string message;
            ASSERT_EQ(kind.save(dir.file(std::string("reference.") + kind.name), message), 0);
        }
    }

    void TearDown() override
    {
        // Read-only folders made by a test must be writable to be removed.
        for (const auto &entry : fs::recursive_directory_iterator(dir.path()))
            if (entry.is_directory() && !entry.is_symlink())
                chmod(entry.path().c_str(), 0755);
    }

    std::string expected(const Kind &kind) const
    {
        return read_file(dir.file(std::string("reference.") + kind.name));
    }

    //! A folder that the tester may read but not write, holding `files`
    //! (made with `mode` and handed to the tester).
    std::string read_only_folder(const char *name, mode_t mode)
    {
        const std::string folder = dir.file(name);
        fs::create_directory(folder);
        for (const Kind &kind : kinds) {
            const std::string file = folder + "/" + kind.name;
            write_file(file, "old");
            chmod(file.c_str(), mode);
            give_to_tester(file);
        }
        give_to_tester(folder);
        chmod(folder.c_str(), 0555);
        return folder;
    }

    TempDir dir;
};

TEST_F(FileSave, WritableFileInReadOnlyFolderIsWrittenInPlace)
{
    const std::string folder = read_only_folder("library", 0644);
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string file = folder + "/" + kind.name;
        const ino_t inode = status_of(file).st_ino;
        const auto outcome = save_in_child(true, kind, file);
        if (!outcome)
            GTEST_SKIP() << "cannot run a child as nobody";
        EXPECT_EQ(outcome->result, 0) << outcome->message;
        EXPECT_EQ(read_file(file), expected(kind));
        EXPECT_EQ(status_of(file).st_ino, inode);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 3);
}

TEST_F(FileSave, ReadOnlyFileInReadOnlyFolderIsRefusedWithTheSystemsReason)
{
    const std::string folder = read_only_folder("locked", 0444);
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string file = folder + "/" + kind.name;
        const auto outcome = save_in_child(true, kind, file);
        if (!outcome)
            GTEST_SKIP() << "cannot run a child as nobody";
        EXPECT_EQ(outcome->result, EACCES);
        EXPECT_EQ(read_file(file), "old");
        if (kind.has_message) {
            EXPECT_EQ(outcome->message + ": " + g_strerror(outcome->result),
                      "Could not write file " + file + ": " + g_strerror(EACCES));
        }
    }
}

// Another user's file that the tester may write, in a folder the tester may
// write too: a replacement would belong to the tester, so it is written in
// place and keeps its owner.
TEST_F(FileSave, AnotherUsersWritableFileKeepsItsOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a file of another user";
    const std::string folder = dir.file("shared");
    fs::create_directory(folder);
    chmod(folder.c_str(), 0777);
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string file = folder + "/" + kind.name;
        write_file(file, "old");
        chmod(file.c_str(), 0666);
        const auto outcome = save_in_child(true, kind, file);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->result, 0) << outcome->message;
        EXPECT_EQ(read_file(file), expected(kind));
        EXPECT_EQ(status_of(file).st_uid, 0u);
        EXPECT_EQ(status_of(file).st_mode & 07777, 0666u);
    }
}

TEST_F(FileSave, HardLinksAndSymbolicLinksShowTheNewContent)
{
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string file = dir.file(std::string("take.") + kind.name);
        const std::string other = dir.file(std::string("other-name.") + kind.name);
        const std::string link = dir.file(std::string("link.") + kind.name);
        write_file(file, "old");
        ASSERT_EQ(::link(file.c_str(), other.c_str()), 0);
        ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
        std::string message;
        EXPECT_EQ(kind.save(link, message), 0) << message;
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(read_file(file), expected(kind));
        EXPECT_EQ(read_file(other), expected(kind));
        EXPECT_EQ(status_of(file).st_nlink, 2u);

        // A link to a file not made yet makes that file.
        const std::string dangling = dir.file(std::string("to-new.") + kind.name);
        ASSERT_EQ(symlink("new-target", dangling.c_str()), 0);
        EXPECT_EQ(kind.save(dangling, message), 0) << message;
        EXPECT_TRUE(fs::is_symlink(dangling));
        EXPECT_EQ(read_file(dir.file("new-target")), expected(kind));
        fs::remove(dir.file("new-target"));
    }
}

TEST_F(FileSave, PermissionBitsSurviveTheUmask)
{
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string file = dir.file(std::string("group.") + kind.name);
        const std::string fresh = dir.file(std::string("fresh.") + kind.name);
        write_file(file, "old");
        ASSERT_EQ(chmod(file.c_str(), 0664), 0);
        const auto outcome = in_child(false, [&] {
            umask(022);
            Outcome o;
            o.result = kind.save(file, o.message);
            if (o.result == 0)
                o.result = kind.save(fresh, o.message);
            return o;
        });
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->result, 0) << outcome->message;
        EXPECT_EQ(read_file(file), expected(kind));
        EXPECT_EQ(status_of(file).st_mode & 07777, 0664u);
        EXPECT_EQ(status_of(fresh).st_mode & 07777, 0644u) << "a new file follows the umask";
    }
}

// The file size limit stands in for a disk that fills up mid-write.
TEST_F(FileSave, FullDiskKeepsTheOldFileWhole)
{
    constexpr rlim_t limit_bytes = 64; // less than any of the three documents
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string folder = dir.file(std::string("full-") + kind.name);
        fs::create_directory(folder);
        const std::string file = folder + "/kept";
        write_file(file, "the previous take");
        const auto outcome = save_in_child(false, kind, file, limit_bytes);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->result, EFBIG);
        EXPECT_EQ(read_file(file), "the previous take");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

        // A device that is always full, reached through a link.
        const std::string link = folder + "/device";
        ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
        std::string message;
        EXPECT_EQ(kind.save(link, message), ENOSPC);
        EXPECT_TRUE(fs::is_symlink(link));
    }
}

} // namespace
