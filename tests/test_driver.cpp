#include "test_driver.h"

#include <algorithm>

TestDriverLog test_log[2];

int TestDriverLog::count(const std::string &call) const
{
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

std::vector<int16_t> TestDriverLog::consumed_frames() const
{
    std::vector<int16_t> frames;
    for (const WriteCall &w : writes)
        frames.insert(frames.end(), w.taken.begin(), w.taken.end());
    return frames;
}

namespace {

template <int Id> int32_t op_open(int32_t rate)
{
    test_log[Id].calls.push_back("open");
    test_log[Id].open_rates.push_back(rate);
    return test_log[Id].open_result;
}

template <int Id> int32_t op_start(int32_t rate)
{
    test_log[Id].calls.push_back("start");
    test_log[Id].start_rates.push_back(rate);
    return test_log[Id].start_result;
}

template <int Id> int32_t op_write(const int16_t *frames, int32_t count)
{
    TestDriverLog &log = test_log[Id];
    log.calls.push_back("write");
    const int32_t consumed = log.write_result ? log.write_result(count) : count;
    const int32_t taken = std::clamp(consumed, 0, count);
    log.writes.push_back({frames, count, consumed, std::vector<int16_t>(frames, frames + taken)});
    return consumed;
}

template <int Id> void op_finish()
{
    test_log[Id].calls.push_back("finish");
}

template <int Id> void op_close()
{
    test_log[Id].calls.push_back("close");
}

template <int Id> const char *op_error_message(int32_t)
{
    test_log[Id].calls.push_back("error_message");
    return test_driver_error_text;
}

template <int Id> _GtkWidget *op_settings_widget()
{
    test_log[Id].calls.push_back("settings_widget");
    return nullptr;
}

template <int Id> void op_init()
{
    test_log[Id].calls.push_back("init");
}

template <int Id> void op_setup_done(int32_t applied)
{
    test_log[Id].calls.push_back("setup_done");
    test_log[Id].setup_done_args.push_back(applied);
}

template <int Id> constexpr SoundDriver full_driver(const char *name)
{
    return {name,         op_open<Id>,           op_start<Id>,
            op_write<Id>, op_finish<Id>,         op_close<Id>,
            op_error_message<Id>, op_settings_widget<Id>, op_init<Id>,
            op_setup_done<Id>};
}

} // namespace

const SoundDriver test_driver_full[2] = {full_driver<0>("Test0"), full_driver<1>("Test1")};

const SoundDriver test_driver_minimal = {"Minimal", nullptr,           nullptr, op_write<0>, nullptr,
                                         nullptr,   op_error_message<0>, nullptr, nullptr,     nullptr};
