// The playback pump.
#include "playback.h"

#include <algorithm>

#include "pulse_driver.h"
#include "render.h"
#include "sound_driver.h"

int32_t playing = 0;
const int16_t *play_cursor = nullptr;
int32_t play_remaining = 0;

namespace {

PlayEventsHook events_hook = nullptr;

// The render whose frames play_cursor points into. A render that the pump has
// not rewound to may have moved or overwritten them.
uint64_t play_generation = 0;

enum class PlayEnd {
    nothing,    // nothing rendered or no driver: no operation was called
    nested,     // an outer call was rewound and plays on
    played_out, // every frame was handed over
    stopped,    // stop request, or the sound was replaced by a render
    failed,     // a driver error, or no driver left after an event run
};

void run_pending_events()
{
    if (events_hook)
        events_hook();
}

PlayEnd play(Instrument *instrument, int32_t rate_hz)
{
    if (!samples || !driver)
        return PlayEnd::nothing;

    // Rewinds a running playback as well: the outer loop reads these.
    play_cursor = samples;
    play_remaining = static_cast<int32_t>(static_cast<uint32_t>(sample_count));
    play_generation = render_generation;
    if (playing)
        return PlayEnd::nested;

    instrument->stop = 0;
    playing = 1;

    const SoundDriver *current = driver;
    if (current->start) {
        const int32_t result = current->start(rate_hz);
        if (result < 0) {
            cwr_driver_errmessage(result);
            playing = 0;
            return PlayEnd::failed;
        }
    }

    PlayEnd end = PlayEnd::played_out;
    while (play_remaining > 0) {
        if (instrument->stop) {
            end = PlayEnd::stopped;
            break;
        }
        const int32_t block = std::min(play_remaining, play_block_frames);
        const int32_t result = current->write(play_cursor, block);
        if (result < 0) {
            cwr_driver_errmessage(result);
            end = PlayEnd::failed;
            break;
        }
        // A driver never consumes more than it was offered; should one claim
        // to, the cursor still stays inside the sound.
        const int32_t consumed = std::min(result, block);
        play_remaining -= consumed;
        play_cursor += consumed;

        run_pending_events();

        current = driver;
        if (!current) {
            // The driver was switched to one that failed to open: it has
            // reported that itself, and there is nobody left to call.
            playing = 0;
            return PlayEnd::failed;
        }
        if (play_generation != render_generation) {
            // A render replaced the sound and no nested call rewound to it.
            end = PlayEnd::stopped;
            break;
        }
    }

    // An error dialog runs its own event loop, so the driver is read again.
    current = driver;
    if (current && current->finish)
        current->finish();
    playing = 0;
    return end;
}

} // namespace

void set_play_events_hook(PlayEventsHook hook)
{
    events_hook = hook;
}

int32_t trigger_play(Instrument *instrument, int32_t rate_hz)
{
    return play(instrument, rate_hz) == PlayEnd::nested ? 0 : 1;
}

int32_t play_and_drain(Instrument *instrument, int32_t rate_hz)
{
    if (play(instrument, rate_hz) != PlayEnd::played_out)
        return 1;
    // The server still holds the tail of the sound; the process must not end
    // before it has been played.
    if (driver == &driver_pulse) {
        const int32_t result = pulse_drain();
        if (result < 0) {
            cwr_driver_errmessage(result);
            return 1;
        }
    }
    return 0;
}
