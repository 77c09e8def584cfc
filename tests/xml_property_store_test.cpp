#include "xml_property_store.h"

#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libxml/parser.h>

#include "settings_test_support.h"

namespace {

constexpr const char *declaration = "<?xml version=\"1.0\"?>\n";

XmlpDocHandle open_text(const std::string &text, const char *root = "cwrconfig")
{
    return xmlp_get_doc_from_memory(text.data(), text.size(), "unused", root, "0.1.0");
}

std::string saved(const XmlpDoc &doc) { return xmlp_serialise(doc).value_or("<failed>"); }

} // namespace

TEST(XmlpWrite, ElementsAreCreatedInOrderAndReused)
{
    XmlpDocHandle doc = xmlp_new_doc("unused", "cwrconfig", "0.1.0");
    xmlp_set_int(*doc, "settings/", "rate", 48000);
    xmlp_set_int(*doc, "settings/", "export_rate", 44100);
    xmlp_set_int(*doc, "settings/", "rate", 22050);
    xmlp_set_boolean(*doc, "settings/", "auto_ext", 5);
    xmlp_set_boolean(*doc, "settings/", "overwrite_warning", 0);
    xmlp_set_string(*doc, "paths/", "sample_path", nullptr);
    EXPECT_EQ(saved(*doc), std::string(declaration) +
                               "<cwrconfig version=\"0.1.0\">\n"
                               "  <settings>\n"
                               "    <int name=\"rate\" value=\"22050\"/>\n"
                               "    <int name=\"export_rate\" value=\"44100\"/>\n"
                               "    <bool name=\"auto_ext\" value=\"TRUE\"/>\n"
                               "    <bool name=\"overwrite_warning\" value=\"FALSE\"/>\n"
                               "  </settings>\n"
                               "  <paths>\n"
                               "    <string name=\"sample_path\" value=\"\"/>\n"
                               "  </paths>\n"
                               "</cwrconfig>\n");
    // A null text is stored as the empty text, which is found.
    EXPECT_EQ(xmlp_get_string(*doc, "paths/", "sample_path"), std::optional<std::string>(""));
    EXPECT_EQ(xmlp_get_string_default(*doc, "paths/", "sample_path", "d"),
              std::optional<std::string>(""));
    EXPECT_EQ(xmlp_get_string_default(*doc, "paths/", "missing", nullptr), std::nullopt);
    EXPECT_EQ(xmlp_get_string_default(*doc, "paths/", "missing", "d"),
              std::optional<std::string>("d"));
}

TEST(XmlpWrite, WritersIgnoreCaseWhileReadersCompareExactly)
{
    XmlpDocHandle doc = open_text("<cwrconfig version=\"0.1.0\"><Settings>"
                                  "<INT name=\"Rate\" value=\"1\"/></Settings></cwrconfig>");
    ASSERT_TRUE(doc);
    EXPECT_EQ(xmlp_get_int_default(*doc, "settings/", "rate", 7), 7);
    EXPECT_EQ(xmlp_get_int_default(*doc, "Settings/", "Rate", 7) /* int != INT */, 7);
    xmlp_set_int(*doc, "settings/", "rate", 2);
    EXPECT_EQ(saved(*doc), std::string(declaration) +
                               "<cwrconfig version=\"0.1.0\">\n"
                               "  <Settings>\n"
                               "    <INT name=\"Rate\" value=\"2\"/>\n"
                               "  </Settings>\n"
                               "</cwrconfig>\n");
    // Once one segment is missing, everything below it is created anew.
    xmlp_set_int(*doc, "a/settings/", "rate", 3);
    EXPECT_EQ(xmlp_get_int_default(*doc, "a/settings/", "rate", 0), 3);
}

