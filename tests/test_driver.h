// A sound driver for tests whose operations record their calls. Two records
// exist, so that a test can switch from one to the other.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sound_driver.h"

struct WriteCall {
    const int16_t *frames;
    int32_t count;
    int32_t consumed;           // what the driver answered
    std::vector<int16_t> taken; // copies of the consumed frames, read at the call
};

struct TestDriverLog {
    std::vector<std::string> calls; // "open", "start", "write", "finish", "close"...
    std::vector<int32_t> open_rates;
    std::vector<int32_t> start_rates;
    std::vector<int32_t> setup_done_args;
    std::vector<WriteCall> writes;
    int32_t open_result = 0;
    int32_t start_result = 0;
    // Decides a write's answer from the frames offered; default: all of them.
    std::function<int32_t(int32_t count)> write_result;

    int count(const std::string &call) const;
    //! The frames the driver accepted, in order.
    std::vector<int16_t> consumed_frames() const;
};

extern TestDriverLog test_log[2];

//! Every position filled (name "Test0" or "Test1").
extern const SoundDriver test_driver_full[2];
//! Only write and error_message, recording into test_log[0] (name "Minimal").
extern const SoundDriver test_driver_minimal;

constexpr const char *test_driver_error_text = "the test driver failed";
