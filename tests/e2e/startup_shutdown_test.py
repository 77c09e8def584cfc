#!/usr/bin/env python3
"""Start-up and shutdown of the installed program: the per-user folder, the
configuration it reads, migrates and writes back, and what it leaves when it
is killed or cannot save."""
import os
import resource
import signal
import stat
import subprocess
import time

from cwe2e import (DEFAULT_CONFIG, Program, Skip, check, check_config, check_quiet,
                   config_path, read_file, run, write_config)


def first_start_then_control_q(setup):
    home = setup.make_home()
    program = Program(setup, home)
    program.wait_main_window()
    program.shot(setup.path("window.png"))
    folder = os.path.join(home, ".clangwright")
    check(os.path.isdir(folder), "no ~/.clangwright after the start")
    mode = stat.S_IMODE(os.stat(folder).st_mode)
    check(mode == 0o700, "~/.clangwright has mode %o, not 700" % mode)
    # Nothing is saved before the end.
    check(not os.path.exists(config_path(home)), "the configuration was written while running")
    program.quit_and_check()
    check_config(home, DEFAULT_CONFIG, "first run, Control+Q")


def window_manager_close(setup):
    home = setup.make_home()
    program = Program(setup, home)
    program.wait_main_window()
    program.close_by_window_manager()
    status = program.wait_exit()
    check(status == 0, "closed by the window manager: exit status %d" % status)
    check_quiet(program)
    check_config(home, DEFAULT_CONFIG, "first run, closed by the window manager")


LEGACY_CONFIG = """<?xml version="1.0"?>
<cwrconfig>
  <behaviour>
    <bool name="auto_ext">false</bool>
    <bool name="overwrite_warning">FALSE</bool>
  </behaviour>
  <settings>
    <int name="rate">44100</int>
    <int name="export_rate">96000</int>
  </settings>
  <paths>
    <string name="sample_path">/srv/sounds/</string>
    <string name="instr_path">/srv/presets/</string>
  </paths>
  <driver>
    <string name="current">PULSEAUDIO</string>
  </driver>
  <window><int name="width">640</int></window>
</cwrconfig>
"""

MIGRATED_CONFIG = """<?xml version="1.0"?>
<cwrconfig version="0.1.0">
  <settings>
    <bool name="auto_ext" value="FALSE"/>
    <bool name="overwrite_warning" value="FALSE"/>
    <int name="rate" value="44100"/>
    <int name="export_rate" value="96000"/>
  </settings>
  <paths>
    <string name="sample_path" value="/srv/sounds/"/>
    <string name="presets_path" value="/srv/presets/"/>
  </paths>
  <driver>
    <string name="current" value="Pulseaudio"/>
  </driver>
</cwrconfig>
"""


def legacy_configuration_is_migrated(setup):
    # Values from element text, the behaviour folder and instr_path moved to
    # their current places, the unknown element of the old file dropped.
    home = setup.make_home()
    write_config(home, LEGACY_CONFIG)
    program = Program(setup, home)
    program.wait_main_window()
    program.quit_and_check()
    check_config(home, MIGRATED_CONFIG, "legacy configuration")


def driver_name_in_other_case(setup):
    # A current document keeps what the program does not know, and the
    # driver's name comes back spelled as the driver spells it.
    home = setup.make_home()
    stored = DEFAULT_CONFIG.replace('value="Pulseaudio"', 'value="PULSEAUDIO"').replace(
        "  </paths>\n", "  </paths>\n  <window>\n    <int name=\"width\" value=\"640\"/>\n  </window>\n")
    write_config(home, stored)
    program = Program(setup, home)
    program.wait_main_window()
    program.quit_and_check()
    check_config(home, stored.replace('value="PULSEAUDIO"', 'value="Pulseaudio"'),
                 "stored driver PULSEAUDIO")


def unreadable_configuration_is_replaced(setup):
    for name, text in [("not well-formed", "<cwrconfig version=\"0.1.0\"><settings><int name="),
                       ("another root element", "<?xml version=\"1.0\"?>\n<cwrp version=\"0.1.0\">"
                        "<int name=\"rate\" value=\"44100\"/></cwrp>\n"),
                       ("empty", "")]:
        home = setup.make_home("home-" + name.replace(" ", "-"))
        write_config(home, text)
        program = Program(setup, home)
        program.wait_main_window()
        program.quit_and_check()
        check_config(home, DEFAULT_CONFIG, "configuration " + name)


# Stored by hand: on one line, so that anything the program writes differs.
STORED_ONE_LINE = ('<?xml version="1.0"?>\n<cwrconfig version="0.1.0"><settings>'
                   '<int name="rate" value="44100"/></settings></cwrconfig>\n')


def killed_program_keeps_configuration(setup):
    home = setup.make_home()
    write_config(home, STORED_ONE_LINE)
    before = read_file(config_path(home))
    program = Program(setup, home)
    program.wait_main_window()
    program.proc.send_signal(signal.SIGKILL)
    program.proc.wait(timeout=10)
    check(read_file(config_path(home)) == before, "SIGKILL changed the configuration")
    check(os.listdir(os.path.join(home, ".clangwright")) == ["config"],
          "files left in ~/.clangwright: %s" % os.listdir(os.path.join(home, ".clangwright")))


# Smaller than any configuration the program writes, larger than nothing.
FILE_SIZE_LIMIT_BYTES = 64


