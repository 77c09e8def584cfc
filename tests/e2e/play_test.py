#!/usr/bin/env python3
"""Render, play, stop, Save WAV and Close of the installed program, heard
on the private sound server's null sink and seen in the toolbar: Play, Open
and Save WAV insensitive while a render runs, Stop sensitive while a render
or a playback runs."""
import os
import time

from cwe2e import (DEFAULT_CONFIG, PROBE_AT, SINK_RATE_HZ, Program, Recording, Toolbar, check,
                   check_config, compress, find_sound, matching_frames, read_file, run,
                   sample_length_to_max, silent, status_area, wait_recording_quiet, wait_until,
                   watch_states, wav_frames)


def seen(state):
    return lambda states: state in states


def back_to_idle(states):
    return len(states) > 1 and states[-1] == "idle" and any(s != "idle" for s in states)


def check_played_whole(recorded, sound, what):
    """The sound is in the recording once, frame for frame from PROBE_AT to
    its end, and before the probe down to the first few ms a new stream may
    lose."""
    hits = find_sound(recorded, sound)
    check(len(hits) == 1, "%s: the sound is %d times in the recording" % (what, len(hits)))
    total = len(sound) // 2
    n = matching_frames(recorded, sound, hits[0])
    check(n == total - PROBE_AT, "%s: recording and sound differ %d frames after the probe"
          % (what, n))
    first = PROBE_AT
    rec = memoryview(recorded).cast("h")
    snd = memoryview(sound).cast("h")
    while first > 0 and hits[0] + first > 0 and rec[hits[0] + first - 1] == snd[first - 1]:
        first -= 1
    check(first < PROBE_AT, "%s: the recording differs right before the probe" % what)
    return hits[0]


def first_play_then_save_wav(setup):
    home = setup.make_home()
    reference = setup.render_reference(setup.path("reference.wav"))
    sound = wav_frames(reference)
    recording = Recording(setup)
    program = Program(setup, home)
    program.wait_main_window()
    toolbar = Toolbar(program.shot(setup.path("idle.png")))

    program.key("space")
    states = watch_states(program, toolbar, back_to_idle, 30, "the first Play to end")
    check("playing" in states, "the first Play played nothing: %s" % compress(states))
    program.shot(setup.path("window-after-play.png"))
    wait_recording_quiet(recording)
    check_played_whole(recording.stop(), sound, "first Play")

    # Save WAV right after: the same frames, as the headless renderer writes
    # them.
    program.save_wav(setup.path("take1"))
    saved = setup.path("take1.wav")
    check(os.path.exists(saved), "Save WAV wrote no take1.wav (files: %s)"
          % os.listdir(setup.scratch))
    check(read_file(saved) == read_file(reference),
          "Save WAV after Play differs from clangwright-render -o")
    program.quit_and_check()
    check_config(home, DEFAULT_CONFIG.replace('"sample_path" value=""', '"sample_path" value="%s/"'
                                              % setup.scratch), "after Save WAV")


def big_plane_program(setup, home):
    """The program on the largest plane, loaded from a preset named on the
    command line, with a sample length of 10 s: a render of seconds."""
    preset = setup.write_preset(setup.path("big.cwrp"), "--shape", "plane",
                                "--plane-length", "30", "--plane-width", "39")
    program = Program(setup, home, args=[preset])
    program.wait_main_window()
    start = program.shot(setup.path("start.png"))
    sample_length_to_max(program)
    return program, Toolbar(start), start


def second_play_without_render_and_change_renders(setup):
    home = setup.make_home()
    recording = Recording(setup)
    program, toolbar, _ = big_plane_program(setup, home)

    program.key("space")
    states = watch_states(program, toolbar, seen("playing"), 60, "the first Play to play")
    check("rendering" in states, "the first Play did not render: %s" % compress(states))
    time.sleep(0.5)
    program.key("ctrl+b")
    watch_states(program, toolbar, lambda s: s[-1] == "idle", 10,
                 "Stop to end the playback and become insensitive")
    wait_recording_quiet(recording)

    # Without a change: straight to playing, never a render.
    program.key("space")
    states = watch_states(program, toolbar, lambda s: len(s) >= 10 and "playing" in s, 20,
                          "the second Play to play")
    check("rendering" not in states, "the second Play rendered again: %s" % compress(states))
    program.key("ctrl+b")
    watch_states(program, toolbar, lambda s: s[-1] == "idle", 10, "Stop to end the playback")

    # A changed parameter (Sample Length, which still has the focus, one step
    # down) renders again.
    program.key("Left")
    program.key("space")
    states = watch_states(program, toolbar, seen("playing"), 60, "the third Play to play")
    check("rendering" in states, "a changed parameter did not render: %s" % compress(states))
    program.key("ctrl+b")
    watch_states(program, toolbar, lambda s: s[-1] == "idle", 10, "Stop to end the playback")
    program.quit_and_check()


