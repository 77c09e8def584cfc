#include "presets.h"

#include <cerrno>
#include <random>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "default_preset_document.h"
#include "settings_test_support.h"

namespace {

const std::string incomplete = "Incorrect or incomplete presets file. Some values may be missing.";

std::string open_message(const std::string &file)
{
    return "Could not open file " + file + ", not a CWR presets or parsing error";
}

//! An Instrument whose every field differs from the defaults, so a load that
//! touches a field shows.
Instrument marked()
{
    Instrument ins = instrument_defaults();
    ins.decay_stop = 1;
    ins.decay_level = -33.0;
    ins.tube_height = 21;
    ins.tube_circumference = 22;
    ins.rod_length = 23;
    ins.plane_length = 24;
    ins.plane_width = 25;
    ins.actuation_node = 26;
    ins.sampling_node = 27;
    ins.tension = 2.5;
    ins.speed = 0.3;
    ins.damping = 0.4;
    ins.actuation = ACTUATION_PERPENDICULAR;
    ins.velocity = 0.6;
    return ins;
}

//! Loads `text` from a file into `*ins`; returns load_pres's result.
int load_text(const TempDir &dir, const std::string &text, Instrument *ins, std::string &message)
{
    const std::string file = dir.file("p.cwrp");
    write_file(file, text);
    return load_pres(ins, file.c_str(), message);
}

const char *common_keys = "<double name=\"tension\" value=\"1.5\"/>"
                          "<double name=\"speed\" value=\"0.125\"/>"
                          "<double name=\"damping\" value=\"0.25\"/>"
                          "<int name=\"actuation\" value=\"1\"/>"
                          "<double name=\"velocity\" value=\"0.75\"/>";

} // namespace

TEST(SavePres, DefaultInstrumentGivesTheDocumentedFile)
{
    TempDir dir;
    const std::string file = dir.file("default.cwrp");
    Instrument ins = instrument_defaults();
    std::string message;
    EXPECT_EQ(save_pres(&ins, file.c_str(), message), 0);
    EXPECT_EQ(read_file(file), default_preset_document);
}

TEST(SavePres, AFailedSaveIsReportedAndKeepsTheOldFile)
{
    TempDir dir;
    Instrument ins = instrument_defaults();
    std::string message;
    const std::string missing = dir.file("no/such.cwrp");
    EXPECT_EQ(save_pres(&ins, missing.c_str(), message), ENOENT);
    EXPECT_EQ(message, "Could not write file " + missing);
    if (geteuid() != 0) { // root writes into read-only files (file_save_test drops to nobody)
        const std::string file = dir.file("kept.cwrp");
        write_file(file, "old");
        chmod(file.c_str(), 0400);
        chmod(dir.path().c_str(), 0500);
        EXPECT_EQ(save_pres(&ins, file.c_str(), message), EACCES);
        chmod(dir.path().c_str(), 0700);
        EXPECT_EQ(read_file(file), "old");
    }
}

