// The window's live sound without JACK: a PulseAudio stream of its own
// (beside the driver's, on the same server and sink) fed by a thread of its
// own in small blocks, so that a key is heard within a few milliseconds. The
// thread's render function must not allocate, lock or call the system: the
// blocking write is its only wait while it plays. While nothing sounds and
// nothing is asked for, the thread sleeps until wake() (the stream runs dry
// and the server waits for it to fill again, a target's length).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

struct pa_simple;

class LiveStream {
public:
    //! Fills `frames` frames of `left` and `right` (the render of one block).
    using Render = void (*)(void *user, float *left, float *right, uint32_t frames);
    //! True while there is nothing to play: no voice sounds, nothing queued.
    using Idle = bool (*)(void *user);

    //! Frames rendered and written at a time.
    static constexpr uint32_t block_frames = 256;
    //! What the server is asked to hold before it plays (its target length).
    static constexpr double target_ms = 15.0;

    //! Connects a stereo float stream at `rate_hz` to the server and sink the
    //! driver uses (the defaults) and starts the thread. Null when no server
    //! takes it.
    static std::unique_ptr<LiveStream> open(int32_t rate_hz, Render render, Idle idle,
                                            void *user);
    //! Something was queued for the render: a sleeping thread plays again.
    void wake();
    //! Ends the thread after its current block and disconnects.
    ~LiveStream();
    LiveStream(const LiveStream &) = delete;
    LiveStream &operator=(const LiveStream &) = delete;

    int32_t rate_hz() const { return rate_hz_; }
    //! False once a write failed (the server went away); the thread has ended.
    bool running() const { return !failed_.load(std::memory_order_acquire); }

private:
    LiveStream() = default;
    void run();

    struct PaSimpleFree {
        void operator()(pa_simple *s) const;
    };
    std::unique_ptr<pa_simple, PaSimpleFree> stream_;
    int32_t rate_hz_ = 0;
    Render render_ = nullptr;
    Idle idle_ = nullptr;
    std::atomic<uint32_t> wakes_{0};
    void *user_ = nullptr;
    std::vector<float> left_, right_, interleaved_;
    std::atomic<bool> stop_{false}, failed_{false};
    std::thread thread_;
};
