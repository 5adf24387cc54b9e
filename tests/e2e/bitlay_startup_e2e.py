#!/usr/bin/env python3
"""Starts Bitlay as a person would while the KiCad beside it is slow to answer, on one pcbnew with
its board open (its API enabled, a HOME and TMPDIR of its own), Bitlay finding it by itself:

1. KiCad stopped for 15 s (a machine swapping it out): Bitlay says it waits, attaches live once
   KiCad goes on, and a transfer goes into KiCad; no board file is made.
2. KiCad kept busy by another client's long request: Bitlay waits and attaches once it is free.
3. KiCad stopped, and the person presses Cancel: the message box comes at once, OK ends Bitlay's
   windows; once KiCad goes on, Bitlay lets go of it and ends, and KiCad still answers.
4. KiCad stopped longer than Bitlay waits (a minute): the message box, OK ends Bitlay with status
   1; no board file is made. (KiCad's API then never answers again: KiCad's own fault, seen with
   any client that gives up on a stopped KiCad. So this case comes last.)

Only the pcbnew this test started is stopped and let go on. `--cases waited` runs the first three,
`--cases given-up` the last: most of either is waiting, so they run side by side as two tests,
each with a pcbnew of its own.

Usage: bitlay_startup_e2e.py BITLAY_EXECUTABLE WORK_DIR [--kicad NAME] [--cases waited|given-up]
Exit status 0 on success, 1 on a failed step, 77 when that KiCad or an X server cannot run here.
"""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bitlay_live_e2e import (beside_pcbnew, compare_segments, group_members,  # noqa: E402
                             transfer_logo)
from desktop import (StepFailed, bitlay_window, poll, quit_bitlay, run, start_bitlay,  # noqa: E402
                     stop_bitlay)

B_CU = 34
STOPPED_SECONDS = 15
# How long Bitlay waits for a KiCad that took the connection, as its library says.
ANSWER_WAIT = 60
# The other client's request: about 10 s of KiCad's time on a 2-core machine. Busy for longer than
# a request was once waited for at start-up (5 s), KiCad then made Bitlay give up.
BUSY_SEGMENTS = 50000
OLD_REQUEST_WAIT = 5


def thread_states(pid):
    states = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/stat") as stat:
                states.append(stat.read().rsplit(")", 1)[1].split()[0])
    except OSError:
        pass
    return states


def pause(pcbnew, paused):
    """Stops pcbnew's process group, as a machine swapping it out would, until every thread of it
    has stopped; or lets it go on."""
    os.killpg(pcbnew.process.pid, signal.SIGSTOP if paused else signal.SIGCONT)
    if paused:
        poll("pcbnew to stop", lambda: all(
            state == "T" for pid in group_members(pcbnew.process.pid)
            for state in thread_states(pid)), 10, 0.05)


def case_folder(work, name):
    """The working folder Bitlay is started in: a board file made there would be the fault."""
    folder = work / name
    folder.mkdir()
    return folder


def no_board_file(folder):
    made = sorted(path.name for path in folder.glob("*.kicad_pcb"))
    if made:
        raise StepFailed(f"Bitlay made {made} in its working folder instead of waiting for KiCad")


def bitlay_env(session, pcbnew):
    env = session.display.env(TMPDIR=str(pcbnew.tmp))
    for name in ("DBX_DESIGN", "KICAD_API_SOCKET", "KICAD_API_TOKEN"):
        env.pop(name, None)
    return env


def wait_window(session, process):
    """The window saying that Bitlay waits for KiCad, once it shows; it must be in front."""
    def probe():
        for window in session.visible_windows("^Bitlay$"):
            if session.is_wait_window(window):
                return window
        if session.message_boxes():
            raise StepFailed("Bitlay shows its message box instead of waiting for KiCad")
        if process.poll() is not None:
            raise StepFailed(f"bitlay ended with status {process.returncode} instead of waiting")
        return None
    window = poll("the window saying Bitlay waits for KiCad", probe, 10)
    poll("the wait window to be stacked on top",
         lambda: (session.stacking() or [0])[-1] == int(window), 5)
    if "_NET_WM_STATE_ABOVE" not in session.wm_state(window):
        raise StepFailed(f"the wait window is not kept above: {session.wm_state(window).strip()}")
    return window


def message_box(session, process, seconds):
    def probe():
        boxes = session.message_boxes()
        if boxes:
            return boxes[0]
        if process.poll() is not None:
            raise StepFailed(f"bitlay ended with status {process.returncode} without a message")
        return None
    return poll("Bitlay's message box", probe, seconds, 0.2)


def press_return_in(session, window):
    """A person presses Enter in the window that has come up; without the focus, they would
    click on it first."""
    active = run("xdotool", "getactivewindow", check=False, env=session.env).strip()
    if active != window:
        session.click(window, (10, 10))
    session.xdo("key", "Return")