TEST(XmlpRead, EmptyPathFindsTheFirstPropertyAtAnyDepth)
{
    XmlpDocHandle doc = open_text("<cwrconfig version=\"1\"><paths><int name=\"n\" value=\"1\"/>"
                                  "</paths><int name=\"n\" value=\"2\"/>"
                                  "<settings><int name=\"n\" value=\"3\"/></settings></cwrconfig>");
    ASSERT_TRUE(doc);
    EXPECT_EQ(xmlp_get_int_default(*doc, "", "n", 0), 1);
    EXPECT_EQ(xmlp_get_int_default(*doc, "settings/", "n", 0), 3);
    // No value attribute: not found, and the output stays untouched.
    XmlpDocHandle bare = open_text("<cwrconfig version=\"1\"><int name=\"n\"/></cwrconfig>");
    int32_t out = 42;
    EXPECT_EQ(xmlp_get_int(*bare, "", "n", &out), 0);
    EXPECT_EQ(out, 42);
}

TEST(XmlpRead, IntegersReadLikeAtoiAndOnlyTrueIsTrue)
{
    XmlpDocHandle doc = open_text(
        "<cwrconfig version=\"1\"><int name=\"a\" value=\"12abc\"/><int name=\"b\" value=\"abc\"/>"
        "<int name=\"c\" value=\"  -7\"/><int name=\"d\" value=\"99999999999\"/>"
        "<bool name=\"t\" value=\"True\"/><bool name=\"y\" value=\"yes\"/>"
        "<bool name=\"one\" value=\"1\"/><double name=\"x\" value=\"2.5e1kg\"/>"
        "<double name=\"z\" value=\"fast\"/></cwrconfig>");
    ASSERT_TRUE(doc);
    int32_t value = 99;
    EXPECT_EQ(xmlp_get_int(*doc, "", "a", &value), 1);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(xmlp_get_int(*doc, "", "b", &value), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(xmlp_get_int_default(*doc, "", "c", 0), -7);
    EXPECT_EQ(xmlp_get_int_default(*doc, "", "d", 0), INT32_MAX); // saturated, not wrapped
    EXPECT_EQ(xmlp_get_boolean_default(*doc, "", "t", 0), 1);
    EXPECT_EQ(xmlp_get_boolean_default(*doc, "", "y", 1), 0);
    EXPECT_EQ(xmlp_get_boolean_default(*doc, "", "one", 1), 0);
    EXPECT_EQ(xmlp_get_boolean_default(*doc, "", "missing", 1), 1);
    EXPECT_EQ(xmlp_get_double_default(*doc, "", "x", 0.0), 25.0);
    EXPECT_EQ(xmlp_get_double_default(*doc, "", "z", 1.0), 0.0);
}

namespace {

//! Writes doubles and reads them back through saved text.
void expect_doubles_round_trip()
{
    XmlpDocHandle doc = xmlp_new_doc("unused", "cwrp", "0.1.0");
    xmlp_set_double(*doc, "", "tension", 0.1);
    xmlp_set_double(*doc, "", "speed", 0.2);
    xmlp_set_double(*doc, "", "velocity", 4.0);
    EXPECT_EQ(xmlp_get(*doc, "", "double", "tension"),
              std::optional<std::string>("0.10000000000000001"));
    EXPECT_EQ(xmlp_get(*doc, "", "double", "speed"),
              std::optional<std::string>("0.20000000000000001"));
    EXPECT_EQ(xmlp_get(*doc, "", "double", "velocity"), std::optional<std::string>("4"));
    XmlpDocHandle back = open_text(saved(*doc), "cwrp");
    ASSERT_TRUE(back);
    EXPECT_EQ(xmlp_get_double_default(*back, "", "tension", 0.0), 0.1); // bit-exact
    EXPECT_EQ(xmlp_get_double_default(*back, "", "speed", 0.0), 0.2);
}

} // namespace

TEST(XmlpDouble, SeventeenDigitsRoundTripExactlyInAnyLocale)
{
    expect_doubles_round_trip();
    CommaLocale locale;
    if (!locale.active())
        GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/install-deps.sh makes it)";
    expect_doubles_round_trip();
}