def stop_during_render(setup):
    home = setup.make_home()
    recording = Recording(setup)
    program, toolbar, start = big_plane_program(setup, home)
    before = program.shot()

    program.key("space")
    watch_states(program, toolbar, seen("rendering"), 20, "the render to start")
    program.key("ctrl+b")
    states = watch_states(program, toolbar, lambda s: s[-1] == "idle", 20, "Stop to end the render")
    check("playing" not in states, "a stopped render was played: %s" % compress(states))
    after = program.wait_still()
    program.shot(setup.path("after-stopped-render.png"))
    # "Ready..." on an empty bar and "Real length: 0.0 s", as at the start.
    check(status_area(after) == status_area(start),
          "after a stopped render the status area differs from the start (see "
          "after-stopped-render.png and start.png)")
    check(after.pixels == before.pixels, "a stopped render changed the window")
    time.sleep(0.5)
    data = read_file(recording.path)
    check(silent(data, 0), "a stopped render played something")

    # The next Play renders and plays.
    program.key("space")
    states = watch_states(program, toolbar, seen("playing"), 60, "the next Play to play")
    check("rendering" in states, "the Play after a stopped render did not render: %s"
          % compress(states))
    wait_until(lambda: not silent(read_file(recording.path), 0), 10, "the sound to arrive")
    program.key("ctrl+b")
    watch_states(program, toolbar, lambda s: s[-1] == "idle", 10, "Stop to end the playback")
    program.quit_and_check()


def space_restarts_and_stop_ends_playback(setup):
    home = setup.make_home()
    sound = wav_frames(setup.render_reference(setup.path("reference.wav"), "--length", "10"))
    recording = Recording(setup)
    program = Program(setup, home)
    program.wait_main_window()
    toolbar = Toolbar(program.shot())
    sample_length_to_max(program)

    program.key("space")
    watch_states(program, toolbar, seen("playing"), 30, "the playback to start")
    time.sleep(1.5)
    program.key("space")
    time.sleep(1.5)
    states = watch_states(program, toolbar, lambda s: True, 5, "a screenshot")
    check(states == ["playing"], "after a Space during the playback: %s" % states)
    program.key("ctrl+b")
    watch_states(program, toolbar, lambda s: s[-1] == "idle", 10,
                 "Stop to end the playback and become insensitive")
    wait_recording_quiet(recording, quiet_s=1.0)
    recorded = recording.stop()

    total = len(sound) // 2
    hits = find_sound(recorded, sound)
    check(len(hits) == 2, "Space during a playback: the sound's start is %d times in the "
          "recording, not twice" % len(hits))
    first_run = matching_frames(recorded, sound, hits[0])
    check(hits[0] + PROBE_AT + first_run <= hits[1] + PROBE_AT,
          "the first run overlaps the restart")
    check(first_run < total - PROBE_AT, "the first run played to its end despite the restart")
    second_run = matching_frames(recorded, sound, hits[1])
    check(second_run < total - PROBE_AT, "Stop did not end the playback")
    end_of_sound = hits[1] + PROBE_AT + second_run
    check(silent(recorded, end_of_sound),
          "after the stopped playback the sink is not silent (frame %d of %d)"
          % (end_of_sound, len(recorded) // 2))
    program.quit_and_check()


def close_during_render(setup, then_stop):
    home = setup.make_home()
    recording = Recording(setup)
    program, toolbar, _ = big_plane_program(setup, home)
    program.key("space")
    watch_states(program, toolbar, seen("rendering"), 20, "the render to start")
    program.key("ctrl+q")
    time.sleep(0.3)
    check(program.alive(), "Close ended the program in the middle of a render")
    if then_stop:
        program.key("ctrl+b")
    status = program.wait_exit(60)
    check(status == 0, "Close during a render: exit status %d" % status)
    check_config(home, DEFAULT_CONFIG, "Close during a render")
    time.sleep(0.3)
    check(silent(read_file(recording.path), 0), "the render finished after Close was played")


CASES = {
    "FirstSpaceRendersAndPlaysTheRenderersSoundThenSaveWavWritesItsBytes": first_play_then_save_wav,
    "SecondSpacePlaysWithoutRenderChangedParameterRendersAgain":
        second_play_without_render_and_change_renders,
    "StopDuringRenderPlaysNothingAndNextPlayRenders": stop_during_render,
    "SpaceDuringPlaybackRestartsItStopEndsIt": space_restarts_and_stop_ends_playback,
    "CloseDuringRenderEndsAfterTheRender": lambda s: close_during_render(s, False),
    "CloseDuringRenderEndsAtStop": lambda s: close_during_render(s, True),
}

if __name__ == "__main__":
    run(CASES)
