"""Driving the installed clangwright as a person would: keys through xdotool,
screenshots through ImageMagick's import, the sound through parec on the
private PulseAudio server's null sink, and the files the program leaves.

Every test script takes the same options (see parse_args) and one case name;
the case functions raise AssertionError (through check) on a fault. A case
that cannot run here (no X display) ends with SKIP (exit status 77).
"""
import argparse
import array
import os
import shutil
import signal
import subprocess
import sys
import time
import traceback
import wave

SKIP = 77

# The document a first run leaves behind: every setting at its default, both
# folders never chosen, the one driver the program has.
DEFAULT_CONFIG = """<?xml version="1.0"?>
<cwrconfig version="0.1.0">
  <settings>
    <bool name="auto_ext" value="TRUE"/>
    <bool name="overwrite_warning" value="TRUE"/>
    <int name="rate" value="48000"/>
    <int name="export_rate" value="48000"/>
  </settings>
  <paths>
    <string name="sample_path" value=""/>
    <string name="presets_path" value=""/>
  </paths>
  <driver>
    <string name="current" value="Pulseaudio"/>
  </driver>
</cwrconfig>
"""

MAIN_TITLE = "^Clangwright$"
SINK_RATE_HZ = 48000


class Skip(Exception):
    pass


# Processes a case started, ended when the case ends whatever its outcome.
_children = []


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def wait_until(predicate, timeout_s, what, interval_s=0.05):
    """Polls predicate until it returns a true value, which is returned;
    fails with `what` after timeout_s."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval_s)


# ---------------------------------------------------------------------------
# The test's surroundings

class Setup:
    """Paths handed over by CTest, and the scratch folder of one case."""

    def __init__(self, args, case):
        self.prefix = os.path.abspath(args.prefix)
        self.shim = os.path.abspath(args.shim)
        self.wm_delete = os.path.abspath(args.wm_delete)
        self.pulse = args.pulse
        self.scratch = os.path.join(os.path.abspath(args.scratch), case)
        self.program = os.path.join(self.prefix, "bin", "clangwright")
        self.renderer = os.path.join(self.prefix, "bin", "clangwright-render")
        if os.path.exists(self.scratch):
            shutil.rmtree(self.scratch)
        os.makedirs(self.scratch)
        self.display = os.environ.get("DISPLAY", "")

    def path(self, *parts):
        return os.path.join(self.scratch, *parts)

    def make_home(self, name="home"):
        """A fresh scratch home with the folder GTK's recent-files store
        writes into."""
        home = self.path(name)
        os.makedirs(os.path.join(home, ".local", "share"), exist_ok=True)
        return home

    def pulse_env(self):
        return {
            "PULSE_SERVER": "unix:" + os.path.join(self.pulse, "run", "native"),
            "PULSE_CLIENTCONFIG": os.path.join(self.pulse, "client.conf"),
        }

    def tool_env(self, display=None):
        """Environment of the helper tools (xdotool, import, parec, pactl):
        no shim, the scratch home, the private sound server."""
        env = dict(os.environ)
        env.pop("LD_PRELOAD", None)
        env["HOME"] = self.path("tool-home")
        os.makedirs(env["HOME"], exist_ok=True)
        env["DISPLAY"] = display or self.display
        env.update(self.pulse_env())
        return env

    def render_reference(self, out, *options):
        """The headless renderer's WAV of the same parameters."""
        env = self.tool_env()
        env["LD_LIBRARY_PATH"] = os.path.join(self.prefix, "lib")
        cmd = [self.renderer, "-q", "-o", out, "--rate", str(SINK_RATE_HZ)] + list(options)
        subprocess.run(cmd, env=env, check=True, timeout=60, stderr=subprocess.DEVNULL)
        return out

    def write_preset(self, out, *options):
        env = self.tool_env()
        env["LD_LIBRARY_PATH"] = os.path.join(self.prefix, "lib")
        cmd = [self.renderer, "-q", "--save-preset", out] + list(options)
        subprocess.run(cmd, env=env, check=True, timeout=60, stderr=subprocess.DEVNULL)
        return out


def tool(setup, *cmd, display=None, timeout=20, check_rc=True):
    result = subprocess.run(list(cmd), env=setup.tool_env(display), capture_output=True,
                            text=True, timeout=timeout)
    if check_rc and result.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(cmd), result.returncode,
                                                    result.stderr.strip()))
    return result.stdout


