// The audio side of playing the window live, shared by its two outputs (a
// JACK process callback, a PulseAudio stream's thread): notes from the
// window's keyboard come through a lock-free queue, engines prepared for a
// new sound through an atomic pointer, and the engines done with go back
// through a second queue to be freed off the audio thread. process() takes
// no lock, allocates nothing and makes no system call.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "engine_pair.h"
#include "voice_engine.h"

//! A fixed ring between one producer thread and one consumer thread.
template <typename T, size_t Capacity> class SpscQueue {
    static_assert((Capacity & (Capacity - 1)) == 0, "a power of two");

public:
    //! Producer: false, with nothing queued, when the ring is full.
    bool push(const T &value)
    {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == Capacity)
            return false;
        slots_[tail % Capacity] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    //! Consumer: false when the ring is empty.
    bool pop(T &value)
    {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire))
            return false;
        value = slots_[head % Capacity];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    //! Either side: nothing queued now.
    bool empty() const
    {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }
    //! Producer: slots free now (the consumer may free more meanwhile).
    size_t room() const
    {
        return Capacity - (tail_.load(std::memory_order_relaxed) -
                           head_.load(std::memory_order_acquire));
    }

private:
    std::array<T, Capacity> slots_{};
    std::atomic<size_t> head_{0}, tail_{0};
};

//! A channel message without a frame: a key of the window's keyboard.
struct KeyMessage {
    uint8_t status, data1, data2;
};

class LiveSynth {
public:
    //! Keyboard messages waiting at most; more are dropped.
    static constexpr size_t key_queue_size = 256;
    //! Engines waiting to be freed at most.
    static constexpr size_t retired_size = 64;
    //! Events one block takes (keyboard, MIDI and the silencing controller).
    static constexpr size_t max_block_events = 2048 + key_queue_size + 1;

    //! For engines prepared at `rate_hz` for blocks of at most `max_block`.
    LiveSynth(int32_t rate_hz, int32_t max_block);
    //! Frees every engine; no thread may use the synth any more.
    ~LiveSynth();
    LiveSynth(const LiveSynth &) = delete;
    LiveSynth &operator=(const LiveSynth &) = delete;

    int32_t rate_hz() const { return rate_hz_; }
    int32_t max_block() const { return max_block_; }

    // ---- the one thread of the keyboard (the toolkit's) ----

    //! Queues a message for the next block; false when the queue is full.
    bool send(KeyMessage message) { return keys_.push(message); }
    //! The next block silences every voice (all sound off), old sounds too.
    void silence() { silence_.store(true, std::memory_order_release); }

    // ---- the one thread that prepares engines ----

    //! Hands `engine` (prepared at rate_hz() for max_block()) to the audio
    //! thread, which takes it at its next block. An engine offered before
    //! and not yet taken is freed here.
    void offer(std::unique_ptr<voice::VoiceEngine> engine);
    //! Frees the engines the audio thread is done with.
    void collect();

    // ---- the audio thread ----

    //! Renders `frames` stereo frames, overwriting `left` and `right`, with
    //! the queued keyboard messages at frame 0 and then `events` (sorted,
    //! frames below `frames`, as VoiceEngine::process takes them).
    void process(std::span<const voice::VoiceEvent> events, float *left, float *right,
                 uint32_t frames);
    //! Engines taken so far; voices sounding now.
    uint64_t engines_taken() const { return taken_.load(std::memory_order_acquire); }
    int32_t active_voices() const { return active_.load(std::memory_order_relaxed); }
    //! True when a block would be silence: no voice sounds in any engine
    //! and no keyboard message or silencing waits.
    bool idle() const
    {
        return active_.load(std::memory_order_relaxed) == 0 && keys_.empty() &&
               !silence_.load(std::memory_order_acquire);
    }
    //! Keyboard and MIDI messages that found no room.
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    void retire(voice::VoiceEngine *engine);

    const int32_t rate_hz_, max_block_;
    SpscQueue<KeyMessage, key_queue_size> keys_;
    SpscQueue<voice::VoiceEngine *, retired_size> retired_;
    std::atomic<voice::VoiceEngine *> incoming_{nullptr};
    std::atomic<bool> silence_{false};
    std::atomic<uint64_t> taken_{0}, dropped_{0};
    std::atomic<int32_t> active_{0};
    voice::EnginePair pair_;
    std::array<voice::VoiceEvent, max_block_events> events_{};
};
