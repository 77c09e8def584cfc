// A thread of its own for analysing sounds, so that a program's main loop
// (the window's playback above all) never waits for an analysis.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sound_analysis.h"

//! Analyses sounds on one thread, one at a time. A request that has not
//! started yet is replaced by a newer one: only the latest sound matters. The
//! thread starts with the first request and ends with the worker. The rest of
//! the program stays single-threaded: it hands over copies of its frames and
//! gets the results through `done`.
class AnalysisWorker {
public:
    //! Called on the worker's thread with the ticket of a request and its
    //! analysis; it must hand the result over to wherever it is wanted (for
    //! the window: g_idle_add onto the main loop).
    using Done = std::function<void(uint64_t ticket, SoundAnalysis analysis)>;

    explicit AnalysisWorker(Done done);
    AnalysisWorker(const AnalysisWorker &) = delete;
    AnalysisWorker &operator=(const AnalysisWorker &) = delete;
    //! Waits for the analysis under way, drops the one waiting, ends the thread.
    ~AnalysisWorker();

    //! Asks for the analysis of `frames` (taken over) at `rate_hz`, reported
    //! with `ticket`. Returns at once. Any thread.
    void request(uint64_t ticket, std::vector<int16_t> frames, int32_t rate_hz);

private:
    struct Job {
        uint64_t ticket;
        std::vector<int16_t> frames;
        int32_t rate_hz;
    };
    void run();

    Done done_;
    SoundAnalyser analyser_; // used only on the worker's thread
    std::mutex lock_;
    std::condition_variable wake_;
    std::optional<Job> waiting_;
    bool ending_ = false;
    std::thread thread_;
};