# ---------------------------------------------------------------------------
# Screenshots

class Image:
    """An RGB screenshot, 3 bytes a pixel, rows top to bottom."""

    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return self.pixels[i:i + 3]

    def region(self, x0, y0, x1, y1):
        """The bytes of the rectangle [x0, x1) x [y0, y1)."""
        rows = []
        for y in range(y0, y1):
            i = (y * self.width + x0) * 3
            rows.append(self.pixels[i:i + (x1 - x0) * 3])
        return b"".join(rows)


def read_ppm(data):
    # P6 <w> <h> <max>\n<bytes>, with white space (and no comments from import).
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    check(fields[0] == b"P6" and fields[3] == b"255", "unexpected screenshot format")
    width, height = int(fields[1]), int(fields[2])
    return Image(width, height, data[pos:pos + width * height * 3])


def screenshot(setup, wid, save_as=None, display=None):
    env = setup.tool_env(display)
    result = subprocess.run(["import", "-silent", "-window", str(wid), "-depth", "8", "ppm:-"],
                            env=env, capture_output=True, timeout=20)
    check(result.returncode == 0, "import failed: %s" % result.stderr.decode(errors="replace"))
    if save_as:
        subprocess.run(["convert", "ppm:-", save_as], input=result.stdout, env=env,
                       timeout=20, check=True)
    return read_ppm(result.stdout)