TEST(LoadPres, RoundTripsRestoreEveryShapeExactly)
{
    TempDir dir;
    for (int32_t type : {TYPE_TUBE, TYPE_ROD, TYPE_PLANE}) {
        Instrument saved = marked();
        saved.type = type;
        saved.tension = 0.1;   // not exact in binary: the 17 digits must carry it
        saved.speed = 1.0 / 3.0;
        saved.damping = 5e-3;
        const std::string file = dir.file("shape.cwrp");
        std::string message;
        ASSERT_EQ(save_pres(&saved, file.c_str(), message), 0);
        const std::string text = read_file(file);
        EXPECT_EQ(text.find("height") != std::string::npos, type == TYPE_TUBE);
        EXPECT_EQ(text.find("width") != std::string::npos, type == TYPE_PLANE);
        EXPECT_EQ(text.find("length") != std::string::npos, type != TYPE_TUBE);

        Instrument loaded = instrument_defaults();
        const Instrument before = loaded;
        ASSERT_EQ(load_pres(&loaded, file.c_str(), message), 0) << message;
        EXPECT_EQ(loaded.type, type);
        EXPECT_EQ(loaded.tension, saved.tension);
        EXPECT_EQ(loaded.speed, saved.speed);
        EXPECT_EQ(loaded.damping, saved.damping);
        EXPECT_EQ(loaded.velocity, saved.velocity);
        EXPECT_EQ(loaded.actuation, saved.actuation);
        EXPECT_EQ(loaded.tube_height, type == TYPE_TUBE ? saved.tube_height : before.tube_height);
        EXPECT_EQ(loaded.tube_circumference,
                  type == TYPE_TUBE ? saved.tube_circumference : before.tube_circumference);
        EXPECT_EQ(loaded.rod_length, type == TYPE_ROD ? saved.rod_length : before.rod_length);
        EXPECT_EQ(loaded.plane_length,
                  type == TYPE_PLANE ? saved.plane_length : before.plane_length);
        EXPECT_EQ(loaded.plane_width, type == TYPE_PLANE ? saved.plane_width : before.plane_width);
        // Not part of a preset.
        EXPECT_EQ(loaded.actuation_node, before.actuation_node);
        EXPECT_EQ(loaded.sampling_node, before.sampling_node);
        EXPECT_EQ(loaded.decay_stop, before.decay_stop);
        EXPECT_EQ(loaded.decay_level, before.decay_level);
    }
}

TEST(LoadPres, ShapeNamesAndPartialPresets)
{
    TempDir dir;
    std::string message;
    Instrument ins = marked();
    EXPECT_EQ(load_text(dir,
                        std::string("<cwrp version=\"0.1.0\"><string name=\"type\" value=\"Rod\"/>"
                                    "<int name=\"length\" value=\"9\"/>") +
                            common_keys + "</cwrp>",
                        &ins, message),
              0);
    EXPECT_EQ(ins.type, TYPE_ROD);
    EXPECT_EQ(ins.rod_length, 9);
    EXPECT_EQ(ins.velocity, 0.75);

    // An unknown shape with tube keys is a complete tube; without them it is a
    // tube with its sizes unchanged, and incomplete.
    const std::string cone = "<cwrp version=\"0.1.0\"><string name=\"type\" value=\"cone\"/>";
    ins = marked();
    EXPECT_EQ(load_text(dir,
                        cone + "<int name=\"height\" value=\"4\"/>"
                               "<int name=\"circumference\" value=\"6\"/>" +
                            common_keys + "</cwrp>",
                        &ins, message),
              0);
    EXPECT_EQ(ins.type, TYPE_TUBE);
    EXPECT_EQ(ins.tube_circumference, 6);
    ins = marked();
    message.clear();
    EXPECT_EQ(load_text(dir, cone + common_keys + "</cwrp>", &ins, message), -1);
    EXPECT_EQ(message, incomplete);
    EXPECT_EQ(ins.type, TYPE_TUBE);
    EXPECT_EQ(ins.tube_height, marked().tube_height);
    EXPECT_EQ(ins.tension, 1.5) << "values present are still applied";

    // Without "type" it is a tube, and "type" itself is never missing.
    ins = marked();
    ins.type = TYPE_PLANE;
    EXPECT_EQ(load_text(dir,
                        std::string("<cwrp version=\"0.1.0\"><int name=\"height\" value=\"4\"/>"
                                    "<int name=\"circumference\" value=\"6\"/>") +
                            common_keys + "</cwrp>",
                        &ins, message),
              0);
    EXPECT_EQ(ins.type, TYPE_TUBE);

    // A tube without "circumference" keeps that field and reports it.
    ins = marked();
    EXPECT_EQ(load_text(dir,
                        std::string("<cwrp version=\"0.1.0\"><string name=\"type\" value=\"tube\"/>"
                                    "<int name=\"height\" value=\"4\"/>") +
                            common_keys + "</cwrp>",
                        &ins, message),
              -1);
    EXPECT_EQ(ins.tube_height, 4);
    EXPECT_EQ(ins.tube_circumference, marked().tube_circumference);
    EXPECT_EQ(ins.damping, 0.25);
}