def limit_file_size():
    # A full disk as the program sees it: writes beyond the limit fail with
    # EFBIG instead of raising SIGXFSZ.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT_BYTES, FILE_SIZE_LIMIT_BYTES))


def failed_save_keeps_old_configuration(setup):
    home = setup.make_home()
    write_config(home, STORED_ONE_LINE)
    before = read_file(config_path(home))
    # The toolkit warns when its own files hit the limit: not fatal here.
    program = Program(setup, home, preexec_fn=limit_file_size, extra_env={"G_DEBUG": ""})
    program.wait_main_window()
    program.quit_and_check()
    check(read_file(config_path(home)) == before,
          "a save that could not be completed changed the configuration:\n%s"
          % read_file(config_path(home)).decode(errors="replace"))
    left = sorted(os.listdir(os.path.join(home, ".clangwright")))
    check(left == ["config"], "the failed save left files behind: %s" % left)

    # The same run without the limit rewrites the file (the stored element
    # first, where it stood): the check above would have seen a save.
    program = Program(setup, home)
    program.wait_main_window()
    program.quit_and_check()
    check_config(home, DEFAULT_CONFIG.replace(
        '    <bool name="auto_ext" value="TRUE"/>\n',
        '    <int name="rate" value="44100"/>\n    <bool name="auto_ext" value="TRUE"/>\n').replace(
        '    <int name="rate" value="48000"/>\n', ''), "the same start without a size limit")


def start_xvfb_without_glx(setup):
    """A private X server without the GLX extension on a free display
    number; returns (process, display)."""
    for number in range(90, 190):
        if os.path.exists("/tmp/.X%d-lock" % number) or \
           os.path.exists("/tmp/.X11-unix/X%d" % number):
            continue
        display = ":%d" % number
        log = open(setup.path("xvfb-%d.log" % number), "wb")
        proc = subprocess.Popen(["Xvfb", display, "-extension", "GLX", "-nolisten", "tcp", "-noreset",
                                 "-screen", "0", "1280x1024x24"],
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and proc.poll() is None:
            if subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                return proc, display
            time.sleep(0.1)
        if proc.poll() is None:
            proc.kill()
        proc.wait()
    raise Skip("no free display number for a private X server")


def window_without_glx(setup):
    xvfb, display = start_xvfb_without_glx(setup)
    try:
        extensions = subprocess.run(["xdpyinfo", "-display", display], capture_output=True,
                                    text=True).stdout
        check("GLX" not in extensions, "the private X server offers GLX")
        home = setup.make_home()
        # The OpenGL extension's warning about the missing GLX is silenced by
        # the program's own handler, which a fatal warning would not reach.
        program = Program(setup, home, display=display, extra_env={"G_DEBUG": ""})
        program.wait_main_window()
        image = program.shot(setup.path("window-without-glx.png"))
        # With OpenGL the view is a black square of 300 by 300 pixels; the
        # label in its place leaves no black block of even a quarter of it.
        black = b"\x00\x00\x00"
        for y in range(0, image.height - 150, 10):
            for x in range(0, image.width - 150, 10):
                check(image.pixel(x, y) != black or image.pixel(x + 149, y + 149) != black
                      or image.pixel(x + 75, y + 75) != black,
                      "a black view area at %d,%d: the 3D view is drawn without GLX" % (x, y))
        # Every toolbar action stays within reach of its key, also when the
        # window is narrower than with the view.
        program.key("ctrl+q")
        try:
            status = program.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            program.close_by_window_manager()
            program.wait_exit()
            raise AssertionError("without GLX, Control+Q does not end the program "
                                 "(see window-without-glx.png: is Close in the toolbar's "
                                 "overflow menu?)")
        check(status == 0, "without GLX: exit status %d" % status)
        # The OpenGL extension's own notice that it found no GLX is the
        # only text allowed on stderr.
        text = "\n".join(line for line in program.stderr_text().splitlines()
                         if "GdkGLExt-WARNING" not in line)
        check("CRITICAL" not in text and "WARNING" not in text.upper(),
              "the program wrote to stderr:\n" + text)
        check_config(home, DEFAULT_CONFIG, "run without GLX")
    finally:
        xvfb.terminate()
        xvfb.wait(timeout=10)


def user_without_home_entry(setup):
    # The user database knows no such user: the program still runs and
    # ends normally, and never keeps its configuration in the folder it was
    # started from.
    home = setup.make_home()
    cwd = setup.path("started-here")
    os.makedirs(cwd)
    program = Program(setup, home, cwd=cwd, no_home=True)
    program.wait_main_window()
    program.quit_and_check()
    check(os.listdir(cwd) == [], "files written into the working folder: %s" % os.listdir(cwd))


CASES = {
    "FirstStartMakesFolderAndControlQWritesDefaults": first_start_then_control_q,
    "WindowManagerCloseEndsLikeControlQ": window_manager_close,
    "LegacyConfigurationIsMigrated": legacy_configuration_is_migrated,
    "StoredDriverNameInCapitalsSelectsPulseaudio": driver_name_in_other_case,
    "UnreadableConfigurationRunsOnDefaultsAndIsReplaced": unreadable_configuration_is_replaced,
    "SigkillLeavesConfigurationAsItWas": killed_program_keeps_configuration,
    "FailedSaveLeavesOldConfigurationByteIdentical": failed_save_keeps_old_configuration,
    "WindowShowsWithoutGlx": window_without_glx,
    "UserWithoutHomeEntryStartsAndWritesNothingHere": user_without_home_entry,
}

if __name__ == "__main__":
    run(CASES)
