#!/usr/bin/env python3
"""What a person does that the window must survive: closing a chooser while
its Save WAV renders, typing paths into the choosers after the first run
stored empty folders, and options on the command line."""
import os
import time

from cwe2e import (DEFAULT_CONFIG, Program, check, check_quiet, read_file, run,
                   sample_length_to_max, wait_until, wav_frames, write_config)

SAVE_WAV_TITLE = "^Save \\.WAV file$"
LOAD_TITLE = "^Load presets from file$"


def visible_titles(program):
    out = program.tool("xdotool", "search", "--onlyvisible", "--pid", str(program.proc.pid),
                       "--name", ".*", check_rc=False)
    names = (program.tool("xdotool", "getwindowname", w).strip() for w in out.split())
    return sorted(n for n in names if n)  # the widgets' own windows have no name


def long_render_program(setup, home):
    """The largest plane for 10 s, exported at 96000 Hz: a Save WAV renders
    for seconds."""
    write_config(home, DEFAULT_CONFIG.replace('"export_rate" value="48000"',
                                              '"export_rate" value="96000"'))
    preset = setup.write_preset(setup.path("big.cwrp"), "--shape", "plane", "--plane-length",
                                "30", "--plane-width", "39")
    program = Program(setup, home, args=[preset])
    program.wait_main_window()
    sample_length_to_max(program)
    return program


def close_chooser_during_render(setup):
    home = setup.make_home()
    program = long_render_program(setup, home)
    first = setup.path("first.wav")

    program.key("ctrl+w")
    chooser = program.find_window(SAVE_WAV_TITLE)
    program.wait_still(chooser)
    program.type_text(first, chooser)
    started = time.monotonic()
    program.key("Return", wid=chooser)
    time.sleep(0.5)
    # Escape, then the window manager's close, while the render runs: the
    # chooser stays, inactive, until its save is done.
    program.key("Escape", wid=chooser)
    program.tool(setup.wm_delete, chooser)
    time.sleep(0.3)
    check(program.alive(), "the program ended: %s" % program.stderr_text())
    check(not program.window_gone(chooser) or os.path.exists(first),
          "the chooser went away before its save was done")
    wait_until(lambda: program.window_gone(chooser), 90, "the chooser to close after the save")
    rendered_s = time.monotonic() - started
    frames = len(wav_frames(first)) // 2
    check(frames > 96000, "the save wrote %d frames" % frames)

    # The chooser serves again: the same sound, no render, the same bytes.
    second = setup.path("second")
    program.save_wav(second)
    check(read_file(second + ".wav") == read_file(first),
          "the second Save WAV wrote another sound")
    program.quit_and_check()
    print("render of the save took %.1f s" % rendered_s)


def typed_paths_after_empty_folders(setup):
    # A first run left both folders empty; this is the second start.
    home = setup.make_home()
    write_config(home, DEFAULT_CONFIG)
    presets = setup.path("presets")
    os.makedirs(presets)
    preset = setup.write_preset(os.path.join(presets, "bell.cwrp"), "--shape", "rod",
                                "--rod-length", "40", "--tension", "2")
    reference = setup.render_reference(setup.path("reference.wav"), "--preset", preset)
    program = Program(setup, home)
    program.wait_main_window()

    # Load: an absolute path typed into the chooser.
    program.key("ctrl+o")
    chooser = program.find_window(LOAD_TITLE)
    program.wait_still(chooser)
    program.type_text(preset, chooser)
    program.key("Return", wid=chooser)
    wait_until(lambda: program.window_gone(chooser), 20, "the load chooser to close")

    # Save WAV: a path relative to the folder the chooser opens in, which is
    # the folder the program was started from.
    os.makedirs(os.path.join(program.cwd, "takes"))
    program.save_wav("takes/bell")
    saved = os.path.join(program.cwd, "takes", "bell.wav")
    check(os.path.exists(saved), "the relative path was not written (cwd holds %s)"
          % os.listdir(program.cwd))
    check(read_file(saved) == read_file(reference),
          "the typed preset path did not load the preset")
    # And an absolute one.
    program.save_wav(setup.path("absolute"))
    check(read_file(setup.path("absolute.wav")) == read_file(reference),
          "the absolute path was not written")
    program.quit_and_check()


def unknown_option_is_no_preset(setup):
    home = setup.make_home()
    preset = setup.write_preset(setup.path("rod.cwrp"), "--shape", "rod", "--rod-length", "40")
    reference = setup.render_reference(setup.path("reference.wav"), "--preset", preset)
    program = Program(setup, home, args=["--foo", preset])
    program.wait_main_window()
    time.sleep(0.5)
    check(visible_titles(program) == ["Clangwright"],
          "an option was taken for a file name: %s" % visible_titles(program))
    program.save_wav(setup.path("rod"))
    check(read_file(setup.path("rod.wav")) == read_file(reference),
          "the preset after the option was not loaded")
    program.quit_and_check()
    check("unknown option --foo" in program.stderr_text(),
          "the option was not reported: %r" % program.stderr_text())

    # An option alone: the window opens on its defaults, nothing to confirm.
    program = Program(setup, setup.make_home("home2"), args=["-x"])
    program.wait_main_window()
    time.sleep(0.5)
    check(visible_titles(program) == ["Clangwright"],
          "-x was taken for a file name: %s" % visible_titles(program))
    program.quit_and_check()
    check_quiet(program)


CASES = {
    "EscapeAndCloseOnTheSaveWavChooserDuringItsRender": close_chooser_during_render,
    "TypedPathsAfterAStartWithEmptyFolders": typed_paths_after_empty_folders,
    "UnknownOptionIsNoPresetName": unknown_option_is_no_preset,
}

if __name__ == "__main__":
    run(CASES)
