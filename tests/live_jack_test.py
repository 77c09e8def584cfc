#!/usr/bin/python3
"""clangwright-live against a private jackd (dummy backend), end to end:
    live_jack_test.py LIVE RENDER PRESET SCRATCH
No server: one line, status 1. Notes from the test's own MIDI port (flagged
physical, so that --connect finds it) come out at the pitch and the time
clangwright-render --midi gives the same notes; SIGTERM ends with status 0;
the server killed while a note rings: status 1 and one line."""

import ctypes
import glob
import os
import signal
import subprocess
import sys
import threading
import time
import wave

import jack
import mido
import numpy as np

LIVE, RENDER, PRESET, SCRATCH = sys.argv[1:5]
RATE, PERIOD = 48000, 256
# (key, frame within its cycle): events reach the engine at their own frame.
NOTES = [(84, 0), (91, 37), (72, 101), (96, 200), (79, 255)]
SPACING, HELD = RATE // 2, RATE * 35 // 100  # key-up after 0.35 s, 60 dB down 0.05 s later
WINDOW = RATE * 3 // 10  # each pitch is measured over the note's first 0.3 s
# The limit. Both signals come from the same engine and go through
# the same estimator, so a working program is far inside it; a wrong key,
# rate or instrument is a semitone or more off.
MAX_CENTS = 3.0
# One period. Most keys sound on the renderer's frame; keys stepped several
# times a frame are later by their decimator's delay, which depends on the
# block the engine was prepared for (256 here, 4096 in the renderer): key 96
# by some 80 frames.
MAX_ONSET = PERIOD
SERVER = f"cw-live-test-{os.getpid()}"  # other developers' tests run other servers
ENV = dict(os.environ, HOME=SCRATCH, XDG_CONFIG_HOME=SCRATCH, JACK_DEFAULT_SERVER=SERVER,
           JACK_NO_AUDIO_RESERVATION="1", LC_ALL="C")


def check(condition, message):
    if not condition:
        sys.exit(f"FAIL: {message}")


def end_with_test():
    # A server outliving the test (one killed at its timeout) would keep one
    # of the 8 places for servers that libjack has on the machine, as would a
    # killed server until a server of its name starts again: SIGTERM when the
    # test ends, whatever ends it (PR_SET_PDEATHSIG).
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)


def start_server():
    jack.set_error_function(lambda message: None)  # "no server" while it starts
    # Synchronous mode: a cycle waits for every client, so that the test's
    # Python clients, on a busy machine, make a cycle late instead of missing it.
    # 32 ports (10 are used) take 40 MB of /dev/shm rather than the 2048
    # ports' 110 MB, which a container's 64 MB would not hold.
    server = subprocess.Popen(["jackd", "-n", SERVER, "--no-realtime", "--sync", "--port-max", "32",
                               "-d", "dummy", "-r", str(RATE), "-p", str(PERIOD)], env=ENV,
                              preexec_fn=end_with_test,
                              stdout=open(f"{SCRATCH}/jackd.log", "ab"), stderr=subprocess.STDOUT)
    for _ in range(100):
        try:
            return server, [jack.Client(name, no_start_server=True, servername=SERVER)
                            for name in ("test", "recorder")]
        except jack.JackOpenError:
            time.sleep(0.1)
    check(False, "jackd did not start: " + open(f"{SCRATCH}/jackd.log").read()[-2000:])


def peak_hz(x, near_hz=None):
    """The strongest peak (within a semitone of `near_hz`): Blackman-Harris
    window, 8 times zero-padded, a parabola through the log magnitudes."""
    n = 1 << int(np.ceil(np.log2(len(x) * 8)))
    t = 2 * np.pi * np.arange(len(x)) / (len(x) - 1)
    w = 0.35875 - 0.48829 * np.cos(t) + 0.14128 * np.cos(2 * t) - 0.01168 * np.cos(3 * t)
    spectrum = np.abs(np.fft.rfft(x * w, n))
    hz = np.arange(len(spectrum)) * RATE / n
    band = (hz > 20) & (hz < 0.45 * RATE)
    if near_hz:
        band &= np.abs(np.log2(np.maximum(hz, 1) / near_hz)) < 1 / 12
    k = int(np.argmax(np.where(band, spectrum, 0)))
    a, b, c = np.log(spectrum[k - 1:k + 2] + 1e-30)
    return (k + 0.5 * (a - c) / (a - 2 * b + c)) * RATE / n