TEST(XmlpLegacy, ValuesComeFromElementText)
{
    XmlpDocHandle doc = open_text("<cwrconfig><settings>"
                                  "<int name=\"rate\" value=\"1\">44100</int>"
                                  "<string name=\"s\">a &amp; <![CDATA[b]]><i>nested</i>c</string>"
                                  "<string name=\"empty\"/>"
                                  "<double name=\"d\">0.25</double>"
                                  "<array name=\"l\"><string value=\"x\">t</string><string/></array>"
                                  "</settings></cwrconfig>");
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->legacy, 1);
    EXPECT_EQ(xmlp_get_int_default(*doc, "settings/", "rate", 0), 44100);
    EXPECT_EQ(xmlp_get_string(*doc, "", "s"), std::optional<std::string>("a & bc"));
    EXPECT_EQ(xmlp_get_string_default(*doc, "", "empty", "dflt"),
              std::optional<std::string>("dflt"));
    EXPECT_EQ(xmlp_get_double_default(*doc, "", "d", 0.0), 0.25);
    // List entries come from `value` attributes even here; a missing one is null.
    EXPECT_EQ(xmlp_get_array(*doc, "settings/", "string", "l"),
              (XmlpStringList{std::string("x"), std::nullopt}));
    // The version asked for is added, so the next save writes it.
    EXPECT_NE(saved(*doc).find("<cwrconfig version=\"0.1.0\">"), std::string::npos);
}

TEST(XmlpLegacy, DoublesAreReadInTheUsersLocaleFirst)
{
    CommaLocale locale;
    if (!locale.active())
        GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/install-deps.sh makes it)";
    XmlpDocHandle doc = open_text("<cwrp><double name=\"comma\">0,5</double>"
                                  "<double name=\"point\">0.25</double></cwrp>",
                                  "cwrp");
    ASSERT_TRUE(doc);
    EXPECT_EQ(xmlp_get_double_default(*doc, "", "comma", 0.0), 0.5);
    EXPECT_EQ(xmlp_get_double_default(*doc, "", "point", 0.0), 0.25);
    // A current document never uses the locale: "0,5" stops at the comma.
    XmlpDocHandle current = open_text("<cwrp version=\"0.1.0\"><double name=\"c\" value=\"0,5\"/>"
                                      "</cwrp>",
                                      "cwrp");
    EXPECT_EQ(xmlp_get_double_default(*current, "", "c", 1.0), 0.0);
}

TEST(XmlpArray, EmptyListsAndReplacement)
{
    XmlpDocHandle doc = xmlp_new_doc("unused", "cwrconfig", "0.1.0");
    EXPECT_TRUE(xmlp_get_array(*doc, "paths/", "string", "recent").empty());
    xmlp_set_array(*doc, "paths/", "string", "recent", {std::string("a"), std::nullopt});
    xmlp_set_array(*doc, "paths/", "string", "recent", {std::string("b"), std::string("c")});
    EXPECT_EQ(xmlp_get_array(*doc, "paths/", "string", "recent"),
              (XmlpStringList{std::string("b"), std::string("c")}));
    xmlp_set_array(*doc, "paths/", "string", "recent", {});
    EXPECT_TRUE(xmlp_get_array(*doc, "paths/", "string", "recent").empty());
    EXPECT_EQ(saved(*doc), std::string(declaration) +
                               "<cwrconfig version=\"0.1.0\">\n"
                               "  <paths>\n"
                               "    <array name=\"recent\"/>\n"
                               "  </paths>\n"
                               "</cwrconfig>\n");
}

