#!/usr/bin/env python3
"""A storm of what a person may do, in a seeded random order: Play, Stop,
every dialog opened and answered, confirmed, cancelled, escaped or closed by
the window manager (also while a render or a playback runs), paths typed
into the choosers (existing files, missing ones, bad presets, names that
need the overwrite query, folders that do not exist), parameter and page
changes with the keyboard, drags in the 3D view, and keys of the on-screen
keyboard held while parameters change (each change prepares a new sound
that the next note plays). The window runs with
fatal warnings, so a toolkit warning or critical ends it and fails the case.
At the end every dialog is closed, Control+Q must end the program with
status 0, and the configuration must be a whole document.

A case is named Seed<N> (or ValgrindSeed<N>, the same under valgrind for a
shorter time). CW_STORM_SECONDS sets the length of the storm. A failing case
prints its seed and the last steps; the same seed replays the same steps:

    CW_STORM_SECONDS=60 python3 tests/e2e/storm_test.py ... Seed7
"""
import os
import random
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

from cwe2e import (DEFAULT_CONFIG, Program, check, config_path, run, write_config)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import valgrind_own_code  # noqa: E402

MAIN = "Clangwright"
CHOOSERS = ("Save .WAV file", "Save presets to file", "Load presets from file")
QUERY = "File overwriting query"
ERROR = "Error!"
SETUP = "Clangwright configuration"
ABOUT = "About Clangwright"
# Dialogs in front of others: a query or a message is run above its chooser.
FRONT = (QUERY, ERROR)

PARAMETER_KEYS = ["Up", "Down", "Left", "Right", "Page_Up", "Page_Down", "Home", "End"]
GENTLE_KEYS = ["Up", "Down", "Left", "Right"]


