#!/usr/bin/python3
"""The window's on-screen keyboard and its JACK port, end to end: a click on
a key is heard on the private PulseAudio server's null sink at the key's
pitch, soon, and Stop silences it; with a private JACK server of the dummy
backend, a note sent into the window's midi_in comes out of its out_l at its
pitch, and the keyboard plays there too, and on PulseAudio once the server
has gone away. Pitches are compared with what
clangwright-render --midi plays for the same key, through one estimator.
Runs with /usr/bin/python3 (numpy, mido, the JACK client)."""
import ctypes
import glob
import os
import re
import signal
import subprocess
import threading
import time
import wave

import mido
import numpy as np

from cwe2e import (DEFAULT_CONFIG, SINK_RATE_HZ, Program, Recording, Toolbar, check, read_file,
                   run, sample_length_to_max, sink_inputs, wait_recording_quiet, wait_until,
                   watch_states, write_config)

FIRST_KEY = 48          # C3, the lowest key shown at the start
KEYS = 48               # four octaves
WHITE = [0, 2, 4, 5, 7, 9, 11]
KEY = 72                # C5: the default sound plays it
WINDOW_S = 0.3          # the pitch is measured over this much of the note
MAX_CENTS = 3.0
MAX_LATENCY_MS = 30.0


def peak_hz(x, rate, near_hz=None):
    """The strongest peak (within a semitone of near_hz): Blackman-Harris
    window, 8 times zero-padded, a parabola through the log magnitudes."""
    n = 1 << int(np.ceil(np.log2(len(x) * 8)))
    t = 2 * np.pi * np.arange(len(x)) / (len(x) - 1)
    w = 0.35875 - 0.48829 * np.cos(t) + 0.14128 * np.cos(2 * t) - 0.01168 * np.cos(3 * t)
    spectrum = np.abs(np.fft.rfft(x * w, n))
    hz = np.arange(len(spectrum)) * rate / n
    band = (hz > 20) & (hz < 0.45 * rate)
    if near_hz:
        band &= np.abs(np.log2(np.maximum(hz, 1) / near_hz)) < 1 / 12
    k = int(np.argmax(np.where(band, spectrum, 0)))
    a, b, c = np.log(spectrum[k - 1:k + 2] + 1e-30)
    return (k + 0.5 * (a - c) / (a - 2 * b + c)) * rate / n


def onset(x, level):
    above = np.nonzero(np.abs(x) >= level)[0]
    check(len(above) > 0, "the note was not heard")
    return int(above[0])


def rendered_pitch(setup, key, velocity, rate, mix=False):
    """What clangwright-render --midi plays for `key` (the window's default
    sound): the pitch over the note's first WINDOW_S, of the left channel or
    of both mixed as the mono null sink mixes them."""
    track = mido.MidiTrack()
    track.append(mido.Message("note_on", note=key, velocity=velocity, time=0))
    track.append(mido.Message("note_off", note=key, velocity=0, time=960))
    midi = setup.path("key.mid")
    mido.MidiFile(ticks_per_beat=480, tracks=[track]).save(midi)
    out = setup.path("key.wav")
    setup.render_reference(out, "--midi", midi, "--bits", "16", "--rate", str(rate))
    with wave.open(out) as f:
        frames = np.frombuffer(f.readframes(f.getnframes()), "<i2").reshape(-1, 2) / 32768.0
    x = frames.mean(axis=1) if mix else frames[:, 0]
    at = onset(x, 0.1 * np.max(np.abs(x)))
    return peak_hz(x[at:at + int(WINDOW_S * rate)], rate)