TEST(XmlpOpen, RootNameAndVersionRules)
{
    XmlpDocHandle old_version = open_text("<cwrp version=\"0.0.9\"/>", "cwrp");
    ASSERT_TRUE(old_version);
    EXPECT_EQ(old_version->legacy, 0);
    EXPECT_EQ(saved(*old_version), std::string(declaration) + "<cwrp version=\"0.1.0\"/>\n");
    XmlpDocHandle upper = open_text("<CWRP version=\"0.1.0\"/>", "cwrp");
    ASSERT_TRUE(upper);
    EXPECT_EQ(upper->root_name, "cwrp");
    EXPECT_FALSE(open_text("<cwrconfig version=\"0.1.0\"/>", "cwrp"));
    EXPECT_FALSE(open_text("<cwrp version=\"0.1.0\">", "cwrp"));  // not well-formed
    EXPECT_FALSE(open_text("", "cwrp"));
    // Blank text between elements is dropped, so a saved file is re-indented.
    XmlpDocHandle spaced = open_text("<cwrp version=\"1\">\n\n   <int name=\"a\" value=\"1\"/>"
                                     "   </cwrp>",
                                     "cwrp");
    EXPECT_EQ(saved(*spaced), std::string(declaration) + "<cwrp version=\"0.1.0\">\n"
                                                         "  <int name=\"a\" value=\"1\"/>\n"
                                                         "</cwrp>\n");
}

TEST(XmlpHostileNames, QuotesAndSlashesNeverBreakTheQuery)
{
    XmlpDocHandle doc = xmlp_new_doc("unused", "cwrconfig", "0.1.0");
    const char *names[] = {"a\"b", "x\"]|//*[@name=\"", "it's", "a/b", "[attribute::x=\"1\"]", ""};
    int32_t i = 0;
    for (const char *name : names)
        xmlp_set_int(*doc, "settings/", name, ++i);
    i = 0;
    for (const char *name : names)
        EXPECT_EQ(xmlp_get_int_default(*doc, "settings/", name, -1), ++i) << name;
    EXPECT_EQ(xmlp_get_int_default(*doc, "settings/", "\"", -1), -1);
    // A path that makes no valid query selects nothing; one that cannot name
    // an element writes nothing.
    EXPECT_EQ(xmlp_get_int_default(*doc, "settings[\"/", "rate", -1), -1);
    EXPECT_TRUE(xmlp_get_array(*doc, "((/", "string", "x").empty());
    EXPECT_EQ(xmlp_set_common(*doc, "a//", "int", "n"), nullptr);
    EXPECT_EQ(xmlp_set_common(*doc, "1a/", "int", "n"), nullptr);
    EXPECT_EQ(xmlp_set_common(*doc, "a[attribute::x=1]/", "int", "n"), nullptr);
    // The program's own predicate syntax in a path is honoured.
    xmlp_set_int(*doc, "group[attribute::id=\"Two\"]/", "n", 2);
    xmlp_set_int(*doc, "group[attribute::id=\"two\"]/", "n", 3);
    EXPECT_EQ(xmlp_get_int_default(*doc, "group[attribute::id=\"Two\"]/", "n", 0), 3);
    // Text XML cannot hold (a control character in a folder name, bytes that
    // are not UTF-8) is stored as U+FFFD, so the saved file stays readable.
    xmlp_set_string(*doc, "paths/", "sample_path", "/tmp/a\x08" "b\xff/");
    xmlp_set_array(*doc, "paths/", "string", "l\x01", {std::string("\x1f")});
    const std::string text = saved(*doc);
    EXPECT_NE(text.find("<int name=\"a&quot;b\" value=\"1\"/>"), std::string::npos) << text;
    XmlpDocHandle back = open_text(text);
    ASSERT_TRUE(back) << "what is written reads back:\n" << text;
    EXPECT_EQ(xmlp_get_string(*back, "paths/", "sample_path"),
              std::optional<std::string>("/tmp/a\uFFFDb\uFFFD/"));
    EXPECT_EQ(xmlp_get_array(*back, "paths/", "string", "l\x01"),
              XmlpStringList{std::string("\uFFFD")});
}

