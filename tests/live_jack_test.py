#!/usr/bin/python3
"""clangwright-live against a private JACK server of the dummy backend.

    live_jack_test.py --live PROGRAM --render PROGRAM --preset FILE --scratch DIR CASE

Each case starts its own jackd under a name no other test uses (the case and
this process's id), with a scratch home, and stops it whatever happens. The
notes come from a MIDI port of the test's own client, flagged physical so that
--connect finds it; a second client of the test records out_l and out_r.
"""

import argparse
import glob
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time

import jack
import numpy as np

RATE = 48000
PERIOD = 256
# The notes: (key, frame within its cycle). The frames inside a cycle show
# that an event reaches the engine at its own frame, not at the cycle's start.
NOTES = [(84, 0), (91, 37), (72, 101), (96, 200), (79, 255)]
NOTE_SPACING = RATE // 2     # frames from one note to the next
NOTE_LENGTH = RATE * 35 // 100  # key down for 0.35 s
RELEASE_S = 0.05             # the key-up has the note 60 dB down 50 ms later
# Each note's pitch is measured over its first 0.3 s, before its key-up.
ANALYSIS_FRAMES = RATE * 3 // 10
# The pitch of a note in the live output may differ from the renderer's by
# 3 cents at most: the limit. Both come from the same engine and are
# measured by the same estimator, so a working program is far inside it;
# a wrong key, rate or instrument is off by a semitone or more.
MAX_CENTS = 3.0
# A note's onset may lie one period from where the renderer puts it. Most
# keys sound at the same frame; keys stepped several times a frame sound
# later by their decimator's delay, which depends on the block the engine was
# prepared for (256 frames here, 4096 in the renderer): key 96 by some 80
# frames more.
MAX_ONSET_FRAMES = PERIOD
# Where libjack keeps its sockets and semaphores on Linux.
JACK_TMP_DIR = "/dev/shm"
# Recordings with a hole that may be made before the case fails.
ATTEMPTS = 4
# Seconds any one step may take before the case fails.
STEP_TIMEOUT_S = 20.0

TICKS_PER_QUARTER = 480
# At the file's default tempo (120 beats a minute) a tick is 1/960 s, 50
# frames at 48000 Hz: the score's notes fall on exact frames.
FRAMES_PER_TICK = RATE // (2 * TICKS_PER_QUARTER)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Server:
    """A private jackd with the dummy backend; stopped on exit. Synchronous
    mode: each cycle waits for every client, so that the test's own clients
    (Python, on a machine shared with builds) make a cycle late rather than
    miss it; clangwright-live plays the same either way."""

    def __init__(self, scratch, case):
        self.name = f"cw-live-test-{case}-{os.getpid()}"
        self.env = dict(os.environ, HOME=scratch, XDG_CONFIG_HOME=scratch,
                        JACK_DEFAULT_SERVER=self.name, JACK_NO_START_SERVER="1",
                        JACK_NO_AUDIO_RESERVATION="1", LC_ALL="C")
        self.log = open(os.path.join(scratch, "jackd.log"), "ab")
        self.killed = False
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            ["jackd", "-n", self.name, "--no-realtime", "--sync", "-d", "dummy", "-r", str(RATE),
             "-p", str(PERIOD)],
            env=self.env, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + STEP_TIMEOUT_S
        while True:
            check(self.process.poll() is None, "jackd ended at its start; see jackd.log")
            try:
                probe = jack.Client("probe", no_start_server=True, servername=self.name)
                probe.close()
                return
            except jack.JackOpenError:
                check(time.monotonic() < deadline, "jackd did not start")
                time.sleep(0.1)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
            self.killed = True

    def stop(self):
        if self.killed:
            # A killed server leaves its shared memory (some 100 MB) behind; a
            # server starting frees what dead ones left, and stopping frees its
            # own.
            self.killed = False
            try:
                self.start()
            except Failure:
                pass
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        # What nobody removes: the sockets and the semaphores of the clients
        # of a server that was killed, or that were killed themselves.
        for leftover in glob.glob(f"{JACK_TMP_DIR}/jack_*{self.name}_*"):
            os.remove(leftover)
        self.log.close()


