// Playing the window live: the on-screen keyboard and a JACK server's MIDI
// play the window's instrument through the voice engine, out through JACK
// when a server runs, else through a PulseAudio stream of its own.
//
// Threads: everything here is called on the toolkit's main thread. A worker
// thread prepares an engine for every change of the sound and hands it to
// the audio thread (the JACK process callback or the stream's thread)
// through LiveSynth, which frees the engines done with back on the worker.
// The notes that ring keep their engine until they end.
#pragma once

#include <cstdint>

class LiveSynth;

//! The keys the engine prepared last can play; highest < lowest before the
//! first engine (every key is then taken as playable).
struct LiveKeys {
    int32_t lowest = 0, highest = -1, root = -1;
};

enum class LiveOutput { none, jack, pulse };

//! Starts live play: a JACK client named "clangwright" when a server runs
//! (never started for it), else a PulseAudio stream at `pulse_rate_hz`,
//! else nothing audible; then prepares the engine of `instrument`. Should
//! the JACK server go away, live play starts again on the stream.
void live_play_start(int32_t pulse_rate_hz);
//! As live_play_start, without any output: the caller plays the synth's
//! blocks itself (live_play_synth). For tests.
void live_play_start_unconnected(int32_t rate_hz, int32_t max_block);
//! Stops the output (the stream's thread ended, the JACK client closed),
//! then the worker, and frees every engine. Nothing after it plays.
void live_play_stop();

LiveOutput live_play_output();
//! The synth being played; null before the start and after the stop.
LiveSynth *live_play_synth();

//! A value of the sound changed: a new engine is prepared (the newest
//! sound only, when changes come faster than engines are made).
void live_play_sound_changed();
//! Stop: every voice falls silent, old sounds too.
void live_play_silence();
//! A key of the on-screen keyboard went down (velocity 1 to 127) or up.
void live_play_key(int32_t key, int32_t velocity, bool down);

LiveKeys live_play_keys();
//! Called on the main thread whenever live_play_keys() has changed; null
//! calls nothing.
void live_play_set_keys_listener(void (*listener)());
//! Engines prepared and handed to the audio side so far.
uint64_t live_play_engines_prepared();
