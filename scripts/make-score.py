#!/usr/bin/python3
"""Writes the demo score, data/scores/chime-melody.mid: four bars of a chime
melody over chords, on MIDI channel 1, with the sustain pedal changed at each
bar, slowing from 100 to 88 to 72 beats a minute (about 10.9 s). Format 1: a
tempo track, then the notes, every key between C5 and C7 (MIDI 72 to 96). The
file is committed: a build never runs this. Needs Debian's python3-mido.

    scripts/make-score.py [OUTPUT]      (default: data/scores/chime-melody.mid)
"""
import os
import sys

import mido

TICKS_PER_BEAT = 480
BEATS_PER_BAR = 4
BAR = TICKS_PER_BEAT * BEATS_PER_BAR
CHANNEL = 0  # MIDI channel 1
SUSTAIN = 64  # the sustain pedal's controller
PEDAL_DOWN, PEDAL_UP = 127, 0
# The pedal goes down just after the bar line and up just before the next,
# so that each bar's chord rings alone.
PEDAL_LATE, PEDAL_EARLY = 10, 20
# Notes end a little early; the pedal holds them.
GAP = 20
CHORD_VELOCITY, MELODY_VELOCITY = 64, 96

# (beat of the change, beats a minute)
TEMPI = [(0, 100), (2 * BEATS_PER_BAR, 88), (3 * BEATS_PER_BAR, 72)]

# Per bar: the chord held through the bar, and the melody as (key, beats).
BARS = [
    ([72, 79, 84], [(88, 1), (91, 1), (96, 2)]),
    ([77, 81, 84], [(93, 1), (91, 0.5), (89, 0.5), (88, 2)]),
    ([74, 79, 83], [(86, 1), (91, 1), (95, 1), (93, 1)]),
    ([72, 76, 79], [(91, 0.5), (88, 0.5), (86, 1), (96, 2)]),
]

# Events at the same tick: notes end, then the pedal moves, then notes start.
NOTE_OFF, PEDAL, NOTE_ON = 0, 1, 2


def track_of(events, name):
    """A track from (tick, order, message) events, in time order."""
    track = mido.MidiTrack([mido.MetaMessage("track_name", name=name, time=0)])
    now = 0
    for tick, _, message in sorted(events, key=lambda e: (e[0], e[1])):
        track.append(message.copy(time=tick - now))
        now = tick
    return track, now


def note(events, key, start, length, velocity):
    events.append((start, NOTE_ON, mido.Message(
        "note_on", channel=CHANNEL, note=key, velocity=velocity)))
    events.append((start + length - GAP, NOTE_OFF, mido.Message(
        "note_off", channel=CHANNEL, note=key, velocity=0)))


def main():
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        top, "data", "scores", "chime-melody.mid")

    notes = []
    for bar, (chord, melody) in enumerate(BARS):
        start = bar * BAR
        for key in chord:
            note(notes, key, start, BAR, CHORD_VELOCITY)
        at = start
        for key, beats in melody:
            length = int(beats * TICKS_PER_BEAT)
            note(notes, key, at, length, MELODY_VELOCITY)
            at += length
        assert at == start + BAR, "bar %d does not fill four beats" % (bar + 1)
        for tick, value in ((start + PEDAL_LATE, PEDAL_DOWN),
                            (start + BAR - PEDAL_EARLY, PEDAL_UP)):
            notes.append((tick, PEDAL, mido.Message(
                "control_change", channel=CHANNEL, control=SUSTAIN, value=value)))
    assert all(72 <= m.note <= 96 for _, _, m in notes if m.type.startswith("note"))

    tempo = [(0, 0, mido.MetaMessage("time_signature", numerator=BEATS_PER_BAR, denominator=4))]
    tempo += [(beat * TICKS_PER_BEAT, 1, mido.MetaMessage("set_tempo", tempo=mido.bpm2tempo(bpm)))
              for beat, bpm in TEMPI]

    song = mido.MidiFile(type=1, ticks_per_beat=TICKS_PER_BEAT)
    # Both tracks end with the last bar, so that the score lasts as long as
    # the music.
    for events, name in ((tempo, "Tempo"), (notes, "Chimes")):
        track, last = track_of(events, name)
        track.append(mido.MetaMessage("end_of_track", time=len(BARS) * BAR - last))
        song.tracks.append(track)
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    song.save(out)
    print("%s: %.2f s" % (out, song.length))


if __name__ == "__main__":
    main()
