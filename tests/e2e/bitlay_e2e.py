#!/usr/bin/env python3
"""Uses Bitlay as a person would, under a real X server with a window manager (openbox): load a
picture by typing its path and Enter, pick a colour with one click, choose a layer, type the
position and scale, transfer, load a second picture by typing only its name, rotate, quit; then
checks the board file line by line against lines worked out here from the transfer rules, and that
each transfer is one board-only footprint of exactly its lines (in KiCad too, where its Python
module is). While the
first Bitlay is attached, a second one on the same board must show its message box on top of every
window and end with status 1; a further run attaches to a missing board.

Usage: bitlay_e2e.py BITLAY_EXECUTABLE WORK_DIR [--screenshot PNG]
Exit status 0 on success, 1 on a failed step, 77 when no X server can be started.
"""

import os
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from board_check import (BLUE, FRESH_BOARD, RED, board_lines, check_footprints,  # noqa: E402
                         check_footprints_in_kicad, check_parses, check_same, expected_lines, mm,
                         test_picture, wait_for_lines)
from desktop import (CAPTION, COMMAND1, COMMAND3, COMMAND5, LIST2, PICTURE1_CLIENT,  # noqa: E402
                     StepFailed, TEXT1, TEXT2, TEXT3, bitlay_window, pick_and_check, poll,
                     quit_bitlay, run, run_on_desktop, start_bitlay, stop_bitlay, write_bmp)


def second_bitlay_run(session, exe, work, env, first_window):
    """A second Bitlay on the board the first one holds: its message box must come up above every
    window, the first one's always-on-top window included, and OK must end it with status 1."""
    process = start_bitlay(exe, work, env, work / "second.log")
    try:
        try:
            box = session.find_window("^Bitlay$")
        except StepFailed:
            raise StepFailed(f"no message box (second bitlay status {process.poll()}): "
                             f"{process.log_path.read_text().strip()}")

        # The window manager needs a moment to stack a window it has just mapped.
        def box_on_top():
            order = session.stacking()
            return order and order[-1] == int(box)
        try:
            poll("the message box to be stacked on top", box_on_top, 5)
        except StepFailed:
            raise StepFailed(f"the message box {box} is not the top window: stacking "
                             f"{session.stacking()}, first window {first_window}")
        if int(first_window) not in session.stacking():
            raise StepFailed("the first Bitlay's window is no longer managed")
        if "_NET_WM_STATE_ABOVE" not in session.wm_state(box):
            raise StepFailed(f"the message box is not kept above: {session.wm_state(box).strip()}")
        if len(session.visible_windows(CAPTION)) != 1:
            raise StepFailed("the second Bitlay shows its window after a failed attach")
        session.screenshot(work / "busy.png")
        # A person presses Enter in the box that has come up; without the focus, they would click
        # on it first.
        active = run("xdotool", "getactivewindow", check=False, env=session.env).strip()
        if active != box:
            session.click(box, (10, 10))
        session.xdo("key", "Return")
        status = process.wait(10)
        if status != 1:
            raise StepFailed(f"the second Bitlay ended with status {status}, not 1")
        print("e2e: a second Bitlay on the same board shows its message on top and ends with 1")
    finally:
        stop_bitlay(process)