TEST(LoadPres, LegacyPresetsReadElementText)
{
    TempDir dir;
    const std::string body = "<string name=\"type\">plane</string><int name=\"length\">5</int>"
                             "<int name=\"width\">6</int><double name=\"tension\">2</double>"
                             "<double name=\"speed\">0.25</double>"
                             "<double name=\"damping\">0.125</double>"
                             "<int name=\"actuation\">1</int><double name=\"velocity\">0.5</double>";
    std::string message;
    Instrument ins = marked();
    EXPECT_EQ(load_text(dir, "<cwrinstr>" + body + "</cwrinstr>", &ins, message), 0) << message;
    EXPECT_EQ(ins.type, TYPE_PLANE);
    EXPECT_EQ(ins.plane_length, 5);
    EXPECT_EQ(ins.plane_width, 6);
    EXPECT_EQ(ins.speed, 0.25);
    EXPECT_EQ(ins.actuation, 1);

    // With a version, values are taken from `value` attributes, which are
    // missing here: the shape is applied, nothing else.
    ins = marked();
    EXPECT_EQ(load_text(dir, "<cwrinstr version=\"0.1.0\">" + body + "</cwrinstr>", &ins, message),
              -1);
    EXPECT_EQ(message, incomplete);
    EXPECT_EQ(ins.type, TYPE_TUBE) << "type without a value reads as the default tube";
    EXPECT_EQ(ins.speed, marked().speed);

    CommaLocale locale;
    if (!locale.active())
        GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/install-deps.sh makes it)";
    ins = marked();
    EXPECT_EQ(load_text(dir,
                        "<cwrinstr><string name=\"type\">rod</string><int name=\"length\">7</int>"
                        "<double name=\"tension\">0,5</double><double name=\"speed\">0.25</double>"
                        "<double name=\"damping\">0,125</double><int name=\"actuation\">0</int>"
                        "<double name=\"velocity\">1</double></cwrinstr>",
                        &ins, message),
              0);
    EXPECT_EQ(ins.tension, 0.5);
    EXPECT_EQ(ins.speed, 0.25);
    EXPECT_EQ(ins.damping, 0.125);
}