def onset(x, start, level):
    above = np.nonzero(np.abs(x[start:]) >= level)[0]
    check(len(above), "a note never sounded")
    return start + int(above[0])


def rendered_notes(lead):
    """Per note: the frames from key-down to sound, the pitch, a level to
    find its onset by, all from the renderer's frames of the same notes."""
    track = mido.MidiTrack()
    events = sorted([(lead + i * SPACING, "note_on", k) for i, (k, _) in enumerate(NOTES)] +
                    [(lead + i * SPACING + HELD, "note_off", k) for i, (k, _) in enumerate(NOTES)])
    tick = 0
    for at, kind, key in events:  # 480 ticks a beat at 120 beats a minute: 50 frames a tick
        track.append(mido.Message(kind, note=key, velocity=110, time=at // 50 - tick))
        tick = at // 50
    mido.MidiFile(ticks_per_beat=480, tracks=[track]).save(f"{SCRATCH}/notes.mid")
    subprocess.run([RENDER, "--preset", PRESET, "--midi", f"{SCRATCH}/notes.mid", "--release",
                    "0.05", "--bits", "16", "-q", "-o", f"{SCRATCH}/notes.wav"], check=True)
    with wave.open(f"{SCRATCH}/notes.wav") as f:
        x = np.frombuffer(f.readframes(f.getnframes()), "<i2")[0::2] / 32768.0
    notes = []
    for i in range(len(NOTES)):
        at = lead + i * SPACING
        level = 0.1 * np.max(np.abs(x[at:at + WINDOW]))
        notes.append((onset(x, at, level) - at, peak_hz(x[at:at + WINDOW]), level))
    return notes


class Keyboard:
    """The test's MIDI out: plays events given in frames from a cycle's start
    that its own callback picks, so that a stall of the main thread cannot
    put them in the past, and keeps the frame each went out at. A second
    client records out_l and out_r into `take` from `lead` frames before
    (one client for both would close a loop through the program)."""

    def __init__(self, sender, recorder):
        self.sender, self.recorder, self.lock, self.pending, self.sent, self.asked = \
            sender, recorder, threading.Lock(), [], [], None
        self.midi = sender.midi_outports.register("midi_out", is_terminal=True, is_physical=True)
        self.inputs = [recorder.inports.register("in_l"), recorder.inports.register("in_r")]
        self.take = (0, np.zeros((2, 0), np.float32))  # (first frame, recording), swapped whole
        sender.set_process_callback(self.send)
        recorder.set_process_callback(self.record)
        sender.activate()
        recorder.activate()

    def send(self, frames):
        self.midi.clear_buffer()
        now = self.sender.last_frame_time
        with self.lock:
            if self.asked:
                (events, lead, length), self.asked = self.asked, None
                base = (now // PERIOD + 2) * PERIOD + lead // PERIOD * PERIOD
                self.take = (base - lead, np.full((2, lead + length), np.nan, np.float32))
                self.pending = [(base + at, message) for at, message in events]
            while self.pending and self.pending[0][0] < now + frames:
                at, message = self.pending.pop(0)
                self.midi.write_midi_event(max(at - now, 0), message)
                self.sent.append((max(at, now), message))

    def record(self, frames):
        start, audio = self.take
        at = self.recorder.last_frame_time - start
        lo, hi = max(at, 0), min(at + frames, audio.shape[1])
        for channel, port in enumerate(self.inputs if lo < hi else []):
            audio[channel, lo:hi] = port.get_array()[lo - at:hi - at]

    def play(self, events, lead, frames):
        """Plays `events` and records `frames` after them; returns the take."""
        with self.lock:
            self.sent, self.asked = [], (sorted(events), lead, frames)
        while self.asked or self.pending or self.sender.frame_time < sum(
                (self.take[0], self.take[1].shape[1], PERIOD)):
            time.sleep(0.05)
        return self.take


def main():
    os.makedirs(SCRATCH, exist_ok=True)
    none = subprocess.run([LIVE], env=ENV, capture_output=True, text=True, timeout=20)
    check((none.returncode, none.stderr) == (1, "clangwright-live: no JACK server is running; "
          "start one first (jackd, or PipeWire's JACK)\n"), f"no server: {none}")
    lead = RATE // 10
    expected = rendered_notes(lead)
    server, clients = start_server()
    client, keyboard, live = clients[0], Keyboard(*clients), None
    try:
        live = subprocess.Popen([LIVE, "--preset", PRESET, "--release", "0.05", "--connect"],
                                env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        check(live.stdout.readline().startswith("Playing as clangwright"), "no start line")
        links = {p: [q.name for q in client.get_all_connections(p)]
                 for p in ("clangwright:out_l", "clangwright:out_r", "clangwright:midi_in")}
        check(links == {"clangwright:out_l": ["system:playback_1"],
                        "clangwright:out_r": ["system:playback_2"],
                        "clangwright:midi_in": ["test:midi_out"]}, f"--connect made {links}")
        client.connect("clangwright:out_l", "recorder:in_l")
        client.connect("clangwright:out_r", "recorder:in_r")
        events = []
        for i, (key, in_cycle) in enumerate(NOTES):
            at = i * SPACING // PERIOD * PERIOD + in_cycle  # the base is a cycle's start
            events += [(at, bytes([0x90, key, 110])), (at + HELD, bytes([0x80, key, 0]))]
        start, (left, right) = keyboard.play(events, lead, len(NOTES) * SPACING)
        check(not np.isnan(left).any(), "the test's client missed a cycle")
        check(np.max(np.abs(right)) > 0, "out_r is silent")
        downs = [at - start for at, m in keyboard.sent if m[0] == 0x90]
        for (key, _), (delay, hz, level), at in zip(NOTES, expected, downs):
            heard = onset(left, at - MAX_ONSET, level) - at
            live_hz = peak_hz(left[at + heard - delay:at + heard - delay + WINDOW], hz)
            cents = 1200 * np.log2(live_hz / hz)
            print(f"key {key}: {live_hz:.2f} Hz against {hz:.2f} ({cents:+.2f} cents), "
                  f"sounds after {heard} frames against {delay}")
            check(abs(cents) <= MAX_CENTS and abs(heard - delay) <= MAX_ONSET, f"key {key}")
        live.send_signal(signal.SIGTERM)
        out, err = live.communicate(timeout=20)  # raises when it does not end
        status = live.returncode
        check(status == 0 and err == "" and out.startswith("Xruns: "), f"SIGTERM: {status} {err!r}")

        live = subprocess.Popen([LIVE, "--preset", PRESET, "--connect", "-q"], env=ENV,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while not client.get_all_connections("test:midi_out"):
            check(live.poll() is None, "clangwright-live ended at its start")
            time.sleep(0.05)
        client.connect("clangwright:out_l", "recorder:in_l")
        _, (left, _) = keyboard.play([(0, bytes([0x90, 84, 127]))], 0, RATE // 4)
        check(np.nanmax(np.abs(left)) > 0, "the note did not sound")
        server.kill()  # while it rings
        out, err = live.communicate(timeout=20)
        status = live.returncode
        check((status, out, err) == (1, "", "clangwright-live: the JACK server has gone away\n"),
              f"server killed: {status} {out!r} {err!r}")
        print("no server, SIGTERM and a killed server: as they should")
    finally:
        if live and live.poll() is None:
            live.kill()
        for c in clients:
            c.close()
        if server.poll() is not None:
            # A server that starts frees its name's place and the shared memory
            # (some 100 MB) a dead one left; the sockets and semaphores of its
            # clients stay.
            server, clients = start_server()
            for c in clients:
                c.close()
        server.terminate()
        server.wait(timeout=10)
        for leftover in glob.glob(f"/dev/shm/jack_*{SERVER}_*"):
            os.remove(leftover)


if __name__ == "__main__":
    main()