TEST(XmlpSync, BytesAreExactlyThoseOfXmlSaveFormatFile)
{
    TempDir dir;
    std::vector<XmlpDocHandle> docs;
    docs.push_back(xmlp_new_doc(dir.file("a").c_str(), "cwrp", "0.1.0"));
    xmlp_set_string(*docs.back(), "", "type", "tube <&> \"é\"");
    xmlp_set_double(*docs.back(), "", "speed", 0.2);
    const std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                               "<cwrconfig><paths><string name=\"p\">\xe9t\xe9</string></paths>"
                               "<!-- kept --></cwrconfig>";
    docs.push_back(xmlp_get_doc_from_memory(latin1.data(), latin1.size(), dir.file("b").c_str(),
                                            "cwrconfig", "0.1.0"));
    ASSERT_TRUE(docs.back());
    xmlp_set_string(*docs.back(), "paths/", "q", "\xc3\xa9");
    for (const XmlpDocHandle &doc : docs) {
        const std::string reference = doc->file_name + ".reference";
        const int reference_bytes = xmlSaveFormatFile(reference.c_str(), doc->doc.get(), 1);
        EXPECT_EQ(xmlp_sync(*doc), reference_bytes);
        EXPECT_EQ(read_file(doc->file_name), read_file(reference));
    }
    EXPECT_NE(read_file(dir.file("b")).find("encoding=\"ISO-8859-1\""), std::string::npos);
}

TEST(XmlpSync, FailedWritesKeepTheOldFileAndLeaveNoTemporaryFile)
{
    TempDir dir;
    const std::string target = dir.file("config");
    write_file(target, "previous contents\n");
    chmod(target.c_str(), 0600);
    XmlpDocHandle doc = xmlp_new_doc(target.c_str(), "cwrconfig", "0.1.0");
    for (int i = 0; i < 200; ++i)
        xmlp_set_int(*doc, "settings/", ("key" + std::to_string(i)).c_str(), i);

    // A full disk, made by limiting the file size of a child process: the
    // write fails with EFBIG instead of the signal.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(xmlp_sync(*doc) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "xmlp_sync reported success on a full disk";
    EXPECT_EQ(read_file(target), "previous contents\n");
    EXPECT_EQ(dir.entries(), 1u);

    // A folder that does not exist.
    doc->file_name = dir.file("missing/config");
    EXPECT_EQ(xmlp_sync(*doc), -1);

    // A success replaces the file whole and keeps its permission bits.
    doc->file_name = target;
    const int written = xmlp_sync(*doc);
    EXPECT_EQ(written, static_cast<int>(read_file(target).size()));
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(dir.entries(), 1u);

    // Through a symbolic link, the file it names is replaced.
    const std::string link = dir.file("link");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    doc->file_name = link;
    xmlp_set_int(*doc, "settings/", "extra", 1);
    EXPECT_GT(xmlp_sync(*doc), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_NE(read_file(target).find("extra"), std::string::npos);
}

TEST(XmlpOpen, UnreadableFilesGiveNull)
{
    TempDir dir;
    EXPECT_FALSE(xmlp_get_doc(dir.file("none").c_str(), "cwrp", "0.1.0"));
    EXPECT_FALSE(xmlp_get_doc(dir.path().c_str(), "cwrp", "0.1.0")); // a folder
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(xmlp_get_doc(fifo.c_str(), "cwrp", "0.1.0")) << "and it does not block";
    // Exactly the limit is accepted, one byte more is not.
    const std::string head = "<cwrp version=\"0.1.0\">";
    const std::string tail = "</cwrp>";
    std::string big = head + std::string(xmlp_max_file_bytes - head.size() - tail.size(), ' ') + tail;
    write_file(dir.file("big"), big);
    EXPECT_TRUE(xmlp_get_doc(dir.file("big").c_str(), "cwrp", "0.1.0"));
    write_file(dir.file("big"), big + " ");
    EXPECT_FALSE(xmlp_get_doc(dir.file("big").c_str(), "cwrp", "0.1.0"));
}