def main_run(session, exe, work, shots):
    board = work / "e2e.kicad_pcb"
    board.write_text(FRESH_BOARD, encoding="utf-8")
    pictures = work / "pictures"
    pictures.mkdir()
    picture, second_picture = pictures / "logo.bmp", pictures / "logo-blue.bmp"
    pixels, second_pixels = test_picture(RED), test_picture(BLUE)
    write_bmp(picture, pixels)
    write_bmp(second_picture, second_pixels)
    env = session.display.env(DBX_DESIGN=str(board))
    process = start_bitlay(exe, work, env, work / "bitlay.log")
    step = "start"
    try:
        step = "find the window"
        window = bitlay_window(session, process)
        _, _, w, h = session.geometry(window)
        if (w, h) != (329, 488):
            raise StepFailed(f"the window is {w} x {h}, not 329 x 488")
        if "_NET_WM_STATE_ABOVE" not in session.wm_state(window):
            raise StepFailed(f"the window is not kept above: {session.wm_state(window).strip()}")
        initial = board.read_bytes()

        step = "a second Bitlay on the same board"
        second_bitlay_run(session, exe, work, env, window)
        if process.poll() is not None:
            raise StepFailed(f"the first Bitlay ended with status {process.returncode}")

        step = "load the picture by typing its path"
        session.click(window, COMMAND1)
        session.choose_file(str(picture), select_all=False)

        step = "pick the colour with one click"
        pick_and_check(session, window, RED)

        step = "choose the layer and type the numbers"
        session.click(window, (LIST2[0] + 20, LIST2[1] + 8))  # the first entry, then the next
        session.xdo("key", "Down")
        x_text, y_text, s_text = "1.5", "-3", "2"
        session.type_into(window, TEXT1, x_text)
        session.type_into(window, TEXT2, y_text)
        session.type_into(window, TEXT3, s_text)

        shots.append(("loaded", work / "loaded.png"))
        session.screenshot(shots[-1][1])

        step = "transfer"
        first_count = len(expected_lines(pixels, RED, x_text, y_text, s_text)[0])
        session.click(window, COMMAND3)
        wait_for_lines(board, first_count)

        step = "load the second picture by typing only its name"
        # The dialog opens in the first picture's folder with that name selected: typing
        # replaces it.
        session.click(window, COMMAND1)
        session.choose_file(second_picture.name, select_all=False)

        step = "pick the second colour with one click"
        pick_and_check(session, window, BLUE)

        step = "transfer the second picture"
        session.click(window, COMMAND3)
        wait_for_lines(board, first_count +
                       len(expected_lines(second_pixels, BLUE, x_text, y_text, s_text)[0]))

        step = "rotate"
        picture_area = (*PICTURE1_CLIENT, 309, 229)
        unturned = session.grab(window, picture_area)
        session.click(window, COMMAND5)
        session.wait_for_change("the turned picture", window, picture_area, unturned)
        shots.append(("rotated", work / "rotated.png"))
        session.screenshot(shots[-1][1])

        step = "quit"
        quit_bitlay(session, window, process)

        step = "check the board"
        text = board.read_text(encoding="utf-8")
        if not text.encode("utf-8").startswith(initial[: initial.rstrip().rfind(b")")]):
            raise StepFailed("bytes that were in the board before the transfer changed")
        check_parses(text)
        want, transfers = [], []
        for picture_pixels, ink in ((pixels, RED), (second_pixels, BLUE)):
            expected, width = expected_lines(picture_pixels, ink, x_text, y_text, s_text)
            want += [(mm(a), -mm(b), mm(c), -mm(d), "B.Cu", mm(width)) for a, b, c, d in expected]
            transfers.append(len(expected))
        got = board_lines(text)
        check_same(got, want, "line", "the board")
        print(f"e2e: {len(got)} lines on B.Cu as the rules give, from both pictures")

        step = "check the footprints"
        check_footprints(text, transfers)
        check_footprints_in_kicad(board, work, transfers)
    except Exception as error:
        raise StepFailed(f"step '{step}': {error}") from error
    finally:
        stop_bitlay(process)


def missing_board_run(session, exe, work):
    env = session.display.env(DBX_DESIGN=str(work / "missing" / "nothing.kicad_pcb"))
    process = start_bitlay(exe, work, env, work / "missing.log")
    try:
        try:
            box = session.find_window("^Bitlay$")
        except StepFailed:
            status = process.poll()
            raise StepFailed(f"no message box (bitlay status {status}): "
                             f"{process.log_path.read_text().strip()}")
        if session.visible_windows(CAPTION):
            raise StepFailed("the main window is shown after a failed attach")
        shot = work / "missing.png"
        session.screenshot(shot)
        session.xdo("windowfocus", "--sync", box)
        session.xdo("key", "Return")
        status = process.wait(10)
        if status != 1:
            raise StepFailed(f"bitlay ended with status {status} after a failed attach, not 1")
        print("e2e: a missing board gives one message box and exit status 1")
    except Exception as error:
        raise StepFailed(f"step 'missing board': {error}") from error
    finally:
        stop_bitlay(process)


def main():
    exe, work = os.path.abspath(sys.argv[1]), Path(sys.argv[2])
    keep = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--screenshot" else None

    def body(session):
        shots = []
        main_run(session, exe, work, shots)
        missing_board_run(session, exe, work)
        if keep:
            shutil.copy(dict(shots)["loaded"], keep)

    return run_on_desktop("e2e", work, (), body)


if __name__ == "__main__":
    sys.exit(main())
