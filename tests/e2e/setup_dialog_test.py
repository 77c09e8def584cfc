#!/usr/bin/env python3
"""The program setup dialog of the installed program, driven by keys. Its
focus chain runs: Sound output, Playback rate, the two check buttons,
Export rate, OK, Cancel, and starts at Sound output at the first opening;
Up and Down step a rate list, Space toggles a check button, Alt+O is OK
(the stock button's mnemonic) wherever the focus is, Escape closes the
dialog like Cancel."""
import os
import re

from cwe2e import (DEFAULT_CONFIG, Program, Toolbar, check, check_config, compress, run,
                   sink_inputs, wait_until, watch_states)

TITLE = "^Clangwright configuration$"
OK = "alt+o"


def open_setup(program, save_as=None):
    program.key("ctrl+u")
    dialog = program.find_window(TITLE)
    program.wait_still(dialog)
    if save_as:
        program.shot(save_as, wid=dialog)
    return dialog


def answer(program, dialog, *keys):
    program.key(*keys, wid=dialog)
    wait_until(lambda: program.window_gone(dialog), 10, "the setup dialog to close")


def our_stream(setup):
    """(index, rate in Hz) of the program's stream on the sound server."""
    text = sink_inputs(setup)
    for block in text.split("Sink Input #")[1:]:
        if 'application.name = "Clangwright"' in block:
            rate = re.search(r"Sample S\w+: s16le 1ch (\d+)Hz", block)
            return int(block.split()[0]), int(rate.group(1)) if rate else None
    return None


def playback_rate_96000_ok_and_restart(setup):
    home = setup.make_home()
    program = Program(setup, home)
    program.wait_main_window()
    toolbar = Toolbar(program.shot())
    stream_before = wait_until(lambda: our_stream(setup), 10, "the program's stream")
    check(stream_before[1] == 48000, "stream at %s Hz before the setup" % stream_before[1])
    program.key("space")
    watch_states(program, toolbar, lambda s: s[-1] == "idle" and "playing" in s, 30,
                 "the first Play to end")

    dialog = open_setup(program, setup.path("setup-dialog.png"))
    answer(program, dialog, "Tab", "Down", OK)
    stream = wait_until(lambda: (lambda s: s if s and s[0] != stream_before[0] else None)(
        our_stream(setup)), 10, "the driver to be opened again")
    check(stream[1] == 96000, "after OK with 96000 the stream runs at %s Hz" % stream[1])

    # The sound of the last Play was made at 48000: the next Play renders.
    program.key("space")
    states = watch_states(program, toolbar, lambda s: s[-1] == "idle" and len(s) > 1, 30,
                          "the Play at 96000 to end")
    check("rendering" in states or "playing" in states,
          "Play at 96000 did nothing: %s" % compress(states))
    program.quit_and_check()
    at_96000 = DEFAULT_CONFIG.replace('"rate" value="48000"', '"rate" value="96000"')
    check_config(home, at_96000, "96000 and OK")

    # After a restart the dialog shows the stored rate: OK without a change
    # writes it back unchanged, and the driver opens at it.
    program = Program(setup, home)
    program.wait_main_window()
    stream = wait_until(lambda: our_stream(setup), 10, "the program's stream")
    check(stream[1] == 96000, "after the restart the stream runs at %s Hz" % stream[1])
    dialog = open_setup(program)
    answer(program, dialog, OK)
    program.quit_and_check()
    check_config(home, at_96000, "restart, OK without a change")


def cancel_changes_nothing(setup):
    home = setup.make_home()
    program = Program(setup, home)
    program.wait_main_window()
    stream_before = wait_until(lambda: our_stream(setup), 10, "the program's stream")

    # Everything changed, then Cancel: the driver is not opened again.
    dialog = open_setup(program)
    opened = program.shot(wid=dialog)
    program.key("Tab", "Down", "Tab", "space", "Tab", "space", "Tab", "Up", wid=dialog)
    changed = program.wait_still(dialog)
    check(changed.pixels != opened.pixels, "the keys changed nothing in the setup dialog")
    answer(program, dialog, "Escape")
    check(our_stream(setup) == stream_before, "Cancel opened the driver again")

    # The next opening shows the stored values: OK without a change writes
    # the defaults, and opens the driver again at 48000.
    dialog = open_setup(program)
    answer(program, dialog, OK)
    stream = wait_until(lambda: (lambda s: s if s and s[0] != stream_before[0] else None)(
        our_stream(setup)), 10, "OK to open the driver again")
    check(stream[1] == 48000, "OK without a change: stream at %s Hz" % stream[1])
    program.quit_and_check()
    check_config(home, DEFAULT_CONFIG, "Cancel, then OK without a change")


def add_extension_off_takes_effect_at_once(setup):
    home = setup.make_home()
    program = Program(setup, home)
    program.wait_main_window()
    program.save_wav(setup.path("first"))
    check(os.path.exists(setup.path("first.wav")), "with auto_ext on, first was not saved as "
          "first.wav (files: %s)" % os.listdir(setup.scratch))

    dialog = open_setup(program)
    answer(program, dialog, "Tab", "Tab", "space", OK)
    program.save_wav(setup.path("second"))
    check(os.path.exists(setup.path("second")) and not os.path.exists(setup.path("second.wav")),
          "with auto_ext switched off, second was not saved as it was typed (files: %s)"
          % os.listdir(setup.scratch))
    program.quit_and_check()
    check_config(home, DEFAULT_CONFIG.replace('"auto_ext" value="TRUE"', '"auto_ext" value="FALSE"')
                 .replace('"sample_path" value=""', '"sample_path" value="%s/"' % setup.scratch),
                 "auto_ext off")


CASES = {
    "PlaybackRate96000OkReopensDriverAndSurvivesRestart": playback_rate_96000_ok_and_restart,
    "CancelChangesNothingAndNextOpeningShowsStoredValues": cancel_changes_nothing,
    "AddExtensionOffTakesEffectAtNextSave": add_extension_off_takes_effect_at_once,
}

if __name__ == "__main__":
    run(CASES)