TEST(LoadPres, HostileFilesAreRefusedWithTheOpenMessage)
{
    TempDir dir;
    const std::string secret = dir.file("secret");
    write_file(secret, "7");
    std::vector<std::pair<std::string, std::string>> files;
    files.emplace_back("bomb.cwrp",
                       "<?xml version=\"1.0\"?>\n<!DOCTYPE cwrp [\n"
                       " <!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">\n"
                       " <!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">\n"
                       " <!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">\n"
                       " <!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">\n"
                       " <!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">\n"
                       " <!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">\n"
                       " <!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">\n"
                       "]>\n<cwrp version=\"0.1.0\"><string name=\"type\" value=\"&g;\"/>"
                       "<int name=\"height\">&g;</int></cwrp>\n");
    files.emplace_back("external.cwrp",
                       "<?xml version=\"1.0\"?>\n<!DOCTYPE cwrinstr [\n"
                       " <!ENTITY x SYSTEM \"file://" + secret + "\">\n]>\n"
                       "<cwrinstr><int name=\"height\">&x;</int></cwrinstr>\n");
    files.emplace_back("remote.cwrp", "<?xml version=\"1.0\"?>\n"
                                      "<!DOCTYPE cwrp SYSTEM \"http://192.0.2.1/cwrp.dtd\">\n"
                                      "<cwrp version=\"0.1.0\"/>\n");
    std::mt19937 random(2024); // fixed seed: the same bytes on every run
    std::string noise(4096, '\0');
    for (char &c : noise)
        c = static_cast<char>(random());
    files.emplace_back("noise.cwrp", noise);
    std::string wav = std::string("RIFF\x24\x10\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0", 24) +
                      std::string("\x44\xac\0\0\x88\x58\x01\0\x02\0\x10\0data\0\x10\0\0", 20) +
                      std::string(4096, '\x01');
    files.emplace_back("sound.wav", wav);
    files.emplace_back("other.cwrp", "<?xml version=\"1.0\"?>\n<cwrconfig version=\"0.1.0\">"
                                     "<string name=\"type\" value=\"rod\"/></cwrconfig>\n");
    for (const auto &[name, bytes] : files)
        write_file(dir.file(name), bytes);
    // 50 MiB without writing them: a sparse file.
    const std::string huge = dir.file("huge.cwrp");
    write_file(huge, "<cwrp version=\"0.1.0\">");
    ASSERT_EQ(truncate(huge.c_str(), 50L << 20), 0);
    files.emplace_back("huge.cwrp", "");

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    for (const auto &entry : files) {
        const std::string file = dir.file(entry.first);
        Instrument ins = marked();
        std::string message;
        EXPECT_EQ(load_pres(&ins, file.c_str(), message), -1) << entry.first;
        EXPECT_EQ(message, open_message(file)) << entry.first;
        EXPECT_EQ(ins.type, marked().type) << entry.first << ": the Instrument is untouched";
        EXPECT_EQ(ins.tube_height, marked().tube_height) << entry.first;
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    // The peak resident size may grow by the 1 MiB read limit and the parser's
    // own tables; 32 MiB is far below what an expanded bomb or a 50 MiB read
    // would take, and far above normal noise.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32L * 1024) << "kilobytes";
}

TEST(ApplyLoadedPres, ClampsTheLoadedShapeAndResetsTheNodes)
{
    Instrument ins = marked();
    ins.type = TYPE_TUBE;
    ins.tube_height = 100;
    ins.tube_circumference = -4;
    ins.rod_length = 1000; // another shape's size: not the window's business here
    ins.tension = 1e9;
    ins.speed = std::numeric_limits<double>::quiet_NaN();
    ins.damping = -1.0;
    ins.velocity = 0.5;
    ins.actuation = 7;
    apply_loaded_pres(&ins);
    EXPECT_EQ(ins.tube_height, instrument_range::tube_height_max);
    EXPECT_EQ(ins.tube_circumference, instrument_range::tube_circumference_min);
    EXPECT_EQ(ins.rod_length, 1000);
    EXPECT_EQ(ins.tension, instrument_range::tension_max);
    EXPECT_EQ(ins.speed, instrument_range::speed_min);
    EXPECT_EQ(ins.damping, instrument_range::damping_min);
    EXPECT_EQ(ins.velocity, 0.5);
    EXPECT_EQ(ins.actuation, ACTUATION_PERPENDICULAR);
    EXPECT_EQ(ins.actuation_node, 3 + 3 / 2);
    EXPECT_EQ(ins.sampling_node, (30 - 2) * 3);
    EXPECT_TRUE(instrument_node_is_movable(ins, ins.actuation_node));
    EXPECT_TRUE(instrument_node_is_movable(ins, ins.sampling_node));

    ins.type = TYPE_PLANE;
    ins.plane_length = 7;
    ins.plane_width = 9;
    apply_loaded_pres(&ins);
    EXPECT_EQ(ins.actuation_node, 1);
    EXPECT_EQ(ins.sampling_node, 53);
    ins.type = TYPE_ROD;
    ins.rod_length = 2;
    apply_loaded_pres(&ins);
    EXPECT_EQ(ins.rod_length, 3);
    EXPECT_EQ(ins.actuation_node, 1);
    EXPECT_EQ(ins.sampling_node, 1);
}
