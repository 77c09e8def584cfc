#!/usr/bin/python3
"""The installed plugin in a real host: jalv under a private JACK server with
the dummy driver (no sound card), notes sent to its MIDI port through JACK and
its output recorded through JACK. Each note must sound at its pitch within 3
cents of the root key's partial moved in equal-tempered steps, and start
within one period of the frame it was sent at (beyond the time the strike
takes to reach the listening node, taken from clangwright-render's rendering
of the same notes). The servers this test starts stop with it, even when it
is killed.

Usage: lv2_jack_test.py --prefix PREFIX --render CLANGWRIGHT_RENDER
                        --analyse CLANGWRIGHT_ANALYSE --scratch DIR
Exit status 77: jackd, jalv or the JACK client module is missing."""

import argparse
import array
import ctypes
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import wave

RATE = 48000
PERIOD = 256
URI = "https://clangwright.org/lv2/clangwright"
# The monochord of the preset library: a rod struck across, its partials
# nearly harmonic and far apart, so that each is measured alone.
INSTRUMENT = [("shape", "1", "--shape", "rod"), ("rod_length", "40", "--rod-length", "40"),
              ("tension", "4", "--tension", "4"),
              ("speed", "0.19625786925641234", "--speed", "0.19625786925641234"),
              ("damping", "0.3", "--damping", "0.3"),
              ("actuation", "1", "--actuation", "perpendicular")]
ROOT, ROOT_NAME = 62, "D4"
# Three octaves, the root first; each held 0.4 s, 0.7 s apart, released
# within 0.1 s, so that each has died before the next.
KEYS = [ROOT, 38, 45, 50, 55, 57, 67, 69, 74]
NOTE_S, SPACING_S, RELEASE_S = 0.4, 0.7, 0.1
# The analysis ends this many frames before the key-up.
KEY_UP_MARGIN = 64
# A tick of the score file: 480 a beat at 120 beats a minute, 50 frames.
TICK_S = 1 / 960
# The engine tunes every key within 3 cents of the root's partial moved in
# equal-tempered steps, and the analysis measures a partial within 1 cent of
# a sum of decaying sines; the recording adds nothing (floats through JACK).
CENTS_TOLERANCE = 3.0
# A note starts where it first comes within 60 dB of its peak: the strike
# reaches the listening node within a few steps.
ONSET_DB = -60.0
START_TIMEOUT_S = 20.0

try:
    import jack
except ImportError:
    jack = None


def die_with_parent():
    """Run in each child before it starts: it gets SIGTERM when this test
    ends, however it ends."""
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, signal.SIGTERM)


def wait_for(what, test, timeout=START_TIMEOUT_S):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        result = test()
        if result:
            return result
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def client_or_none(name, server):
    try:
        return jack.Client(name, servername=server, no_start_server=True)
    except jack.JackError:
        return None


def partials(analyse, path):
    out = subprocess.run([analyse, "--json", path], capture_output=True, text=True,
                         timeout=60, check=True)
    return [p["freq_hz"] for p in json.loads(out.stdout.splitlines()[0])["partials"]]


def cents(hz, reference_hz):
    return 1200 * math.log2(hz / reference_hz)


def onset_of(samples, at, length):
    note = samples[at: at + length]
    peak = max(abs(x) for x in note)
    if peak == 0.0:
        return None, 0.0
    threshold = peak * 10 ** (ONSET_DB / 20)
    return next(i for i, x in enumerate(note) if abs(x) > threshold), peak