class Live:
    """clangwright-live on the server, its output read as it comes."""

    def __init__(self, program, env, args):
        self.process = subprocess.Popen([program] + args, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)

    def wait_ready(self):
        """Returns the line it prints once it plays."""
        ready, _, _ = select.select([self.process.stdout], [], [], STEP_TIMEOUT_S)
        check(ready, "clangwright-live printed nothing")
        line = self.process.stdout.readline().decode()
        check(line.startswith("Playing as "),
              f"clangwright-live did not start: {line!r} "
              f"{self.process.stderr.read().decode() if self.process.poll() is not None else ''}")
        return line

    def finish(self):
        """Waits for the end; returns status, stdout and stderr."""
        try:
            out, err = self.process.communicate(timeout=STEP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise Failure("clangwright-live did not end")
        return self.process.returncode, out.decode(), err.decode()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


class Keyboard:
    """The test's MIDI output (a physical port, as a MIDI interface's is):
    plays the notes scheduled at absolute frames of the server, and keeps the
    frame each one went out at."""

    def __init__(self, server):
        self.client = jack.Client("keyboard", no_start_server=True, servername=server)
        self.port = self.client.midi_outports.register("midi_out", is_terminal=True,
                                                       is_physical=True)
        self.lock = threading.Lock()
        self.pending = []  # (frame, bytes), sorted
        self.sent = []     # (frame, bytes)
        self.client.set_process_callback(self.process)
        self.client.activate()

    def process(self, frames):
        self.port.clear_buffer()
        start = self.client.last_frame_time
        with self.lock:
            while self.pending and self.pending[0][0] < start + frames:
                at, message = self.pending.pop(0)
                # A cycle the test's client missed sends its events at once.
                offset = max(at - start, 0)
                self.port.write_midi_event(offset, message)
                self.sent.append((start + offset, message))

    def schedule(self, events):
        with self.lock:
            self.pending = sorted(self.pending + events, key=lambda e: e[0])

    def done(self):
        with self.lock:
            return not self.pending

    def close(self):
        self.client.deactivate()
        self.client.close()


class Recorder:
    """Records two audio inputs at the server's frames into arrays; a cycle
    it missed stays NaN."""

    def __init__(self, server, start, frames):
        self.client = jack.Client("recorder", no_start_server=True, servername=server)
        self.inputs = [self.client.inports.register(n) for n in ("in_l", "in_r")]
        self.start = start
        self.audio = np.full((2, frames), np.nan, dtype=np.float32)
        self.client.set_process_callback(self.process)
        self.client.activate()

    def process(self, frames):
        at = self.client.last_frame_time - self.start
        if at >= 0 and at + frames <= self.audio.shape[1]:
            for channel, port in enumerate(self.inputs):
                self.audio[channel, at:at + frames] = port.get_array()

    def close(self):
        self.client.deactivate()
        self.client.close()


def note_messages(key, at):
    return [(at, bytes([0x90, key, 110])), (at + NOTE_LENGTH, bytes([0x80, key, 0]))]


def write_score(path, notes):
    """A format 0 MIDI file of `notes` (key, frame from the start)."""
    events = []
    for key, at in notes:
        events.append((at, bytes([0x90, key, 110])))
        events.append((at + NOTE_LENGTH, bytes([0x80, key, 0])))
    events.sort(key=lambda e: e[0])
    track = b""
    tick = 0
    for at, message in events:
        assert at % FRAMES_PER_TICK == 0
        delta = at // FRAMES_PER_TICK - tick
        tick += delta
        vlq = [delta & 0x7F]
        while delta > 0x7F:
            delta >>= 7
            vlq.insert(0, 0x80 | (delta & 0x7F))
        track += bytes(vlq) + message
    track += b"\x00\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, TICKS_PER_QUARTER))
        f.write(b"MTrk" + struct.pack(">I", len(track)) + track)


def read_float_wav(path):
    """The frames of a 32-bit float WAV file, channels first."""
    with open(path, "rb") as f:
        data = f.read()
    check(data[:4] == b"RIFF" and data[8:12] == b"WAVE", f"{path} is no WAV file")
    at, channels = 12, 0
    while at + 8 <= len(data):
        chunk, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        if chunk == b"fmt ":
            channels = struct.unpack("<H", data[at + 10:at + 12])[0]
        if chunk == b"data":
            samples = np.frombuffer(data[at + 8:at + 8 + size], dtype="<f4")
            return samples.reshape(-1, channels).T
        at += 8 + size + (size & 1)
    raise Failure(f"{path} has no data")


def blackman_harris(n):
    t = 2.0 * np.pi * np.arange(n) / (n - 1)
    return 0.35875 - 0.48829 * np.cos(t) + 0.14128 * np.cos(2 * t) - 0.01168 * np.cos(3 * t)


def peak_hz(x, near_hz=None):
    """The strongest spectral peak of `x` (within a semitone of `near_hz` when
    given): Blackman-Harris window, zero-padded to 8 times its length, the
    peak refined by a parabola through the log magnitudes of its bins."""
    n = 1 << int(np.ceil(np.log2(len(x) * 8)))
    spectrum = np.abs(np.fft.rfft(x * blackman_harris(len(x)), n))
    hz = np.arange(len(spectrum)) * RATE / n
    band = (hz > 20.0) & (hz < 0.45 * RATE)
    if near_hz:
        band &= np.abs(1200.0 * np.log2(np.maximum(hz, 1.0) / near_hz)) < 100.0
    k = int(np.argmax(np.where(band, spectrum, 0.0)))
    a, b, c = np.log(spectrum[k - 1:k + 2] + 1e-30)
    return (k + 0.5 * (a - c) / (a - 2 * b + c)) * RATE / n


def onset(x, from_frame, level):
    """The first frame from `from_frame` on where |x| reaches `level`."""
    above = np.nonzero(np.abs(x[from_frame:]) >= level)[0]
    check(len(above) > 0, "a note never sounded")
    return from_frame + int(above[0])


def play_notes(keyboard, server, lead):
    """Plays NOTES from half a second from now (every client is running by
    then) and records them from `lead` frames before the first. Returns the
    recorder and the frames, from the recording's start, of the key-downs."""
    probe = keyboard.client
    first = probe.frame_time + RATE // 2
    start = first - lead
    length = lead + len(NOTES) * NOTE_SPACING
    recorder = Recorder(server, start, length)
    probe.connect("clangwright:out_l", "recorder:in_l")
    probe.connect("clangwright:out_r", "recorder:in_r")
    events = []
    for i, (key, in_cycle) in enumerate(NOTES):
        # The cycles are counted from the server's frame 0.
        at = (first + i * NOTE_SPACING) // PERIOD * PERIOD + in_cycle
        events += note_messages(key, at)
    keyboard.sent.clear()
    keyboard.schedule(events)
    deadline = time.monotonic() + STEP_TIMEOUT_S
    while not (keyboard.done() and probe.frame_time > start + length + PERIOD):
        check(time.monotonic() < deadline, "the notes were not played")
        time.sleep(0.05)
    return recorder, [at - start for at, message in keyboard.sent if message[0] == 0x90]


def run_case_plays(args, scratch):
    """Notes at their pitch and on time; --connect; SIGTERM ends with 0."""
    # The renderer's frames of the same notes: where each note sounds from
    # its key-down, and at what pitch.
    lead = RATE // 10
    score_notes = [(key, lead + i * NOTE_SPACING) for i, (key, _) in enumerate(NOTES)]
    score = os.path.join(scratch, "notes.mid")
    write_score(score, score_notes)
    rendered = os.path.join(scratch, "notes.wav")
    subprocess.run([args.render, "--preset", args.preset, "--midi", score, "--release",
                    str(RELEASE_S), "--bits", "32f", "-q", "-o", rendered],
                   check=True, timeout=120)
    reference = read_float_wav(rendered)[0]
    expected = []
    for key, at in score_notes:
        segment = reference[at:at + ANALYSIS_FRAMES]
        level = 0.1 * float(np.max(np.abs(segment)))
        check(level > 0.0, f"key {key} is silent in the renderer's score")
        expected.append((key, onset(reference, at, level) - at, peak_hz(segment), level))

    server = Server(scratch, "plays")
    keyboard = recorder = live = None
    try:
        keyboard = Keyboard(server.name)
        live = Live(args.live, server.env,
                    ["--preset", args.preset, "--release", str(RELEASE_S), "--connect"])
        print(live.wait_ready().strip())
        probe = keyboard.client
        connections = {p: sorted(q.name for q in probe.get_all_connections(p))
                       for p in ("clangwright:out_l", "clangwright:out_r", "clangwright:midi_in")}
        check(connections == {"clangwright:out_l": ["system:playback_1"],
                              "clangwright:out_r": ["system:playback_2"],
                              "clangwright:midi_in": ["keyboard:midi_out"]},
              f"--connect made {connections}")

        # A cycle that the test's own clients miss (Python, on a busy machine)
        # leaves a hole in the recording: the notes are then played again.
        for attempt in range(1, ATTEMPTS + 1):
            if recorder:
                recorder.close()
            recorder, sent = play_notes(keyboard, server.name, lead)
            left = recorder.audio[0]
            windows = [left[at:at + ANALYSIS_FRAMES + 2 * MAX_ONSET_FRAMES] for at in sent]
            if not any(np.isnan(w).any() for w in windows):
                break
            print(f"attempt {attempt}: the recorder missed a cycle")
        else:
            raise Failure(f"the recorder missed cycles in {ATTEMPTS} attempts")

        for (key, delay, hz, level), at in zip(expected, sent):
            heard = onset(left, max(at - MAX_ONSET_FRAMES, 0), level) - at
            live_hz = peak_hz(left[at + heard - delay:at + heard - delay + ANALYSIS_FRAMES], hz)
            cents = 1200.0 * np.log2(live_hz / hz)
            print(f"key {key}: {live_hz:.2f} Hz against {hz:.2f} Hz ({cents:+.2f} cents), "
                  f"sounds {heard} frames after its key-down against {delay}")
            check(abs(cents) <= MAX_CENTS, f"key {key} is {cents:+.2f} cents off")
            check(abs(heard - delay) <= MAX_ONSET_FRAMES,
                  f"key {key} sounds {heard - delay} frames late")
        check(np.nanmax(np.abs(recorder.audio[1])) > 0.0, "out_r is silent")

        live.process.send_signal(signal.SIGTERM)
        status, out, err = live.finish()
        check(status == 0, f"SIGTERM: status {status}, stderr {err!r}")
        check(err == "", f"SIGTERM: stderr {err!r}")
        check(out.startswith("Xruns: ") and out.count("\n") == 1, f"SIGTERM: stdout {out!r}")
        print(f"SIGTERM: status 0, {out.strip()}")
    finally:
        for part in (recorder, keyboard):
            if part:
                part.close()
        if live:
            live.stop()
        server.stop()


def run_case_server_killed(args, scratch):
    """The server killed while a note rings: status 1 and one line."""
    server = Server(scratch, "killed")
    keyboard = live = None
    try:
        keyboard = Keyboard(server.name)
        live = Live(args.live, server.env, ["--preset", args.preset, "--connect", "-q"])
        # With -q nothing is printed: the port shows that it runs.
        deadline = time.monotonic() + STEP_TIMEOUT_S
        while not keyboard.client.get_all_connections("keyboard:midi_out"):
            check(live.process.poll() is None, "clangwright-live ended at its start")
            check(time.monotonic() < deadline, "clangwright-live did not connect")
            time.sleep(0.05)
        keyboard.schedule(note_messages(84, keyboard.client.frame_time + PERIOD))
        time.sleep(0.3)
        server.kill()
        status, out, err = live.finish()
        check(status == 1, f"server killed: status {status}, stderr {err!r}")
        check(err == "clangwright-live: the JACK server has gone away\n",
              f"server killed: stderr {err!r}")
        check(out == "", f"server killed with -q: stdout {out!r}")
        print("server killed: status 1, one line")
    finally:
        if keyboard:
            # The client's server is gone: closing it only frees it.
            keyboard.client.close()
        if live:
            live.stop()
        server.stop()


def run_case_no_server(args, scratch):
    """No server by that name: one line, status 1, and none started."""
    name = f"cw-live-test-none-{os.getpid()}"
    env = dict(os.environ, HOME=scratch, XDG_CONFIG_HOME=scratch, JACK_DEFAULT_SERVER=name,
               LC_ALL="C")
    result = subprocess.run([args.live], env=env, capture_output=True, text=True,
                            timeout=STEP_TIMEOUT_S)
    check(result.returncode == 1, f"no server: status {result.returncode}")
    check(result.stderr == "clangwright-live: no JACK server is running; start one first "
                           "(jackd, or PipeWire's JACK)\n", f"no server: stderr {result.stderr!r}")
    try:
        jack.Client("probe", no_start_server=True, servername=name).close()
        raise Failure("a server was started")
    except jack.JackOpenError:
        pass
    print("no server: status 1, one line")


CASES = {
    "NotesPlayAtTheirPitchOnTimeAndSigtermEndsWithZero": run_case_plays,
    "ServerKilledWhilePlayingEndsWithOneLineAndStatusOne": run_case_server_killed,
    "NoServerIsOneLineAndStatusOne": run_case_no_server,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--live", required=True)
    parser.add_argument("--render", required=True)
    parser.add_argument("--preset", required=True)
    parser.add_argument("--scratch", required=True)
    parser.add_argument("case", choices=CASES)
    args = parser.parse_args()
    scratch = os.path.join(args.scratch, args.case)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    try:
        CASES[args.case](args, scratch)
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
