#include "config_registry.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "settings_test_support.h"

namespace {

//! Opens `text` (written to a file in `dir`) as the configuration document
//! and makes an empty table; an empty `text` means no file.
std::string start_with(const TempDir &dir, const std::string &text)
{
    const std::string file = dir.file("config");
    if (!text.empty())
        write_file(file, text);
    conf_open(file.c_str());
    return file;
}

} // namespace

TEST(ConfRegistry, FreshStartTakesDefaultsAndSavesThemInOrder)
{
    TempDir dir;
    const std::string file = start_with(dir, "");
    const ConfProgramIndexes ix = conf_subscribe_program_settings();
    EXPECT_EQ(ix.behaviour.auto_ext, 0);
    EXPECT_EQ(ix.presets_path, 5);
    EXPECT_EQ(conf_get_bool(ix.behaviour.auto_ext), 1);
    EXPECT_EQ(conf_get_bool(ix.behaviour.overwrite_warning), 1);
    EXPECT_EQ(conf_get_int(ix.behaviour.rate), 48000);
    EXPECT_EQ(conf_get_int(ix.behaviour.export_rate), 48000);
    EXPECT_EQ(conf_get_string(ix.sample_path), std::nullopt);
    conf_set_int(ix.behaviour.export_rate, 44100);
    conf_set_string(ix.sample_path, std::string("/home/user/sounds/"));
    EXPECT_EQ(conf_stored_driver_name(), std::nullopt);
    EXPECT_GT(conf_close("Pulseaudio"), 0);
    EXPECT_EQ(read_file(file), "<?xml version=\"1.0\"?>\n"
                               "<cwrconfig version=\"0.1.0\">\n"
                               "  <settings>\n"
                               "    <bool name=\"auto_ext\" value=\"TRUE\"/>\n"
                               "    <bool name=\"overwrite_warning\" value=\"TRUE\"/>\n"
                               "    <int name=\"rate\" value=\"48000\"/>\n"
                               "    <int name=\"export_rate\" value=\"44100\"/>\n"
                               "  </settings>\n"
                               "  <paths>\n"
                               "    <string name=\"sample_path\" value=\"/home/user/sounds/\"/>\n"
                               "    <string name=\"presets_path\" value=\"\"/>\n"
                               "  </paths>\n"
                               "  <driver>\n"
                               "    <string name=\"current\" value=\"Pulseaudio\"/>\n"
                               "  </driver>\n"
                               "</cwrconfig>\n");
    // The empty folder comes back as the empty text on the next start.
    start_with(dir, read_file(file));
    const ConfProgramIndexes again = conf_subscribe_program_settings();
    EXPECT_EQ(conf_get_string(again.presets_path), std::optional<std::string>(""));
    EXPECT_EQ(conf_get_int(again.behaviour.export_rate), 44100);
    EXPECT_EQ(conf_stored_driver_name(), std::optional<std::string>("Pulseaudio"));
}

TEST(ConfRegistry, StoredValuesWinAndUnknownElementsSurvive)
{
    TempDir dir;
    const std::string file = start_with(
        dir, "<cwrconfig version=\"0.1.0\"><settings><bool name=\"auto_ext\" value=\"FALSE\"/>"
             "<int name=\"rate\" value=\"fast\"/><other name=\"x\" value=\"y\"/></settings>"
             "<!--note--><paths><array name=\"recent\"/><array name=\"full\">"
             "<string value=\"a\"/></array></paths><driver><string name=\"current\" "
             "value=\"Old\"/></driver></cwrconfig>");
    const ConfBehaviourIndexes ix = conf_subscribe_behaviour_settings();
    EXPECT_EQ(conf_get_bool(ix.auto_ext), 0);
    EXPECT_EQ(conf_get_int(ix.rate), 0) << "a stored non-number is 0, not the default";
    const int32_t recent = conf_subscribe_string_array("paths/", "recent", "dflt");
    const int32_t full = conf_subscribe_string_array("paths/", "full", "dflt");
    const int32_t none = conf_subscribe_string_array("paths/", "none", nullptr);
    EXPECT_EQ(conf_get_string_array(recent), XmlpStringList{std::string("dflt")});
    EXPECT_EQ(conf_get_string_array(full), XmlpStringList{std::string("a")});
    EXPECT_TRUE(conf_get_string_array(none).empty());
    conf_set_string_array(full, {std::string("b"), std::string("c")});
    EXPECT_GT(conf_close(nullptr), 0);
    const std::string text = read_file(file);
    EXPECT_NE(text.find("<other name=\"x\" value=\"y\"/>"), std::string::npos) << text;
    EXPECT_NE(text.find("<!--note-->"), std::string::npos);
    EXPECT_NE(text.find("value=\"Old\""), std::string::npos) << "no driver open: name kept";
    EXPECT_NE(text.find("<string value=\"b\"/>\n      <string value=\"c\"/>"), std::string::npos);
    EXPECT_NE(text.find("<array name=\"recent\">\n      <string value=\"dflt\"/>"),
              std::string::npos);
}

