// Rendering a Standard MIDI File through the voice engine: the renderer's
// --midi. The score's events are played at their frames in blocks, so the
// same file and options give the same frames on every machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "instrument.h"
#include "render_options.h"
#include "voice_engine.h"

struct MidiScore;

//! The engine's settings the options ask for. The root: --root, else the
//! note a library preset's name ends in ("chime-C6"), else the sound's own.
voice::EngineSettings score_engine_settings(const RenderOptions &options);

//! Plays `score` through `engine` into interleaved stereo frames: the score's
//! length, then the ring-out until every voice is at rest, at most
//! `ring_out_frames`. Keys still down at the score's end are let go there.
std::vector<double> play_score(const MidiScore &score, voice::VoiceEngine &engine,
                               uint64_t ring_out_frames);

//! --midi: reads the score, plays it, writes the WAV file. Returns the exit
//! status, with any failure said on stderr in one line.
int render_score(const RenderOptions &options, const Instrument &instrument);
