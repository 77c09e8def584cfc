#!/usr/bin/env python3
"""A preset named on the command line, and the window's language: the
installed program started as a desktop entry or a user would start it."""
import os

from cwe2e import (DEFAULT_CONFIG, Program, check, check_config, read_file, run, wait_until)


def rod_preset_is_loaded(setup):
    # A rod preset opened on the tube page: the window switches to the rod
    # page, so the sound it saves is the rod's, exactly as the headless
    # renderer makes it from the same preset.
    home = setup.make_home()
    preset = setup.write_preset(setup.path("bell.cwrp"), "--shape", "rod", "--rod-length", "40",
                                "--tension", "2", "--actuation", "perpendicular")
    reference = setup.render_reference(setup.path("reference.wav"), "--preset", preset)
    program = Program(setup, home, args=[preset])
    program.wait_main_window()
    program.shot(setup.path("rod-loaded.png"))
    program.save_wav(setup.path("bell"))
    saved = setup.path("bell.wav")
    check(os.path.exists(saved), "Save WAV wrote nothing")
    check(read_file(saved) == read_file(reference),
          "the window's sound of the preset differs from clangwright-render --preset")
    program.quit_and_check()


def missing_preset_shows_the_message(setup):
    home = setup.make_home()
    missing = setup.path("missing.cwrp")
    program = Program(setup, home, args=[missing])
    program.wait_main_window()
    error = program.find_window("^Error!$")
    program.key("Return", wid=error)
    wait_until(lambda: program.window_gone(error), 20, "the message to close")
    # The window goes on working: a render and a save, then Close.
    program.save_wav(setup.path("after"))
    saved = setup.path("after.wav")
    check(os.path.exists(saved), "Save WAV after the failed load wrote nothing")
    program.quit_and_check()
    check_config(home, DEFAULT_CONFIG.replace('"sample_path" value=""',
                                              '"sample_path" value="%s/"' % setup.scratch),
                 "after a failed load")


def german_window(setup):
    home = setup.make_home()
    german = {"LANGUAGE": "de", "LANG": "de_DE.UTF-8", "LC_ALL": "de_DE.UTF-8"}
    program = Program(setup, home, extra_env=german)
    program.wait_main_window()
    program.shot(setup.path("german.png"))
    program.open_and_cancel("ctrl+w", "^\\.WAV-Datei speichern$")
    program.open_and_cancel("ctrl+u", "^Clangwright-Einstellungen$")
    program.quit_and_check()

    # And as written with LANGUAGE=C.
    program = Program(setup, home, extra_env={"LANGUAGE": "C", "LANG": "de_DE.UTF-8",
                                               "LC_ALL": "de_DE.UTF-8"})
    program.wait_main_window()
    program.open_and_cancel("ctrl+w", "^Save \\.WAV file$")
    program.quit_and_check()


CASES = {
    "RodPresetNamedOnTheCommandLineIsLoaded": rod_preset_is_loaded,
    "MissingPresetShowsTheMessageAndTheWindowKeepsWorking": missing_preset_shows_the_message,
    "GermanWindowWithLanguageDe": german_window,
}

if __name__ == "__main__":
    run(CASES)
