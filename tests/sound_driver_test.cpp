// The driver registry: registration, the start-up choice, selection and the
// reporting of driver errors, with recording test drivers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pulse_driver.h"
#include "sound_driver.h"
#include "test_driver.h"

namespace {

std::vector<std::string> reported;

void record_report(const char *text)
{
    reported.push_back(text);
}

class DriverRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        cwr_reset_drivers();
        test_log[0] = {};
        test_log[1] = {};
        reported.clear();
        cwr_set_error_reporter(record_report);
    }
    void TearDown() override
    {
        cwr_reset_drivers();
        cwr_set_error_reporter(nullptr);
    }
};

TEST_F(DriverRegistry, BuiltinRegistrationAddsPulseaudioOnceAtIndexZero)
{
    cwr_register_builtin_drivers();
    cwr_register_builtin_drivers();
    ASSERT_EQ(driver_list.size(), 1u);
    EXPECT_EQ(driver_list[0], &driver_pulse);
    EXPECT_STREQ(driver_pulse.name, "Pulseaudio");
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(cwr_get_current_driver(), 0);
}

TEST_F(DriverRegistry, StoredNameMatchesIgnoringCaseAndLastMatchWins)
{
    cwr_register_builtin_drivers();
    cwr_register_driver(&test_driver_full[0]);
    cwr_register_driver(&test_driver_full[1]);
    EXPECT_EQ(cwr_choose_driver_index("PULSEAUDIO"), 0);
    EXPECT_EQ(cwr_choose_driver_index("tEsT1"), 2);
    EXPECT_EQ(driver_index, 2);
    cwr_register_driver(&test_driver_full[1]);
    EXPECT_EQ(cwr_choose_driver_index("TEST1"), 3);
    // A view into a longer text compares only what it covers.
    const std::string stored = "test0 and more";
    EXPECT_EQ(cwr_choose_driver_index(std::string_view(stored).substr(0, 5)), 1);
}

TEST_F(DriverRegistry, UnknownOrMissingNameGivesIndexZero)
{
    cwr_register_driver(&test_driver_full[0]);
    cwr_register_driver(&test_driver_full[1]);
    driver_index = 1;
    EXPECT_EQ(cwr_choose_driver_index("Alsa"), 0);
    driver_index = 1;
    EXPECT_EQ(cwr_choose_driver_index(std::nullopt), 0);
    EXPECT_EQ(cwr_choose_driver_index(""), 0);
    EXPECT_TRUE(reported.empty());
}

TEST_F(DriverRegistry, InitRunsOnceForEveryDriverInListOrderWithoutOpening)
{
    cwr_register_driver(&test_driver_full[1]);
    cwr_register_driver(&test_driver_minimal); // no init: skipped
    cwr_register_driver(&test_driver_full[0]);
    cwr_init_drivers();
    EXPECT_EQ(test_log[0].calls, std::vector<std::string>{"init"});
    EXPECT_EQ(test_log[1].calls, std::vector<std::string>{"init"});
}

TEST_F(DriverRegistry, FailingOpenReportsOnceLeavesNoDriverAndKeepsIndex)
{
    cwr_register_driver(&test_driver_full[0]);
    cwr_register_driver(&test_driver_full[1]);
    cwr_set_driver(0, 48000);
    test_log[1].open_result = -7;
    cwr_set_driver(1, 44100);

    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], std::string("Sound driver error:\n") + test_driver_error_text);
    // The failed driver's own text was asked for.
    EXPECT_EQ(test_log[1].calls, (std::vector<std::string>{"open", "error_message"}));
    EXPECT_EQ(test_log[0].calls, (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(cwr_get_current_driver(), 1);
    // Shutdown then stores no name and closes nothing.
    EXPECT_EQ(cwr_current_driver_name(), nullptr);
    cwr_close_driver();
    EXPECT_EQ(test_log[1].count("close"), 0);
    // Nothing to explain without a current driver.
    cwr_driver_errmessage(-1);
    EXPECT_EQ(reported.size(), 1u);
}

TEST_F(DriverRegistry, SelectingTheCurrentIndexClosesAndReopensAtTheNewRate)
{
    cwr_register_driver(&test_driver_full[0]);
    cwr_set_driver(0, 48000);
    cwr_set_driver(0, 96000);
    EXPECT_EQ(test_log[0].calls, (std::vector<std::string>{"open", "close", "open"}));
    EXPECT_EQ(test_log[0].open_rates, (std::vector<int32_t>{48000, 96000}));
    EXPECT_EQ(driver, &test_driver_full[0]);
    EXPECT_STREQ(cwr_current_driver_name(), "Test0");
    cwr_close_driver();
    EXPECT_EQ(test_log[0].count("close"), 2);
    EXPECT_EQ(driver, nullptr);
}

TEST_F(DriverRegistry, IndexOutsideTheListClosesTheOldDriverSilently)
{
    cwr_register_driver(&test_driver_full[0]);
    cwr_set_driver(0, 48000);
    cwr_set_driver(5, 48000);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(cwr_get_current_driver(), 5);
    cwr_set_driver(-1, 48000);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(test_log[0].calls, (std::vector<std::string>{"open", "close"}));
    EXPECT_TRUE(reported.empty());
}

TEST_F(DriverRegistry, DriverWithOnlyWriteAndErrorMessageSelectsAndCloses)
{
    cwr_register_driver(&test_driver_minimal);
    cwr_init_drivers();
    cwr_set_driver(0, 48000);
    EXPECT_EQ(driver, &test_driver_minimal);
    cwr_set_driver(0, 44100);
    cwr_close_driver();
    EXPECT_TRUE(test_log[0].calls.empty());
    EXPECT_TRUE(reported.empty());
}

TEST_F(DriverRegistry, DefaultReporterPrintsTheTextOnStderr)
{
    cwr_set_error_reporter(nullptr);
    cwr_register_driver(&test_driver_full[0]);
    test_log[0].open_result = -1;
    testing::internal::CaptureStderr();
    cwr_set_driver(0, 48000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Sound driver error:\n") + test_driver_error_text + "\n");
}

TEST(PulseDriverRecord, FillsItsPositionsAndAlwaysGivesTheSameText)
{
    EXPECT_NE(driver_pulse.open, nullptr);
    EXPECT_EQ(driver_pulse.start, nullptr);
    EXPECT_NE(driver_pulse.write, nullptr);
    EXPECT_EQ(driver_pulse.finish, nullptr);
    EXPECT_NE(driver_pulse.close, nullptr);
    EXPECT_EQ(driver_pulse.settings_widget, nullptr);
    EXPECT_EQ(driver_pulse.init, nullptr);
    EXPECT_EQ(driver_pulse.setup_done, nullptr);
    EXPECT_STREQ(driver_pulse.error_message(-1),
                 "Sorry, no diagnostics is available in Pulseaudio driver");
    EXPECT_STREQ(driver_pulse.error_message(-42), driver_pulse.error_message(-1));
}

TEST(PulseDriverRecord, WriteWithoutAnOpenStreamFailsAndDrainToo)
{
    // Also after a close: the freed stream is forgotten.
    driver_pulse.close();
    const int16_t frames[4] = {};
    EXPECT_EQ(driver_pulse.write(frames, 4), -1);
    EXPECT_EQ(pulse_drain(), -1);
}

} // namespace
