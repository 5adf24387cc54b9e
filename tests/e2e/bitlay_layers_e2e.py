#!/usr/bin/env python3
"""A copper logo with its solder-mask opening in one transfer, done as a person would with a KiCad
running beside Bitlay on the same X server: the logo is loaded and its red picked, F.Cu clicked in
the layer list, the list scrolled with the wheel and F.Mask added with Ctrl+click, the numbers
typed and the picture transferred once. KiCad must then hold one footprint whose lines lie on F.Cu
and on F.Mask, the same lines on both, exactly where the transfer rules put them, of which KiCad's
design rule check has nothing to say; one Ctrl+Z in KiCad takes both away.

Usage: bitlay_layers_e2e.py BITLAY_EXECUTABLE WORK_DIR [--kicad NAME]
--kicad names the KiCad of the matrix (tests/e2e/kicad_matrix.py) to run: host (the default, or
what BITLAY_KICAD names), trixie or sid.
Exit status 0 on success, 1 on a failed step, 77 when that KiCad or an X server cannot run here.
"""

import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bitlay_live_e2e import beside_pcbnew, logo, start_beside  # noqa: E402
from board_check import check_same, expected_lines, parse_sexpr  # noqa: E402
from desktop import (COMMAND1, COMMAND3, LIST2, StepFailed, TEXT1, TEXT2, TEXT3,  # noqa: E402
                     bitlay_window, pick_and_check, poll, quit_bitlay, stop_bitlay, write_bmp)

F_CU, F_MASK = 3, 42  # KiCad's API numbers of the layers
# A new board's layer list: F.Cu, B.Cu, F.Adhesive, B.Adhesive, F.Paste, B.Paste, F.Silkscreen,
# B.Silkscreen, F.Mask, ... Each turn of the wheel scrolls the list by three entries.
MASK_ROW, WHEEL_TURNS, ROWS_PER_TURN = 8, 2, 3
LIST_SIZE = (81, 82)  # List2 in pixels, its frame included


def chosen_rows(session, window):
    """The bands of the layer list that show a chosen entry, as (top, height) from the list's top,
    read off the screen: a chosen entry is drawn in the highlight colour, a blue."""
    width, height = LIST_SIZE
    pixels = session.grab(window, (LIST2[0], LIST2[1], width, height))
    column = 55  # right of a short name, left of the scroll bar
    bands, top = [], None
    for y in range(height):
        r, g, b = pixels[(y * width + column) * 3:(y * width + column) * 3 + 3]
        blue = b - r > 60
        if blue and top is None:
            top = y
        if not blue and top is not None:
            bands.append((top, y - top))
            top = None
    return bands


def choose_copper_and_mask(session, window):
    """A click on F.Cu, the wheel turned over the list until F.Mask shows, and a Ctrl+click on it.
    Where F.Mask shows follows from the height of the chosen F.Cu as it is drawn."""
    session.click(window, (LIST2[0] + 20, LIST2[1] + 8))
    bands = poll("F.Cu to show chosen", lambda: chosen_rows(session, window), 10)
    if len(bands) != 1:
        raise StepFailed(f"after a click on F.Cu the list shows {len(bands)} chosen entries")
    top, row_height = bands[0]
    before = session.grab(window, (LIST2[0], LIST2[1], *LIST_SIZE))
    session.xdo("mousemove", "--window", window, "--sync", str(LIST2[0] + 30),
                str(LIST2[1] + 40))
    for _ in range(WHEEL_TURNS):
        session.xdo("click", "5")
    session.wait_for_change("the layer list to scroll", window, (LIST2[0], LIST2[1], *LIST_SIZE),
                            before, 10)
    shown = MASK_ROW - WHEEL_TURNS * ROWS_PER_TURN
    y = top + shown * row_height + row_height // 2
    session.xdo("mousemove", "--window", window, "--sync", str(LIST2[0] + 20), str(LIST2[1] + y))
    session.xdo("keydown", "ctrl", "click", "1", "keyup", "ctrl")
    want = [(top + shown * row_height, row_height)]
    try:
        poll("F.Mask to show chosen", lambda: chosen_rows(session, window) == want, 10)
    except StepFailed as error:
        raise StepFailed(f"{error}: the list shows {chosen_rows(session, window)}") from error


def undo_in_kicad(session, pcbnew):
    """Ctrl+Z in KiCad's window, as a person would press it there."""
    windows = pcbnew.windows(session.env)
    if not windows:
        raise StepFailed("KiCad shows no window")
    session.xdo("windowactivate", "--sync", windows[0])
    session.xdo("key", "ctrl+z")


def footprints(pcbnew):
    out = subprocess.run([pcbnew.probe, pcbnew.url, "footprints"], capture_output=True, text=True,
                         timeout=30)
    if out.returncode != 0:
        raise StepFailed(f"reading KiCad's footprints failed: {out.stderr.strip()}")
    return out.stdout.splitlines()