class Storm:
    def __init__(self, setup, seed, seconds, valgrind):
        self.setup = setup
        self.seed = seed
        self.rng = random.Random(seed)
        self.seconds = seconds
        self.valgrind = valgrind
        self.steps = []
        self.home = setup.make_home()
        self.files = setup.path("files")
        os.makedirs(os.path.join(self.files, "sub"))
        self.good = setup.write_preset(os.path.join(self.files, "good.cwrp"), "--shape", "rod",
                                       "--rod-length", "12")
        with open(os.path.join(self.files, "bad.cwrp"), "w") as f:
            f.write("this is no preset <<<")
        with open(os.path.join(self.files, "half.cwrp"), "w") as f:
            f.write('<?xml version="1.0"?>\n<cwrp version="0.1.0"><settings>'
                    '<int name="type" value="2"/></settings></cwrp>\n')
        with open(os.path.join(self.files, "old.wav"), "wb") as f:
            f.write(b"old")
        write_config(self.home, DEFAULT_CONFIG)
        self.starts = 0

    # --- what is on screen ------------------------------------------------

    def windows(self):
        """Title -> window id of every titled window on screen."""
        out = self.program.tool(self.setup.wm_delete, "--list", check_rc=False)
        shown = {}
        for line in out.splitlines():
            parts = line.split("\t", 2)
            if len(parts) == 3:
                shown[parts[2]] = (parts[0], parts[1])
        return shown

    def front_dialog(self, shown):
        for title in FRONT:
            if title in shown:
                return title
        others = [t for t in shown if t != MAIN]
        return self.rng.choice(sorted(others)) if others else None

    # --- sending ------------------------------------------------------------

    def send(self, *cmd):
        """A tool call that may race with the window it aims at: a window
        that went away meanwhile is no fault."""
        try:
            subprocess.run(list(cmd), env=self.setup.tool_env(), capture_output=True,
                           timeout=20)
        except subprocess.TimeoutExpired:
            self.steps.append("  (timed out: %s)" % " ".join(cmd))

    def key(self, wid, *keys):
        self.send("xdotool", "windowfocus", "--sync", wid, "key", "--delay", "20", *keys)

    def type_text(self, wid, text):
        self.send("xdotool", "windowfocus", "--sync", wid, "type", "--delay", "8", text)

    def log(self, text):
        self.steps.append("%6.1f s  %s" % (time.monotonic() - self.started, text))

    # --- actions ------------------------------------------------------------

    def save_path(self):
        r = self.rng
        return r.choice([
            os.path.join(self.files, "take%d" % r.randrange(5)),       # new, or asks once made
            os.path.join(self.files, "old.wav"),                       # asks
            os.path.join(self.files, "good.cwrp"),                     # asks (a preset save)
            "relative%d" % r.randrange(3),                             # the folder it shows
            os.path.join(self.files, "nofolder", "x%d" % r.randrange(3)),  # fails
            os.path.join(self.files, "sub"),                           # a folder
            os.path.join(self.files, "sub", "deeper.wav"),
        ])

    def load_path(self):
        return self.rng.choice([self.good, self.good,
                                os.path.join(self.files, "bad.cwrp"),
                                os.path.join(self.files, "half.cwrp"),
                                os.path.join(self.files, "missing.cwrp"),
                                os.path.join(self.files, "old.wav"),
                                os.path.join(self.files, "sub")])

    def on_dialog(self, title, wid):
        r = self.rng.random()
        if r < 0.2:
            self.log("Escape on %r" % title)
            self.key(wid, "Escape")
        elif r < 0.35:
            self.log("window manager closes %r" % title)
            self.send(self.setup.wm_delete, wid)
        elif title in CHOOSERS and r < 0.8:
            path = self.load_path() if title.startswith("Load") else self.save_path()
            self.log("types %r into %r and Return" % (path, title))
            if self.rng.random() < 0.7:
                self.key(wid, "ctrl+a")
            self.type_text(wid, path)
            self.key(wid, "Return")
        elif title == SETUP and r < 0.8:
            keys = [self.rng.choice(["Tab", "Tab", "space", "Up", "Down"])
                    for _ in range(self.rng.randrange(1, 6))]
            self.log("keys %s in %r" % (" ".join(keys), title))
            self.key(wid, *keys)
        elif r < 0.9:
            self.log("Return on %r" % title)
            self.key(wid, "Return")
        else:
            # Keys meant for the main window while a modal dialog shows.
            key = self.rng.choice(["space", "ctrl+b", "ctrl+w", "ctrl+o"])
            self.log("%s to the main window behind %r" % (key, title))
            self.key(self.main, key)

    def on_main(self, size):
        r = self.rng.random()
        if r < 0.22:
            self.log("Space (Play)")
            self.key(self.main, "space")
        elif r < 0.34:
            self.log("Control+B (Stop)")
            self.key(self.main, "ctrl+b")
        elif r < 0.50:
            key = self.rng.choice(["ctrl+w", "ctrl+w", "ctrl+s", "ctrl+o", "ctrl+u", "ctrl+h"])
            self.log(key)
            self.key(self.main, key)
        elif r < 0.80:
            keys = ["Tab"] * self.rng.randrange(0, 4)
            choices = GENTLE_KEYS if self.valgrind else PARAMETER_KEYS
            keys += [self.rng.choice(choices) for _ in range(self.rng.randrange(1, 3))]
            self.log("keys %s" % " ".join(keys))
            self.key(self.main, *keys)
        elif r < 0.85:
            key = self.rng.choice(["ctrl+Page_Down", "ctrl+Page_Up", "shift+Tab"])
            self.log(key)
            self.key(self.main, key)
        elif r < 0.93:
            self.play_keyboard(size)
        else:
            self.drag(size)

    def play_keyboard(self, size):
        """A key of the on-screen keyboard held down, with parameter keys
        while it rings (each change prepares a new sound), or an octave
        button."""
        w, h = (int(v) for v in size.split("x"))
        # The keyboard sits right of the Status frame at the window's bottom,
        # its octave buttons at either end.
        if self.rng.random() < 0.15:
            x = int(w * self.rng.choice([0.566, 0.978]))
            y = int(h * 0.94)
            self.log("octave button at %d,%d" % (x, y))
            self.send("xdotool", "mousemove", "--window", self.main, str(x), str(y),
                      "click", "1")
            return
        x, y = int(w * self.rng.uniform(0.59, 0.96)), int(h * self.rng.uniform(0.9, 0.97))
        keys = [self.rng.choice(GENTLE_KEYS) for _ in range(self.rng.randrange(0, 4))]
        self.log("keyboard key at %d,%d held through %s" % (x, y, " ".join(keys) or "nothing"))
        self.send("xdotool", "mousemove", "--window", self.main, str(x), str(y), "mousedown", "1")
        if keys:
            self.key(self.main, *keys)
        time.sleep(self.rng.uniform(0, 0.4))
        self.send("xdotool", "mouseup", "1")

    def drag(self, size):
        w, h = (int(v) for v in size.split("x"))
        # The 3D view fills the right-hand part of the window, below the
        # toolbar and above the status area.
        x0, y0 = int(w * self.rng.uniform(0.62, 0.95)), int(h * self.rng.uniform(0.3, 0.7))
        x1, y1 = int(w * self.rng.uniform(0.62, 0.95)), int(h * self.rng.uniform(0.3, 0.7))
        button = self.rng.choice(["1", "1", "2", "3"])
        self.log("drag with button %s from %d,%d to %d,%d" % (button, x0, y0, x1, y1))
        self.send("xdotool", "mousemove", "--window", self.main, str(x0), str(y0),
                  "mousedown", button, "mousemove", "--window", self.main, str(x1), str(y1),
                  "mouseup", button)

    # --- the run --------------------------------------------------------------

    def valgrind_log(self):
        return self.setup.path("valgrind-%d.log" % self.starts)

    def start(self):
        """Starts the window (again) and waits for it."""
        self.starts += 1
        wrapper = []
        if self.valgrind:
            wrapper = ["valgrind", "--leak-check=full", "--show-leak-kinds=definite",
                       "--num-callers=40", "--log-file=" + self.valgrind_log()]
        self.program = Program(self.setup, self.home, wrapper=wrapper)
        self.program.wait_main_window(timeout_s=120 if self.valgrind else 30)
        self.main = self.program.wid

    def check_alive(self):
        if self.program.alive():
            return
        status = self.program.proc.returncode
        if status != 0:
            self.fail("the program ended with status %s" % status)
        # Tab reaches the toolbar, the arrows its Close button, and Space
        # (while Play is greyed out during a render) or Return presses it:
        # an ordinary end. It must have ended as Control+Q ends it; the
        # storm goes on in a new start.
        self.log("the window was closed through its own toolbar")
        self.check_ending()
        self.start()

    def check_ending(self):
        """What an ordinary end leaves: nothing on stderr, a whole
        configuration document, no fault of our own code under valgrind."""
        text = self.program.stderr_text()
        if "CRITICAL" in text or "WARNING" in text.upper():
            self.fail("the program wrote to stderr")
        try:
            root = ET.parse(config_path(self.home)).getroot()
        except ET.ParseError as e:
            self.fail("the configuration is no whole document: %s" % e)
        check(root.tag == "cwrconfig" and root.get("version") == "0.1.0",
              "seed %d: the configuration's root is %s" % (self.seed, root.tag))
        for section in ("settings", "paths", "driver"):
            check(root.find(section) is not None,
                  "seed %d: the configuration has no %s" % (self.seed, section))
        if self.valgrind:
            with open(self.valgrind_log()) as f:
                ours = valgrind_own_code.own_records(f.read(), valgrind_own_code.source_root())
            if ours:
                self.fail("valgrind found faults of our own code:\n%s"
                          % "\n\n".join("\n".join(r) for r in ours))

    def fail(self, what):
        tail = "\n".join(self.steps[-40:])
        raise AssertionError("seed %d: %s\nstderr:\n%s\nlast steps:\n%s"
                             % (self.seed, what, self.program.stderr_text()[-3000:], tail))

    def close_every_dialog(self):
        for attempt in range(60):
            self.check_alive()
            shown = self.windows()
            title = self.front_dialog(shown)
            if title is None:
                return
            wid = shown[title][0]
            if attempt % 3 == 2:
                self.log("closing: window manager closes %r" % title)
                self.send(self.setup.wm_delete, wid)
            else:
                self.log("closing: Escape on %r" % title)
                self.key(wid, "Escape")
            time.sleep(0.3 if not self.valgrind else 1.5)
        self.fail("dialogs still open at the end: %s" % sorted(self.windows()))

    def run(self):
        try:
            self.storm()
        finally:
            with open(self.setup.path("steps.txt"), "w") as f:
                f.write("\n".join(self.steps) + "\n")

    def storm(self):
        print("storm seed %d for %d s%s" % (self.seed, self.seconds,
                                             " under valgrind" if self.valgrind else ""))
        self.started = time.monotonic()
        self.start()
        pause = 0.6 if self.valgrind else 0.25
        count = 0
        while time.monotonic() - self.started < self.seconds:
            self.check_alive()
            shown = self.windows()
            title = self.front_dialog(shown)
            if title is not None:
                self.on_dialog(title, shown[title][0])
            elif MAIN in shown:
                self.on_main(shown[MAIN][1])
            count += 1
            time.sleep(self.rng.uniform(0, pause))
        self.check_alive()
        print("%d steps" % count)

        # The end: every dialog closed, anything running stopped, Close.
        self.close_every_dialog()
        self.log("Control+B, Control+Q")
        self.key(self.main, "ctrl+b")
        time.sleep(0.5)
        self.close_every_dialog()
        self.key(self.main, "ctrl+b", "ctrl+q")
        # Under valgrind the window may still be working through keys sent
        # long before (a Control+W opening its chooser after the others were
        # closed): such a dialog is closed and Control+Q sent again.
        deadline = time.monotonic() + (300 if self.valgrind else 60)
        while True:
            try:
                status = self.program.proc.wait(timeout=30)
                break
            except subprocess.TimeoutExpired:
                if time.monotonic() > deadline:
                    self.fail("Control+Q did not end the program")
                if self.valgrind and self.front_dialog(self.windows()):
                    self.close_every_dialog()
                    self.log("Control+Q again")
                    self.key(self.main, "ctrl+q")
        if status != 0:
            self.fail("Control+Q: exit status %d" % status)
        self.check_ending()
        print("%d starts" % self.starts)


def storm_case(seed, valgrind):
    def case(setup):
        default = 25 if valgrind else 60
        seconds = int(os.environ.get("CW_STORM_SECONDS", default))
        if valgrind:
            seconds = min(seconds, default)
        Storm(setup, seed, seconds, valgrind).run()
    return case


CASES = {}
for n in range(1, 10):
    CASES["Seed%d" % n] = storm_case(n, False)
    CASES["ValgrindSeed%d" % n] = storm_case(n, True)

if __name__ == "__main__":
    run(CASES)
