// Where a chooser opens, whatever folder was remembered and whatever is left
// of the working folder.
#include <gtest/gtest.h>

#include <glib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "file_names.h"

namespace fs = std::filesystem;

TEST(ChooserStartFolder, RemembersOnlyFoldersThatExist)
{
    const fs::path base = fs::temp_directory_path() / ("cw-start-" + std::to_string(getpid()));
    fs::create_directories(base / "snd");
    const fs::path before = fs::current_path();
    fs::current_path(base);

    EXPECT_EQ(chooser_start_folder(base.string() + "/snd/"), base.string() + "/snd/");
    EXPECT_EQ(chooser_start_folder(std::string()), base.string());
    EXPECT_EQ(chooser_start_folder(std::nullopt), base.string());
    EXPECT_EQ(chooser_start_folder(base.string() + "/gone/"), base.string());
    EXPECT_EQ(chooser_start_folder(base.string() + "/snd/../gone"), base.string());

    // A working folder that was removed under the program: the home folder.
    fs::current_path(base / "snd");
    fs::remove(base / "snd");
    EXPECT_EQ(chooser_start_folder(std::string()), g_get_home_dir());
    EXPECT_EQ(chooser_start_folder(base.string()), base.string());

    fs::current_path(before);
    fs::remove_all(base);
}