def check_one_footprint_on_both(got, found, want):
    """KiCad's segments are the rules' lines on F.Cu and the same on F.Mask, in one footprint."""
    for layer, name in ((F_CU, "F.Cu"), (F_MASK, "F.Mask")):
        on_layer = sorted(segment[1:] for segment in got if segment[0] == layer)
        check_same(on_layer, want, f"segment on {name}", "KiCad")
    if len(got) != 2 * len(want):
        raise StepFailed(f"KiCad holds {len(got)} segments, {len(got) - 2 * len(want)} of them "
                         "on neither layer")
    count = f"{len(got):,}"
    if found != [f"Bitlay: {count} lines|1 1 1|0 0|{len(got)}"]:
        raise StepFailed(f"KiCad's footprints are {found}, not one holding all {count} lines")


def uuids_in(form):
    """Every UUID inside a parsed form, its own included."""
    found = set()
    for part in form[1:] if isinstance(form, list) else ():
        if isinstance(part, list) and len(part) == 2 and part[0] in ("uuid", "tstamp"):
            found.add(part[1])
        found |= uuids_in(part)
    return found


def drc_of_footprints(kicad, pcbnew):
    """KiCad's design rule check of the board as KiCad saves it: the violations that name the
    footprint or one of its lines."""
    saved = subprocess.run([pcbnew.probe, pcbnew.url, "save"], capture_output=True, text=True,
                           timeout=60)
    if saved.returncode != 0:
        raise StepFailed(f"KiCad did not save the board: {saved.stderr.strip()}")
    board = pcbnew.folder / "live.kicad_pcb"
    ours = set()
    for form in parse_sexpr(board.read_text(encoding="utf-8"))[0][1:]:
        if isinstance(form, list) and form and form[0] == "footprint":
            ours |= uuids_in(form)
    report = pcbnew.folder / "drc.json"
    command = kicad.prefix(pcbnew.folder, HOME=pcbnew.home) + [
        "kicad-cli", "pcb", "drc", "--format", "json", "--severity-all", "-o", str(report),
        str(board)]
    out = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if not report.exists():
        raise StepFailed(f"kicad-cli pcb drc wrote no report: {out.stdout} {out.stderr}")
    found = json.loads(report.read_text())
    return [f"{v['type']}: {v['description']}"
            for v in found["violations"] + found.get("unconnected_items", [])
            if any(item.get("uuid") in ours for item in v["items"])]


def layers_run(session, kicad, pcbnew, exe, work):
    process = start_beside(session, pcbnew, exe, work)
    step = "start"
    try:
        step = "find the window"
        window = bitlay_window(session, process)

        step = "load the logo and pick its red"
        picture = work / "logo.bmp"
        pixels = logo()
        write_bmp(picture, pixels)
        session.click(window, COMMAND1)
        session.choose_file(str(picture), select_all=False)
        pick_and_check(session, window, (255, 0, 0))

        step = "choose F.Cu, then F.Mask with Ctrl"
        choose_copper_and_mask(session, window)

        step = "transfer once"
        x_text, y_text, s_text = "-300", "200", "3"
        session.type_into(window, TEXT1, x_text)
        session.type_into(window, TEXT2, y_text)
        session.type_into(window, TEXT3, s_text)
        if pcbnew.segments():
            raise StepFailed("the board held segments before the transfer")
        session.click(window, COMMAND3)
        got = pcbnew.settled_segments()

        step = "check KiCad's board"
        expected, width = expected_lines(pixels, (255, 0, 0), x_text, y_text, s_text)
        want = sorted((a * 10, -b * 10, c * 10, -d * 10, width * 10) for a, b, c, d in expected)
        check_one_footprint_on_both(got, footprints(pcbnew), want)
        complaints = drc_of_footprints(kicad, pcbnew)
        if complaints:
            raise StepFailed(f"KiCad's design rule check says of the footprint: {complaints}")

        step = "undo in KiCad"
        undo_in_kicad(session, pcbnew)
        poll("KiCad to take the transfer back", lambda: not pcbnew.segments(), 20, 0.2)
        if footprints(pcbnew):
            raise StepFailed(f"after one undo KiCad still holds {footprints(pcbnew)}")

        step = "quit"
        quit_bitlay(session, window, process)
        print(f"layers e2e: one footprint of {len(got)} segments, {len(want)} on F.Cu and the "
              "same on F.Mask as the rules give, nothing from the design rule check; one undo "
              "took it away")
    except Exception as error:
        raise StepFailed(f"step '{step}': {error}") from error
    finally:
        stop_bitlay(process)


def main():
    return beside_pcbnew(
        "layers", "Bitlay onto F.Cu and F.Mask in one transfer",
        lambda session, kicad, pcbnew, exe, work, args:
            layers_run(session, kicad, pcbnew, exe, work))


if __name__ == "__main__":
    sys.exit(main())