def rendered_onsets(args):
    """Frames from each note's start to its onset in the renderer's sound of
    the same notes: the time the strike takes to reach the listening node."""
    import mido
    score = mido.MidiFile(ticks_per_beat=480)
    track = mido.MidiTrack()
    score.tracks.append(track)
    on_ticks, off_ticks = round(NOTE_S / TICK_S), round((SPACING_S - NOTE_S) / TICK_S)
    for i, key in enumerate(KEYS):
        track.append(mido.Message("note_on", note=key, velocity=110, time=0 if i == 0 else off_ticks))
        track.append(mido.Message("note_off", note=key, velocity=64, time=on_ticks))
    midi = os.path.join(args.scratch, "notes.mid")
    wav = os.path.join(args.scratch, "notes.wav")
    score.save(midi)
    subprocess.run([args.render, "--midi", midi, "--bits", "32f", "-q", "-o", wav, "--root",
                    ROOT_NAME, "--release", str(RELEASE_S)]
                   + [a for c in INSTRUMENT for a in c[2:]], check=True, timeout=60)
    with open(wav, "rb") as f:
        data = f.read()
    at = 12
    while data[at: at + 4] != b"data":
        at += 8 + int.from_bytes(data[at + 4: at + 8], "little")
    samples = array.array("f")
    samples.frombytes(data[at + 8: at + 8 + int.from_bytes(data[at + 4: at + 8], "little")])
    left = samples[0::2]
    return [onset_of(left, round(i * SPACING_S * RATE), int(SPACING_S * RATE))[0]
            for i in range(len(KEYS))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--render", required=True)
    parser.add_argument("--analyse", required=True)
    parser.add_argument("--scratch", required=True)
    args = parser.parse_args()
    if jack is None or not shutil.which("jackd") or not shutil.which("jalv"):
        print("jackd, jalv or python3-jack-client missing")
        return 77
    os.makedirs(args.scratch, exist_ok=True)

    server = "cw-lv2-%d" % os.getpid()
    env = dict(os.environ, JACK_DEFAULT_SERVER=server, JACK_NO_START_SERVER="1",
               LV2_PATH=os.path.join(args.prefix, "lib", "lv2"), HOME=args.scratch)
    os.environ.update(JACK_DEFAULT_SERVER=server, JACK_NO_START_SERVER="1")
    started = []
    log = open(os.path.join(args.scratch, "jack.log"), "w")
    try:
        started.append(subprocess.Popen(
            # Synchronous: each cycle waits for every client, so none sees
            # the frame time of another cycle.
            ["jackd", "-n", server, "--no-realtime", "--sync", "-d", "dummy", "-r", str(RATE),
             "-p", str(PERIOD)],
            env=env, stdout=log, stderr=subprocess.STDOUT, preexec_fn=die_with_parent))
        probe = wait_for("the JACK server", lambda: client_or_none("cw-probe", server))
        # jalv's console reads commands from its standard input until it ends.
        started.append(subprocess.Popen(
            ["jalv", "-n", "cw-jalv", "-x", "-c", "root_key=%d" % ROOT,
             "-c", "release=%g" % RELEASE_S]
            + [a for c in INSTRUMENT for a in ("-c", "%s=%s" % c[:2])] + [URI],
            env=env, stdin=subprocess.PIPE, stdout=log, stderr=subprocess.STDOUT,
            preexec_fn=die_with_parent))
        wait_for("jalv's ports", lambda: len(probe.get_ports("cw-jalv:")) >= 3)
        probe.deactivate()
        probe.close()
        return play_and_check(server, args)
    finally:
        for process in reversed(started):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        log.close()


def play_and_check(server, args):
    sender = jack.Client("cw-send", servername=server, no_start_server=True)
    recorder = jack.Client("cw-record", servername=server, no_start_server=True)
    midi_out = sender.midi_outports.register("midi")
    inputs = [recorder.inports.register("in_l"), recorder.inports.register("in_r")]
    schedule = []  # (frame, bytes), filled once the first cycle's time is known
    chunks = []    # (frame, left bytes)
    sent_at = {}   # scheduled frame: the frame it went out at
    lock = threading.Lock()

    @sender.set_process_callback
    def send(frames):
        midi_out.clear_buffer()
        now = sender.last_frame_time
        with lock:
            while schedule and schedule[0][0] < now + frames:
                frame, message = schedule.pop(0)
                # A cycle this client missed sends it late: the frame it
                # went out at is the one the onset is measured from.
                offset = max(0, frame - now)
                midi_out.write_midi_event(offset, message)
                sent_at[frame] = now + offset

    @recorder.set_process_callback
    def record(frames):
        chunks.append((recorder.last_frame_time, bytes(inputs[0].get_buffer())))

    def connected(client, source, destination):
        try:
            client.connect(source, destination)
            return True
        except jack.JackError:
            return False  # jalv registers its ports before it is active

    with sender, recorder:
        wait_for("jalv to be active",
                 lambda: connected(sender, midi_out, "cw-jalv:midi_in"))
        recorder.connect("cw-jalv:out_l", inputs[0])
        recorder.connect("cw-jalv:out_r", inputs[1])
        start = sender.frame_time + RATE // 2
        sent = []
        with lock:
            for i, key in enumerate(KEYS):
                on = start + int(i * SPACING_S * RATE)
                off = on + int(NOTE_S * RATE)
                schedule += [(on, bytes([0x90, key, 110])), (off, bytes([0x80, key, 64]))]
                sent.append((key, on))
        end = start + int(len(KEYS) * SPACING_S * RATE) + RATE // 4
        wait_for("the score to play", lambda: chunks and chunks[-1][0] > end,
                 timeout=len(KEYS) * SPACING_S + 20)

    # The chunks joined as they came; each chunk's frame time finds its
    # place.
    recording = array.array("f")
    starts = {}
    for frame, data in chunks:
        starts[frame] = len(recording)
        recording.frombytes(data)
    failures = []
    measured = {}
    own = rendered_onsets(args)
    for (key, scheduled), own_onset in zip(sent, own):
        on = sent_at.get(scheduled, scheduled)
        cycle = on - (on - chunks[0][0]) % PERIOD
        # Every cycle from the lead to the key-up, one after another: a cycle
        # the recorder missed would splice the note.
        cycles = range(cycle - 2 * PERIOD, on + int(NOTE_S * RATE) + PERIOD, PERIOD)
        if any(c not in starts or starts[c] - starts[cycles[0]] != c - cycles[0]
               for c in cycles):
            print("key %d: not measured, the recorder missed a cycle of it" % key)
            continue
        at = starts[cycle] + on - cycle
        lead = 2 * PERIOD
        note = recording[at - lead: at + int(SPACING_S * RATE) - lead]
        onset, peak = onset_of(note, 0, len(note))
        if onset is None or own_onset is None:
            failures.append("key %d is silent" % key)
            continue
        onset -= lead
        # JACK hands a client's output to the next one in the same period,
        # or in the next when a client was late.
        if not 0 <= onset - own_onset <= PERIOD:
            failures.append("key %d starts %d frames after it was sent, the strike takes %d"
                            % (key, onset, own_onset))
        path = os.path.join(args.scratch, "key-%d.wav" % key)
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(RATE)
            # Up to the key-up: the release damps the mesh harder, which
            # also moves its partials.
            start = lead + onset
            body = note[start: start + int(NOTE_S * RATE) - own_onset - KEY_UP_MARGIN]
            w.writeframes(array.array(
                "h", (int(round(32767 * x / peak)) for x in body)).tobytes())
        measured[key] = partials(args.analyse, path)
        print("key %d: onset %d frames (the strike: %d), partials %s"
              % (key, onset, own_onset, measured[key][:4]))
    if measured.get(ROOT):
        # The partial the keys are tuned by is the root's lowest; at other
        # keys the analysis may list another partial lowest, so the one
        # nearest the expected frequency is taken.
        reference = min(measured[ROOT])
        for key, found in measured.items():
            expected = reference * 2 ** ((key - ROOT) / 12)
            nearest = min(found, key=lambda hz: abs(cents(hz, expected)), default=None)
            off = cents(nearest, expected) if nearest else float("inf")
            if abs(off) > CENTS_TOLERANCE:
                failures.append("key %d is %.1f cents off" % (key, off))
    # A cycle the recorder alone missed costs a note; the root and most
    # keys remain.
    if not measured.get(ROOT) or len(measured) < len(KEYS) - 2:
        failures.append("only %d of %d keys were measured" % (len(measured), len(KEYS)))
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