class Toolbar:
    """Where the toolbar buttons are, found in a screenshot of the idle
    window: the columns holding icon or label ink in the toolbar strip,
    grouped into one run per button. The seven rightmost runs are Save ...
    Close; everything left of them is Open (whose frame may draw apart from
    its icon). Sensitivity shows as a change of a button's pixels against
    that idle picture, where Stop alone is insensitive."""

    NAMES = ["open", "save", "play", "stop", "save_wav", "about", "setup", "close"]
    GAP_PX = 12  # wider than a blank inside "Save WAV", narrower than between buttons

    def __init__(self, idle):
        self.idle = idle
        self.bottom = self._strip_bottom(idle)
        ink = [False] * idle.width
        for y in range(2, self.bottom):
            row = idle.region(0, y, idle.width, y + 1)
            background = self._majority(row)
            for x in range(self.MARGIN_PX, idle.width - self.MARGIN_PX):
                if row[x * 3:x * 3 + 3] != background:
                    ink[x] = True
        runs = []
        x = 0
        while x < idle.width:
            if ink[x]:
                start = x
                while x < idle.width and ink[x]:
                    x += 1
                if runs and start - runs[-1][1] < self.GAP_PX:
                    runs[-1] = (runs[-1][0], x)
                else:
                    runs.append((start, x))
            else:
                x += 1
        check(len(runs) >= 8, "toolbar: %d buttons found in the screenshot" % len(runs))
        right = runs[-7:]
        self.columns = {"open": (runs[0][0], runs[-8][1])}
        for name, run in zip(self.NAMES[1:], right):
            self.columns[name] = run

    MARGIN_PX = 4  # the toolbar's own bevel at the window's edges

    @staticmethod
    def _majority(row):
        counts = {}
        for i in range(0, len(row), 3):
            px = row[i:i + 3]
            counts[px] = counts.get(px, 0) + 1
        return max(counts, key=counts.get)

    @classmethod
    def _strip_bottom(cls, image):
        # The first row under the labels that is one colour between the
        # bevels, after rows with icons and labels.
        seen_ink = False
        for y in range(image.height):
            row = image.region(cls.MARGIN_PX, y, image.width - cls.MARGIN_PX, y + 1)
            plain = row == row[:3] * (len(row) // 3)
            if not plain:
                seen_ink = True
            elif seen_ink:
                below = image.region(cls.MARGIN_PX, y, image.width - cls.MARGIN_PX, y + 4)
                if below == row * 4:
                    return y
        raise AssertionError("no toolbar found in the screenshot")

    def changed(self, image, name):
        x0, x1 = self.columns[name]
        return image.region(x0, 0, x1, self.bottom) != self.idle.region(x0, 0, x1, self.bottom)

    def state(self, image):
        """"idle", "rendering" (Play insensitive, Stop sensitive) or
        "playing" (Play and Stop sensitive)."""
        play, stop = self.changed(image, "play"), self.changed(image, "stop")
        if not stop:
            return "idle" if not play else "unknown"
        return "rendering" if play else "playing"


# ---------------------------------------------------------------------------
# The program

class Program:
    def __init__(self, setup, home, args=(), display=None, extra_env=None, preexec_fn=None,
                 cwd=None, no_home=False, wrapper=()):
        self.setup = setup
        self.display = display or setup.display
        env = {k: v for k, v in os.environ.items() if not k.startswith("LC_")}
        env.update(setup.pulse_env())
        env["DISPLAY"] = self.display
        env["HOME"] = home
        env["CW_TEST_HOME"] = home
        env["LD_PRELOAD"] = setup.shim
        # The library beside the installed program (its run path names the
        # configured prefix, not the scratch one).
        env["LD_LIBRARY_PATH"] = os.path.join(setup.prefix, "lib")
        env["LANG"] = "C.UTF-8"
        env["LC_ALL"] = "C.UTF-8"
        env.pop("LANGUAGE", None)
        env["NO_AT_BRIDGE"] = "1"
        # The window plays live on a JACK server when one runs: a private
        # name no server has, unless a case starts one of its own.
        env["JACK_DEFAULT_SERVER"] = "cw-e2e-none-%d" % os.getpid()
        env["JACK_NO_START_SERVER"] = "1"
        # A toolkit warning or critical is a fault: it ends the program.
        env["G_DEBUG"] = "fatal-warnings"
        env["XDG_RUNTIME_DIR"] = home
        env["XDG_DATA_HOME"] = os.path.join(home, ".local", "share")
        env["XDG_CONFIG_HOME"] = os.path.join(home, ".config")
        env["XDG_CACHE_HOME"] = os.path.join(home, ".cache")
        if no_home:
            env["CW_TEST_NO_HOME"] = "1"
        if extra_env:
            env.update(extra_env)
        self.cwd = cwd or setup.path("cwd")
        os.makedirs(self.cwd, exist_ok=True)
        self.stderr_path = setup.path("program-%d.stderr" % time.monotonic_ns())
        self.stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(list(wrapper) + [setup.program] + list(args), env=env,
                                     cwd=self.cwd,
                                     stdin=subprocess.DEVNULL, stdout=self.stderr,
                                     stderr=self.stderr, preexec_fn=preexec_fn)
        _children.append(self.proc)
        self.wid = None

    def tool(self, *cmd, **kw):
        return tool(self.setup, *cmd, display=self.display, **kw)

    def find_window(self, name_regex, timeout_s=20):
        """The visible top-level window of this process with that title."""
        def found():
            check(self.proc.poll() is None,
                  "the program ended (status %s) before showing %r: %s"
                  % (self.proc.returncode, name_regex, self.stderr_text()))
            # --all: xdotool matches any one condition by default, so every
            # window of the process would do.
            out = self.tool("xdotool", "search", "--all", "--onlyvisible", "--pid",
                            str(self.proc.pid), "--name", name_regex, check_rc=False)
            ids = out.split()
            return ids[-1] if ids else None
        return wait_until(found, timeout_s, "the window %r" % name_regex, 0.1)

    def window_gone(self, wid):
        out = self.tool("xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid),
                        "--name", ".*", check_rc=False)
        return wid not in out.split()

    def wait_main_window(self, timeout_s=30):
        self.wid = self.find_window(MAIN_TITLE, timeout_s)
        # The pointer off the window, so that no button shows it.
        # Without --sync: the pointer may be there already (the X server keeps it
        # from an earlier program), and xdotool would wait for a motion.
        self.tool("xdotool", "mousemove", "1270", "1010", check_rc=False)
        # Let the first exposes (the 3D view, the toolbar) settle.
        self.wait_still()
        return self.wid

    def wait_still(self, wid=None, timeout_s=10):
        """Returns the first screenshot equal to the one before it."""
        wid = wid or self.wid
        last = [screenshot(self.setup, wid, display=self.display)]

        def same():
            time.sleep(0.1)
            now = screenshot(self.setup, wid, display=self.display)
            if now.pixels == last[0].pixels:
                return now
            last[0] = now
            return None
        return wait_until(same, timeout_s, "the window to settle", 0)

    def key(self, *keys, wid=None):
        wid = wid or self.wid
        self.tool("xdotool", "windowfocus", "--sync", str(wid), "key", "--delay", "30", *keys)

    def type_text(self, text, wid):
        self.tool("xdotool", "windowfocus", "--sync", str(wid), "type", "--delay", "20", text)

    def shot(self, save_as=None, wid=None):
        return screenshot(self.setup, wid or self.wid, save_as=save_as, display=self.display)

    def close_by_window_manager(self):
        """A window manager's close: WM_DELETE_WINDOW to the main window."""
        self.tool(self.setup.wm_delete, str(self.wid))

    def wait_exit(self, timeout_s=30):
        try:
            return self.proc.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("the program did not end within %d s" % timeout_s)

    def alive(self):
        return self.proc.poll() is None

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(timeout=10)

    def stderr_text(self):
        self.stderr.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def save_wav(self, path):
        """Ctrl+W, the path typed into the chooser, Return; returns when the
        chooser has closed."""
        self.key("ctrl+w")
        chooser = self.find_window("^Save \\.WAV file$")
        self.wait_still(chooser)
        # The chooser keeps the last name in its name entry, selected or not
        # depending on when it took the focus: the typed path replaces it.
        self.key("ctrl+a", wid=chooser)
        self.type_text(path, chooser)
        self.key("Return", wid=chooser)
        wait_until(lambda: self.window_gone(chooser), 20, "the chooser to close")

    def open_and_cancel(self, key, title):
        """Opens a dialog by its key, waits for its title, closes it with
        Escape."""
        self.key(key)
        dialog = self.find_window(title)
        self.key("Escape", wid=dialog)
        wait_until(lambda: self.window_gone(dialog), 20, "the dialog %r to close" % title)

    def quit_and_check(self, timeout_s=30):
        """Control+Q; the program must end with status 0 and print nothing."""
        self.key("ctrl+q")
        status = self.wait_exit(timeout_s)
        check(status == 0, "Control+Q: exit status %d; stderr: %s" % (status, self.stderr_text()))
        check_quiet(self)


def check_quiet(program):
    # The program writes no log: warnings of the toolkit on stderr are faults.
    text = program.stderr_text()
    check("CRITICAL" not in text and "WARNING" not in text.upper(),
          "the program wrote to stderr:\n" + text)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def config_path(home):
    return os.path.join(home, ".clangwright", "config")


def write_config(home, text):
    os.makedirs(os.path.join(home, ".clangwright"), mode=0o700, exist_ok=True)
    with open(config_path(home), "w") as f:
        f.write(text)


def check_config(home, expected, what):
    got = read_file(config_path(home)).decode()
    check(got == expected, "%s: the configuration holds\n%s\nexpected\n%s" % (what, got, expected))


# ---------------------------------------------------------------------------
# Sound

class Recording:
    """parec on the null sink's monitor into a file: signed 16-bit mono at
    the sink's own rate, so a 48000 Hz stream arrives unconverted."""

    def __init__(self, setup, name="monitor.raw"):
        self.path = setup.path(name)
        self.out = open(self.path, "wb")
        self.proc = subprocess.Popen(
            ["parec", "-d", "cwnull.monitor", "--format=s16le", "--channels=1",
             "--rate=%d" % SINK_RATE_HZ, "--raw", "--latency-msec=20"],
            env=setup.tool_env(), stdout=self.out, stderr=subprocess.DEVNULL)
        _children.append(self.proc)
        # The idle null sink feeds its monitor with silence: data means the
        # recording runs.
        wait_until(lambda: os.path.getsize(self.path) > 0, 10, "parec to record")

    def frames_so_far(self):
        return os.path.getsize(self.path) // 2

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        return read_file(self.path)


def wav_frames(path):
    """The frames of a 16-bit mono WAV file as raw little-endian bytes."""
    with wave.open(path, "rb") as w:
        check(w.getsampwidth() == 2 and w.getnchannels() == 1, path + ": not 16-bit mono")
        return w.readframes(w.getnframes())


PROBE_AT = SINK_RATE_HZ // 20   # 50 ms into the sound: past what a new stream may lose
PROBE_FRAMES = 1024


def find_sound(recorded, sound, start=0):
    """Offsets (in frames, may be negative) at which the sound's probe
    stretch appears in the recording, from byte `start` on."""
    probe = sound[PROBE_AT * 2:(PROBE_AT + PROBE_FRAMES) * 2]
    check(len(probe) == PROBE_FRAMES * 2, "the sound is shorter than the probe")
    hits = []
    pos = recorded.find(probe, start)
    while pos >= 0:
        if pos % 2 == 0:
            hits.append(pos // 2 - PROBE_AT)
            pos = recorded.find(probe, pos + len(probe))
        else:
            pos = recorded.find(probe, pos + 1)
    return hits


def matching_frames(recorded, sound, offset, first=PROBE_AT):
    """How many frames of the sound from `first` on agree with the recording
    placed at offset, counted up to the first difference."""
    n = 0
    total = len(sound) // 2
    rec = array.array("h", recorded[:len(recorded) // 2 * 2])
    snd = array.array("h", sound)
    for i in range(first, total):
        j = offset + i
        if j < 0 or j >= len(rec) or rec[j] != snd[i]:
            break
        n += 1
    return n


def silent(recorded, start_frame, end_frame=None):
    rec = array.array("h", recorded[:len(recorded) // 2 * 2])
    end = len(rec) if end_frame is None else min(end_frame, len(rec))
    return all(v == 0 for v in rec[max(start_frame, 0):end])


def sink_inputs(setup):
    return tool(setup, "pactl", "list", "sink-inputs")


# ---------------------------------------------------------------------------
# Running the cases

def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--prefix", required=True, help="install prefix of the program")
    p.add_argument("--shim", required=True, help="the scratch-home preload library")
    p.add_argument("--wm-delete", required=True, help="the WM_DELETE_WINDOW helper")
    p.add_argument("--pulse", required=True, help="folder of the private PulseAudio server")
    p.add_argument("--scratch", required=True, help="scratch folder of the tests")
    p.add_argument("case")
    return p.parse_args()


def run(cases):
    """Runs the case named on the command line: status 0 when it passes,
    1 when it fails, 77 when it cannot run here."""
    args = parse_args()
    if not os.environ.get("DISPLAY"):
        print("SKIP: no X display (run under xvfb-run)")
        sys.exit(SKIP)
    if args.case not in cases:
        print("unknown case %r; cases: %s" % (args.case, ", ".join(sorted(cases))))
        sys.exit(2)
    setup = Setup(args, args.case)
    try:
        cases[args.case](setup)
    except Skip as e:
        print("SKIP:", e)
        sys.exit(SKIP)
    except AssertionError as e:
        traceback.print_exc()
        print("FAIL:", e)
        sys.exit(1)
    finally:
        for proc in _children:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    print("PASS")
    sys.exit(0)


# ---------------------------------------------------------------------------
# Keyboard paths through the window

def sample_length_to_max(program):
    """Sample Length to its upper end (10 s) by keyboard, right after start
    (no widget has the focus yet). The window's focus chain runs: the
    notebook's tab, the four size and node spin buttons, slider and spin
    button of Spring Tension, Speed and Damping time, the actuation combo,
    slider and spin button of Velocity, then the Sample Length slider;
    End moves a slider to its upper end."""
    program.key(*(["Tab"] * 15 + ["End"]))
    program.wait_still()


def status_area(image):
    """The Status frame at the bottom of the window: progress bar and the
    real length label."""
    top = image.height * 87 // 100
    return image.region(0, top, image.width, image.height)


def watch_states(program, toolbar, until, timeout_s, what):
    """Screenshots of the toolbar's state until until(states) holds; returns
    the list of states seen (one per screenshot)."""
    states = []

    def done():
        states.append(toolbar.state(program.shot()))
        return until(states)
    wait_until(done, timeout_s, what + " (states seen: %s)" % compress(states), 0)
    return states


def compress(states):
    out = []
    for s in states:
        if not out or out[-1] != s:
            out.append(s)
    return out


def wait_recording_quiet(recording, quiet_s=0.5, timeout_s=10):
    """Waits until the last quiet_s of the recording are silence: what a
    stopped stream had buffered has played out. Returns the frame count."""
    n = int(quiet_s * SINK_RATE_HZ)

    def quiet():
        data = read_file(recording.path)
        frames = len(data) // 2
        return frames if frames > n and silent(data, frames - n) else None
    return wait_until(quiet, timeout_s, "the sink to fall silent", 0.1)