def stopped_for_a_while(session, pcbnew, exe, work):
    folder = case_folder(work, "stopped")
    pause(pcbnew, True)
    stopped = time.monotonic()
    process = start_bitlay(exe, folder, bitlay_env(session, pcbnew), work / "stopped.log")
    try:
        wait_window(session, process)
        time.sleep(max(0.0, STOPPED_SECONDS - (time.monotonic() - stopped)))
        pause(pcbnew, False)
        window = bitlay_window(session, process)
        no_board_file(folder)
        if any(session.is_wait_window(w) for w in session.visible_windows("^Bitlay$")):
            raise StepFailed("the wait window stays after KiCad answered")
        got, want = transfer_logo(session, window, pcbnew, folder)
        quit_bitlay(session, window, process)
        compare_segments(got, want, B_CU)
        no_board_file(folder)
        print(f"startup e2e: KiCad stopped {STOPPED_SECONDS} s was waited for; {len(got)} "
              "segments went into it")
    finally:
        pause(pcbnew, False)
        stop_bitlay(process)


def busy_with_another_client(session, pcbnew, exe, work):
    folder = case_folder(work, "busy")
    other = subprocess.Popen([pcbnew.probe, pcbnew.url, "busy", str(BUSY_SEGMENTS)],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    process = None
    try:
        said = other.stdout.readline().strip()
        if said != "sending":
            raise StepFailed(f"the other client could not keep KiCad busy: {said}")
        started = time.monotonic()
        process = start_bitlay(exe, folder, bitlay_env(session, pcbnew), work / "busy.log")
        wait_window(session, process)
        window = bitlay_window(session, process, 120)
        waited = time.monotonic() - started
        busy = other.communicate(timeout=60)[0].strip()
        if other.returncode != 0:
            raise StepFailed(f"the other client's request failed: {busy}")
        if waited < OLD_REQUEST_WAIT:
            raise StepFailed(f"KiCad was busy for only {waited:.1f} s, which proves nothing")
        quit_bitlay(session, window, process)
        no_board_file(folder)
        print(f"startup e2e: KiCad busy {busy} s with another client's request; Bitlay attached "
              f"after {waited:.1f} s")
    finally:
        if other.poll() is None:
            other.kill()
            other.wait()
        if process is not None:
            stop_bitlay(process)


def cancelled(session, pcbnew, exe, work):
    folder = case_folder(work, "cancelled")
    pause(pcbnew, True)
    process = start_bitlay(exe, folder, bitlay_env(session, pcbnew), work / "cancelled.log")
    try:
        wait = wait_window(session, process)
        # Cancel, where the wait window's one button is: its lower right corner.
        _, _, width, height = session.geometry(wait)
        session.click(wait, (width - 40, height - 20))
        box = message_box(session, process, 5)
        if session.visible_windows("^Bitlay$") != [box]:
            raise StepFailed("the wait window stays after Cancel")
        press_return_in(session, box)
        poll("Bitlay's windows to go", lambda: not session.visible_windows("Bitlay"), 10)
        # Bitlay is still inside the library's call, which KiCad has not answered. Once KiCad
        # goes on, the call attaches, Bitlay lets go of the design and ends.
        pause(pcbnew, False)
        status = process.wait(30)
        if status != 1:
            raise StepFailed(f"the cancelled Bitlay ended with status {status}, not 1")
        if not pcbnew.ready():
            raise StepFailed("KiCad no longer answers after a cancelled start-up")
        no_board_file(folder)
        print("startup e2e: Cancel gave the message at once; KiCad answers afterwards")
    finally:
        pause(pcbnew, False)
        stop_bitlay(process)


def stopped_too_long(session, pcbnew, exe, work):
    folder = case_folder(work, "too-long")
    pause(pcbnew, True)
    process = start_bitlay(exe, folder, bitlay_env(session, pcbnew), work / "too-long.log")
    started = time.monotonic()
    try:
        wait_window(session, process)
        box = message_box(session, process, ANSWER_WAIT + 30)
        waited = time.monotonic() - started
        if waited < ANSWER_WAIT - 5:
            raise StepFailed(f"Bitlay gave up on KiCad after {waited:.1f} s, not {ANSWER_WAIT}")
        press_return_in(session, box)
        status = process.wait(10)
        if status != 1:
            raise StepFailed(f"Bitlay ended with status {status}, not 1")
        no_board_file(folder)
        print(f"startup e2e: a KiCad stopped too long gave the message after {waited:.1f} s, "
              "and no board file")
    finally:
        pause(pcbnew, False)
        stop_bitlay(process)


CASES = {
    "waited": (("KiCad stopped for a while", stopped_for_a_while),
               ("KiCad busy with another client", busy_with_another_client),
               ("Cancel while KiCad is stopped", cancelled)),
    "given-up": (("KiCad stopped longer than the wait", stopped_too_long),),
}


def startup_run(session, kicad, pcbnew, exe, work, args):
    if args.cases:
        if args.cases not in CASES:
            raise StepFailed(f"--cases is one of {', '.join(CASES)}, not {args.cases}")
        cases = CASES[args.cases]
    else:
        cases = CASES["waited"] + CASES["given-up"]
    step = "start"
    try:
        for step, case in cases:
            case(session, pcbnew, exe, work)
    except StepFailed as error:
        raise StepFailed(f"{step}: {error}") from error


def main():
    return beside_pcbnew("startup", "Bitlay starting beside a slow KiCad", startup_run,
                         ("--cases",))


if __name__ == "__main__":
    sys.exit(main())
