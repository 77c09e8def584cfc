// Analysing sounds on a thread of its own.
#include "analysis_worker.h"

#include <new>
#include <utility>

AnalysisWorker::AnalysisWorker(Done done) : done_(std::move(done)) {}

AnalysisWorker::~AnalysisWorker()
{
    {
        const std::lock_guard<std::mutex> guard(lock_);
        ending_ = true;
        waiting_.reset();
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void AnalysisWorker::request(uint64_t ticket, std::vector<int16_t> frames, int32_t rate_hz)
{
    {
        const std::lock_guard<std::mutex> guard(lock_);
        waiting_ = Job{ticket, std::move(frames), rate_hz};
        if (!thread_.joinable())
            thread_ = std::thread(&AnalysisWorker::run, this);
    }
    wake_.notify_one();
}

void AnalysisWorker::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> guard(lock_);
            wake_.wait(guard, [this] { return ending_ || waiting_; });
            if (ending_)
                return;
            job = std::move(*waiting_);
            waiting_.reset();
        }
        SoundAnalysis analysis;
        try {
            analysis = analyser_.analyse(job.frames, job.rate_hz);
        } catch (const std::bad_alloc &) {
            // Without memory the sound stays unanalysed: an empty result with
            // its rate and length, which shows no partials.
            analysis = SoundAnalysis{};
            analysis.rate_hz = job.rate_hz;
            analysis.frames = job.frames.size();
        }
        done_(job.ticket, std::move(analysis));
    }
}