class Keys:
    """Where the keyboard's keys are, found in a screenshot: the rows of the
    window's bottom part in which white or grey key faces take hundreds of
    pixels; a row below the black keys, parted by the dark lines between
    the faces, gives the white keys."""

    FACES = (b"\xff\xff\xff", b"\xbf\xbf\xbf")

    def __init__(self, image):
        # In the bottom row of the window, beside the Status frame; every
        # other pixel is looked at.
        rows = []
        for y in range(image.height * 4 // 5, image.height):
            row = image.region(0, y, image.width, y + 1)
            faces = sum(row[3 * x:3 * x + 3] in self.FACES for x in range(0, image.width, 2))
            if faces > 100:
                rows.append(y)
        check(rows, "no keyboard in the screenshot")
        # The keyboard is the longest run of such rows (a frame's light edge
        # is one row): the keys' faces from below their top outline to above
        # their bottom one.
        runs = []
        for y in rows:
            if runs and runs[-1][1] == y - 1:
                runs[-1][1] = y
            else:
                runs.append([y, y])
        top, bottom = max(runs, key=lambda r: r[1] - r[0])
        self.key_top, self.height = top - 1, bottom + 2 - top
        # Below the black keys, above the octaves' names.
        y = self.key_top + int(0.75 * self.height)
        row = image.region(0, y, image.width, y + 1)
        face = [row[3 * x:3 * x + 3] in self.FACES for x in range(image.width)]
        self.whites = []
        x = 0
        while x < image.width:
            if face[x]:
                start = x
                while x < image.width and face[x]:
                    x += 1
                if x - start > 4:
                    self.whites.append((start, x))
            else:
                x += 1
        check(len(self.whites) == 7 * KEYS // 12,
              "%d white keys found in the screenshot (rows %d to %d)"
              % (len(self.whites), top, bottom))

    def point(self, key, depth):
        """A point on white key `key`, `depth` of its height down; returns
        (x, y, velocity as the window computes it)."""
        octave, semitone = divmod(key - FIRST_KEY, 12)
        check(semitone in WHITE, "key %d is not a white key" % key)
        x0, x1 = self.whites[7 * octave + WHITE.index(semitone)]
        y = self.key_top + int(depth * self.height)
        velocity = int(round(127 - 107 * (y - self.key_top) / self.height))
        return (x0 + x1) // 2, y, velocity


def click_key(program, keys, key, depth, hold_s):
    x, y, velocity = keys.point(key, depth)
    program.tool("xdotool", "mousemove", "--window", program.wid, str(x), str(y),
                 "mousedown", "1")
    time.sleep(hold_s)
    program.tool("xdotool", "mouseup", "1")
    return velocity


def live_stream_latency_ms(setup):
    """The buffer and sink latency pactl reports for the window's live
    stream, in ms; None while there is none."""
    for block in sink_inputs(setup).split("Sink Input #")[1:]:
        if 'application.name = "Clangwright live"' in block:
            buffer_us = re.search(r"Buffer Latency: (\d+) usec", block)
            sink_us = re.search(r"Sink Latency: (\d+) usec", block)
            if buffer_us and sink_us:
                return (int(buffer_us.group(1)) + int(sink_us.group(1))) / 1000.0
    return None


def click_is_heard_at_the_keys_pitch(setup):
    home = setup.make_home()
    write_config(home, DEFAULT_CONFIG)
    program = Program(setup, home)
    program.wait_main_window()
    wait_until(lambda: live_stream_latency_ms(setup), 10, "the live stream")
    keys = Keys(program.shot(setup.path("keyboard.png")))
    recording = Recording(setup)
    time.sleep(0.3)
    clicked_at = recording.frames_so_far()
    velocity = click_key(program, keys, KEY, 0.7, 0.5)
    # The latency while playing, at its largest over a second.
    latencies = []
    for _ in range(5):
        latencies.append(live_stream_latency_ms(setup))
        time.sleep(0.2)
    latency = max(latencies)
    wait_recording_quiet(recording)
    x = np.frombuffer(recording.stop(), "<i2") / 32768.0
    want = rendered_pitch(setup, KEY, velocity, SINK_RATE_HZ, mix=True)
    check(np.max(np.abs(x)) > 0.01, "the click was not heard")
    at = onset(x, 0.1 * np.max(np.abs(x)))
    heard = peak_hz(x[at:at + int(WINDOW_S * SINK_RATE_HZ)], SINK_RATE_HZ, want)
    cents = 1200 * np.log2(heard / want)
    print("key %d at velocity %d: %.2f Hz against %.2f (%+.2f cents); the stream's latency "
          "%.1f ms; heard %.0f ms after the click was sent"
          % (KEY, velocity, heard, want, cents, latency,
             1000.0 * (at - clicked_at) / SINK_RATE_HZ))
    check(abs(cents) <= MAX_CENTS, "the key sounds %+.2f cents off" % cents)
    check(latency <= MAX_LATENCY_MS, "the live stream's latency is %.1f ms" % latency)

    program.quit_and_check()

    # A key held through a Stop (during a long render, while Stop is
    # sensitive) falls silent at the Stop.
    preset = setup.write_preset(setup.path("big.cwrp"), "--shape", "plane",
                                "--plane-length", "30", "--plane-width", "39")
    program = Program(setup, home, args=[preset])
    program.wait_main_window()
    toolbar = Toolbar(program.shot())
    sample_length_to_max(program)
    keys = Keys(program.shot())
    recording = Recording(setup, "stop.raw")
    x_, y_, _ = keys.point(KEY - 12, 0.7)
    program.tool("xdotool", "mousemove", "--window", program.wid, str(x_), str(y_),
                 "mousedown", "1")
    wait_until(lambda: np.max(np.abs(np.frombuffer(read_file(recording.path)[-9600:], "<i2")))
               > 300, 10, "the held key to sound")
    program.key("space")
    watch_states(program, toolbar, lambda s: "rendering" in s, 20, "the render to start")
    program.key("ctrl+b")
    stopped_at = recording.frames_so_far()
    watch_states(program, toolbar, lambda s: s[-1] == "idle", 20, "Stop to end the render")
    time.sleep(0.5)
    data = np.frombuffer(recording.stop(), "<i2")
    program.tool("xdotool", "mouseup", "1")
    check(np.max(np.abs(data[:stopped_at])) > 300, "the held key was not heard")
    check(np.all(data[stopped_at + SINK_RATE_HZ // 5:] == 0),
          "the held key still sounded after Stop")
    program.quit_and_check()


# ---------------------------------------------------------------------------
# JACK

JACK_RATE, JACK_PERIOD = 48000, 256


def end_with_test():
    # The server ends with the test, whatever ends it (PR_SET_PDEATHSIG).
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)


class JackServer:
    def __init__(self, setup):
        import jack
        self.jack = jack
        self.name = "cw-e2e-keyboard-%d" % os.getpid()
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=self.name, JACK_NO_AUDIO_RESERVATION="1")
        self.log = setup.path("jackd.log")
        jack.set_error_function(lambda message: None)
        self.proc = subprocess.Popen(
            ["jackd", "-n", self.name, "--no-realtime", "--sync", "--port-max", "32", "-d",
             "dummy", "-r", str(JACK_RATE), "-p", str(JACK_PERIOD)],
            env=self.env, preexec_fn=end_with_test, stdout=open(self.log, "ab"),
            stderr=subprocess.STDOUT)
        self.client = None
        for _ in range(100):
            try:
                self.client = jack.Client("test", no_start_server=True, servername=self.name)
                break
            except jack.JackOpenError:
                time.sleep(0.1)
        check(self.client is not None, "jackd did not start: " + open(self.log).read()[-2000:])

    def stop(self):
        if self.client and self.proc.poll() is None:
            self.client.deactivate()
            self.client.close()
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        for leftover in glob.glob("/dev/shm/jack_*%s_*" % self.name):
            os.remove(leftover)


class Sender:
    """The test's client: a MIDI out and two audio ins recording the window."""

    def __init__(self, client):
        self.client, self.lock = client, threading.Lock()
        self.midi = client.midi_outports.register("midi_out")
        self.ins = [client.inports.register("in_l"), client.inports.register("in_r")]
        self.pending, self.chunks, self.recording = [], [], False
        client.set_process_callback(self.process)
        client.activate()

    def process(self, frames):
        self.midi.clear_buffer()
        with self.lock:
            for message in self.pending:
                self.midi.write_midi_event(0, message)
            self.pending = []
            if self.recording:
                self.chunks.append(self.ins[0].get_array().copy())

    def send(self, message):
        with self.lock:
            self.pending.append(message)

    def record(self, on):
        with self.lock:
            self.recording = on
            if on:
                self.chunks = []
        return np.concatenate(self.chunks) if self.chunks and not on else None


def midi_from_jack_is_heard_on_its_output(setup):
    server = JackServer(setup)
    program = None
    try:
        sender = Sender(server.client)
        home = setup.make_home()
        write_config(home, DEFAULT_CONFIG)
        program = Program(setup, home, extra_env={"JACK_DEFAULT_SERVER": server.name,
                                                  "JACK_NO_AUDIO_RESERVATION": "1"})
        program.wait_main_window()
        names = lambda: [p.name for p in server.client.get_ports("clangwright:")]
        wait_until(lambda: set(names()) >= {"clangwright:midi_in", "clangwright:out_l",
                                            "clangwright:out_r"}, 20, "the window's ports")
        connected = [p.name for p in server.client.get_all_connections("clangwright:out_l")]
        check("system:playback_1" in connected, "out_l goes to %s" % connected)
        check(live_stream_latency_ms(setup) is None,
              "the window plays through PulseAudio while on JACK")
        server.client.connect("test:midi_out", "clangwright:midi_in")
        server.client.connect("clangwright:out_l", "test:in_l")
        # Time for the window's worker to prepare the engine at JACK's rate.
        time.sleep(1.5)
        sender.record(True)
        time.sleep(0.2)
        sender.send(bytes([0x90, KEY, 100]))
        time.sleep(0.6)
        sender.send(bytes([0x80, KEY, 0]))
        time.sleep(0.6)
        x = sender.record(False)
        check(x is not None and np.max(np.abs(x)) > 0.01, "the note from midi_in was not heard")
        want = rendered_pitch(setup, KEY, 100, JACK_RATE)
        at = onset(x, 0.1 * np.max(np.abs(x)))
        heard = peak_hz(x[at:at + int(WINDOW_S * JACK_RATE)], JACK_RATE, want)
        cents = 1200 * np.log2(heard / want)
        print("midi_in key %d: %.2f Hz against %.2f (%+.2f cents) on out_l"
              % (KEY, heard, want, cents))
        check(abs(cents) <= MAX_CENTS, "the note sounds %+.2f cents off" % cents)

        # The on-screen keyboard plays on JACK too.
        keys = Keys(program.shot(setup.path("keyboard-jack.png")))
        sender.record(True)
        click_key(program, keys, KEY, 0.7, 0.4)
        time.sleep(0.4)
        x = sender.record(False)
        check(x is not None and np.max(np.abs(x)) > 0.01, "the click was not heard on out_l")

        # The server goes away: the window plays on through PulseAudio.
        server.proc.terminate()
        server.proc.wait(timeout=10)
        wait_until(lambda: live_stream_latency_ms(setup), 10, "the live stream after JACK")
        time.sleep(1.0)  # the engine is prepared again, at the stream's rate
        recording = Recording(setup)
        click_key(program, keys, KEY, 0.7, 0.4)
        wait_recording_quiet(recording)
        data = np.frombuffer(recording.stop(), "<i2")
        check(np.max(np.abs(data)) > 300, "after JACK went away the click was not heard")
        program.quit_and_check()
    finally:
        if program:
            program.kill()
        server.stop()


CASES = {
    "AClickIsHeardAtTheKeysPitchAndStopSilencesIt": click_is_heard_at_the_keys_pitch,
    "MidiFromJackIsHeardOnItsOutput": midi_from_jack_is_heard_on_its_output,
}

if __name__ == "__main__":
    run(CASES)