TEST(ConfRegistry, LegacyDocumentIsMigratedAndReplaced)
{
    TempDir dir;
    const std::string file = start_with(
        dir, "<cwrconfig><behaviour><bool name=\"auto_ext\">FALSE</bool></behaviour>"
             "<settings><int name=\"rate\">44100</int></settings>"
             "<paths><string name=\"instr_path\">/x/</string></paths>"
             "<unknown>kept only in current documents</unknown></cwrconfig>");
    ASSERT_EQ(config->legacy, 1);
    const ConfProgramIndexes ix = conf_subscribe_program_settings();
    EXPECT_EQ(conf_get_bool(ix.behaviour.auto_ext), 0);
    EXPECT_EQ(conf_get_bool(ix.behaviour.overwrite_warning), 1);
    EXPECT_EQ(conf_get_int(ix.behaviour.rate), 44100);
    EXPECT_EQ(conf_get_string(ix.presets_path), std::optional<std::string>("/x/"));
    EXPECT_GT(conf_close("Pulseaudio"), 0);
    EXPECT_EQ(read_file(file), "<?xml version=\"1.0\"?>\n"
                               "<cwrconfig version=\"0.1.0\">\n"
                               "  <settings>\n"
                               "    <bool name=\"auto_ext\" value=\"FALSE\"/>\n"
                               "    <bool name=\"overwrite_warning\" value=\"TRUE\"/>\n"
                               "    <int name=\"rate\" value=\"44100\"/>\n"
                               "    <int name=\"export_rate\" value=\"48000\"/>\n"
                               "  </settings>\n"
                               "  <paths>\n"
                               "    <string name=\"sample_path\" value=\"\"/>\n"
                               "    <string name=\"presets_path\" value=\"/x/\"/>\n"
                               "  </paths>\n"
                               "  <driver>\n"
                               "    <string name=\"current\" value=\"Pulseaudio\"/>\n"
                               "  </driver>\n"
                               "</cwrconfig>\n");
}

TEST(ConfRegistry, TableGrowsByHalfAndIndexesKeepTheirValues)
{
    TempDir dir;
    start_with(dir, "");
    EXPECT_EQ(conf_capacity, 256);
    std::vector<int32_t> indexes;
    for (int32_t i = 0; i < 255; ++i)
        indexes.push_back(conf_subscribe_int("settings/", "n", i));
    EXPECT_EQ(conf_capacity, 256);
    indexes.push_back(conf_subscribe_int("settings/", "n", 255));
    EXPECT_EQ(conf_capacity, 384) << "the 256th subscription grows the table";
    for (int32_t i = 256; i < 384; ++i)
        indexes.push_back(conf_subscribe_int("settings/", "n", i));
    EXPECT_EQ(conf_capacity, 576);
    const int32_t text = conf_subscribe_string("paths/", "p", "kept");
    for (int32_t i = 0; i < 384; ++i) {
        ASSERT_EQ(indexes[i], i);
        ASSERT_EQ(conf_get_int(i), i);
    }
    EXPECT_EQ(conf_get_string(text), std::optional<std::string>("kept"));
    EXPECT_LT(conf_count, conf_capacity);
}

TEST(ConfRegistry, ChangePathAndRenameMoveTheWriteBack)
{
    TempDir dir;
    const std::string file = start_with(dir, "");
    const int32_t i = conf_subscribe_string("old/", "a", "v");
    conf_change_path(i, "new/");
    conf_rename(i, "b");
    conf_write_back();
    EXPECT_EQ(xmlp_get_string(*config, "new/", "b"), std::optional<std::string>("v"));
    EXPECT_EQ(xmlp_get_string(*config, "old/", "a"), std::nullopt);
}

TEST(ConfRegistryDeathTest, SubscribingWithoutADocumentEndsTheProgram)
{
    config.reset();
    EXPECT_DEATH(conf_subscribe_int("settings/", "rate", 0), "config != NULL");
}

TEST(ConfStartup, UserFolderIsMadePrivate)
{
    TempDir home;
    const std::string file = conf_prepare_user_dir(home.path());
    EXPECT_EQ(file, home.path() + "/.clangwright/config");
    struct stat st {};
    ASSERT_EQ(stat((home.path() + "/.clangwright").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(conf_home_dir().empty());
}
