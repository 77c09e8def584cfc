#!/usr/bin/env python3
"""Exploring in the installed window: "Play on change" heard on the null
sink, the keys of Randomise, Undo and Redo, and the small file that keeps
the locks and the toggle beside the configuration."""
import os

from cwe2e import (DEFAULT_CONFIG, Program, Recording, check, check_config, find_sound,
                   matching_frames, read_file, run, wait_recording_quiet, wait_until, wav_frames,
                   write_config)

EXPLORE_ON = """[explore]
play-on-change=true

[locks]
shape=true
nodes=false
tension=false
speed=false
damping=false
actuation=false
velocity=false
length=false
"""


def explore_path(home):
    return os.path.join(home, ".clangwright", "explore")


def heard_whole(recorded, sound):
    """Every frame of the sound from its probe on is in the recording."""
    for hit in find_sound(recorded, sound):
        if matching_frames(recorded, sound, hit) == len(sound) // 2 - 2400:
            return True
    return False


def play_on_change_plays_the_latest_sound(setup):
    home = setup.make_home()
    write_config(home, DEFAULT_CONFIG)
    with open(explore_path(home), "w") as f:
        f.write(EXPLORE_ON)
    shorter = wav_frames(setup.render_reference(setup.path("shorter.wav"), "--length", "0.9"))
    shortest = wav_frames(setup.render_reference(setup.path("shortest.wav"), "--length", "0.7"))
    recording = Recording(setup)
    program = Program(setup, home)
    program.wait_main_window()

    # The Sample Length slider (the fifteenth stop of the focus chain) one
    # step down: the sound of 0.9 s plays by itself.
    program.key(*(["Tab"] * 15 + ["Left"]))
    wait_until(lambda: heard_whole(read_file(recording.path), shorter), 20,
               "the changed sound to play")

    # Two steps down while the window is idle again, quickly: one play, of
    # the last value.
    wait_recording_quiet(recording)
    start = os.path.getsize(recording.path)
    program.key("Left", "Left")
    wait_until(lambda: heard_whole(read_file(recording.path)[start:], shortest), 20,
               "the latest sound to play")
    wait_recording_quiet(recording)
    recorded = recording.stop()[start:]
    # The sounds share their start: the one between would go on past 0.7 s.
    between = wav_frames(setup.render_reference(setup.path("between.wav"), "--length", "0.8"))
    check(not heard_whole(recorded, between), "the sound between the two steps was played")

    program.quit_and_check()
    check(read_file(explore_path(home)).decode() == EXPLORE_ON,
          "the locks and the toggle were not kept:\n%s" % read_file(explore_path(home)))
    check_config(home, DEFAULT_CONFIG, "with the explore file beside it")


def below_toolbars(image):
    # Undo and Redo change their look with the history: the parameters, the
    # view and the status below the two toolbar rows tell the sound. The
    # keyboard right of the Status frame is left out: it greys the keys a
    # sound cannot play once that sound's engine is ready, a moment later.
    top = 130
    bottom_row = image.height * 87 // 100
    keyboard_left = image.width * 55 // 100
    return (image.region(0, top, image.width, bottom_row) +
            image.region(0, bottom_row, keyboard_left, image.height))


def keys_randomise_undo_redo(setup):
    home = setup.make_home()
    program = Program(setup, home)
    program.wait_main_window()
    first = below_toolbars(program.shot(setup.path("start.png")))
    program.key("ctrl+r")
    randomised = below_toolbars(program.wait_still())
    check(randomised != first, "Control+R changed nothing on screen")
    program.key("ctrl+z")
    check(below_toolbars(program.wait_still()) == first,
          "Control+Z did not bring the first sound back")
    program.key("ctrl+y")
    check(below_toolbars(program.wait_still()) == randomised, "Control+Y did not redo")
    program.key("ctrl+shift+z")
    check(below_toolbars(program.wait_still()) == randomised,
          "Control+Shift+Z after the last step changed the sound")
    program.shot(setup.path("explore-row.png"))
    program.quit_and_check()
    check(os.path.exists(explore_path(home)), "no explore file was written")


CASES = {
    "PlayOnChangePlaysTheLatestSound": play_on_change_plays_the_latest_sound,
    "KeysRandomiseUndoRedo": keys_randomise_undo_redo,
}

if __name__ == "__main__":
    run(CASES)
