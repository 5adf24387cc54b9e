#!/usr/bin/env python3
"""The picture menu through the real window, as a person uses it: Bitlay under a real X server
with a window manager, attached to a board file. A right-click on the picture, the item's letter,
the slider's keys, Enter or Esc; then a click on the colour and a transfer. What the box shows is
read off the screen (the picture box shows its surface pixel for pixel) and held against what the
rules give, worked out here; the board's lines are held against the box.

- The badge (tests/data/artwork/badge.svg, two inks with smooth edges) in three flat colours: each
  ink is whole, and the transfer of each is exact against the box.
- Mirror, then the same ink again: the mirror image of the first transfer. The right-click
  leaves the colour picked as it was.
- A 1200 x 800 picture fitted to the box: its four corner marks are all transferred.
- Esc in each dialog puts the box back pixel for pixel.
- KiCad's sample picture tux.bmp in black and white at the starting level (Otsu's, worked out
  here), its black transferred: at least 97 % of the pixels at or below that level, none above.
  From package kicad-demos; without it this part is skipped and says so.

KiCad then draws Tux as it comes and in black and white (board_drawing.py), the artwork guide's
picture; skipped where kicad-cli is not installed.

Usage: bitlay_prepare_e2e.py BITLAY_EXECUTABLE WORK_DIR [--pictures FOLDER]
Exit status 0 on success, 1 on a failed step, 77 when a tool is missing or no X server can be
started.
"""

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from board_check import (board_footprints, check_same, covered_pixels,  # noqa: E402
                         expected_lines, mm, wait_for_lines)
from board_drawing import LAYERS, BoardDrawing, drawn_board_text  # noqa: E402
from box_rules import (GREY, WHITE, black_and_white, colours_of, differing,  # noqa: E402
                       lightness, mirrored, nearest, otsu_level, rows_of)
from desktop import (CLIENT_H, CLIENT_W, COMMAND2, COMMAND3, PICTURE1_CLIENT, SWATCH,  # noqa: E402
                     TEXT1, TEXT2, TEXT3, StepFailed, Window, bitlay_window, poll, run,
                     run_on_desktop, start_bitlay, stop_bitlay)

HERE = Path(__file__).resolve().parent
BADGE = HERE.parent / "data" / "artwork" / "badge.svg"
TUX = Path("/usr/share/kicad/demos/interf_u/tux.bmp")

NAVY, ORANGE, BLUE = (0x1D, 0x32, 0x70), (0xF2, 0x91, 0x00), (0, 0, 255)  # the badge's inks
BOX = (*PICTURE1_CLIENT, CLIENT_W, CLIENT_H)
MENU_AT = (PICTURE1_CLIENT[0] + 150, PICTURE1_CLIENT[1] + 100)  # where the right-click goes

# The artwork guide's drawing: Tux as it comes and in black and white, side by side at scale 1 on a
# page of 58.4 x 28 mm (whole pixels of the drawing). Everything else goes beyond the page.
PAGE, DENSITY = (58.4, 28.0), 12.5
TUX_Y, TUX_X = "-100", ("100", "1300")
AWAY_Y = "3000"


class Transfer:
    """One transfer of a colour of what the box showed, and the lines the rules give for it."""

    def __init__(self, name, rows, colour, layer, x, y, scale):
        self.name, self.colour, self.layer = name, colour, layer
        self.x, self.y, self.scale = x, y, scale
        self.expected, self.width = expected_lines(rows, colour, x, y, scale)
        self.lines = None  # the board's, once it is read back


class Box:
    """Bitlay's window as the tests here use it: its picture box read off the screen, the
    picture menu and its dialogs, and transfers through the controls."""

    def __init__(self, session, window, board):
        self.session, self.window, self.board = session, window, board
        self.controls = Window(session, window, LAYERS)
        self.transfers = []

    def menu_open(self):
        """Whether the picture menu is on screen: a pop-up window of Bitlay's, which no window
        manager frames (a tooltip would be one too, and cover the box as well)."""
        found = run("xdotool", "search", "--onlyvisible", "--class", "^bitlay$", check=False,
                    env=self.session.env).split()
        return any("Override Redirect State: yes"
                   in run("xwininfo", "-id", window, check=False, env=self.session.env)
                   for window in found if window != self.window)

    def shows(self, what, test, seconds=20.0):
        """Polls the box until it shows what `test` accepts, the same in two grabs in a row and
        with the menu gone from over it. Gives its rows."""
        last, found = [None], [None]

        def probe():
            raw = self.session.grab(self.window, BOX)
            steady = raw == last[0] and len(raw) == CLIENT_W * CLIENT_H * 3
            last[0] = raw
            if steady and not self.menu_open():
                found[0] = rows_of(raw)
                return test(found[0])
            return False
        try:
            poll(f"the box to show {what}", probe, seconds)
        except StepFailed as error:
            raise StepFailed(f"{error}; it shows {len(colours_of(found[0] or []))} colours") \
                from error
        return found[0]

    def shows_exactly(self, what, want, seconds=20.0):
        try:
            return self.shows(what, lambda rows: rows == want, seconds)
        except StepFailed as error:
            shown = rows_of(self.session.grab(self.window, BOX))
            raise StepFailed(f"{error}: {differing(shown, want)}") from error

    def choose(self, key):
        """A right-click on the picture, and the menu item's letter once the menu is there."""
        # Not --sync: from the second time on the pointer is already there, and xdotool would
        # wait for it to move. The server takes the move before the click all the same.
        self.session.xdo("mousemove", "--window", self.window, str(MENU_AT[0]), str(MENU_AT[1]),
                         "click", "3")
        poll("the picture menu", self.menu_open, 10)
        self.session.xdo("key", key)

    def dialog(self, title):
        """Waits for the dialog to come up with the keyboard, as a person waits to see it."""
        dialog = self.session.find_window(f"^{title}$", 10)
        poll(f"the dialog {title!r} to have the keyboard",
             lambda: run("xdotool", "getactivewindow", check=False,
                         env=self.session.env).strip() == dialog, 10)

    def answer(self, title, key):
        """Enter or Esc in the dialog; it closes."""
        self.session.xdo("key", key)
        poll(f"the dialog {title!r} to close",
             lambda: not self.session.visible_windows(f"^{title}$"), 10)

    def transfer(self, name, rows, pixel, layer, x, y, scale="1"):
        """Picks the colour at a pixel of the box (unless the swatch has it from that pixel),
        chooses the layer, types the numbers and transfers; waits for the lines in the board."""
        step = Transfer(name, rows, rows[pixel[1]][pixel[0]], layer, x, y, scale)
        self.controls.pick(pixel, step.colour)
        self.controls.choose_layer(layer)
        self.controls.type(TEXT1, x)
        self.controls.type(TEXT2, y)
        self.controls.type(TEXT3, scale)
        self.controls.click_then(COMMAND3)
        self.transfers.append(step)
        wait_for_lines(self.board, sum(len(t.expected) for t in self.transfers))
        return step


def escape_restores(box, badge):
    """Esc in each dialog, after the slider has moved and the preview with it, brings back the
    box as it was."""
    box.choose("b")
    box.dialog("Black and white")
    box.shows_exactly("the badge in black and white at the starting level",
                      black_and_white(badge, otsu_level(badge)))
    box.session.xdo("key", "End")
    box.shows_exactly("the preview at level 254", black_and_white(badge, 254))
    box.answer("Black and white", "Escape")
    box.shows_exactly("the badge as it was, after Esc in Black and white", badge)

    box.choose("f")
    box.dialog("Flat colours")
    start = len(colours_of(box.shows("a preview in flat colours", lambda rows: rows != badge and
                                     len(colours_of(rows)) <= 16)))
    # One colour fewer, or more from the fewest.
    box.session.xdo("key", "Left" if start > 2 else "Right")
    moved = start - 1 if start > 2 else start + 1
    box.shows(f"the preview in {moved} colours", lambda rows: len(colours_of(rows)) == moved)
    box.answer("Flat colours", "Escape")
    box.shows_exactly("the badge as it was, after Esc in Flat colours", badge)
    print("prepare e2e: Esc in Black and white and in Flat colours puts the box back pixel for "
          "pixel")


def three_flat_colours(box, badge):
    """The badge made into three flat colours, from the dialog's starting number moved to 3 by the
    arrow keys where it is not 3. Each ink whole: every pixel is its nearest of the badge's two
    inks and white, and those are the three colours."""
    box.choose("f")
    box.dialog("Flat colours")
    preview = box.shows("a preview in flat colours", lambda rows: rows != badge and
                        len(colours_of(rows)) <= 16)
    start = len(colours_of(preview))
    if start != 3:
        box.session.xdo("key", *(["Left"] * (start - 3) if start > 3 else ["Right"] * (3 - start)))
        box.shows("the preview in three colours", lambda rows: len(colours_of(rows)) == 3)
    box.answer("Flat colours", "Return")
    flat = box.shows("three flat colours", lambda rows: len(colours_of(rows)) == 3)
    palette = (WHITE, NAVY, ORANGE)
    if colours_of(flat) != set(palette):
        raise StepFailed(f"the flat colours are {sorted(colours_of(flat))}, not the badge's "
                         f"white and inks {palette}")
    for y, (row, flat_row) in enumerate(zip(badge, flat)):
        for x, (pixel, made) in enumerate(zip(row, flat_row)):
            if made not in nearest(pixel, palette):
                raise StepFailed(f"pixel ({x}, {y}) {pixel} became {made}, not the nearest of "
                                 f"{palette}")
    gained = {ink: sum(row.count(ink) for row in flat) - sum(row.count(ink) for row in badge)
              for ink in (NAVY, ORANGE)}
    print(f"prepare e2e: the badge in 3 flat colours (the dialog started at {start}); each ink "
          f"whole, its edges taken in: navy {gained[NAVY]}, orange {gained[ORANGE]} pixels")
    return flat


def fitted_picture(box, work):
    """A 1200 x 800 picture, white with a blue mark in each corner, loaded (the box shows its
    upper-left corner) and fitted: it is 309 x 206 pixels, the rest of the box its grey."""
    wide = work / "wide.png"
    marks = [f"rectangle {x},{y} {x + 79},{y + 79}" for x in (0, 1120) for y in (0, 720)]
    subprocess.run(["convert", "-size", "1200x800", "xc:white", "-fill", "#d01010", "-draw",
                    "circle 600,400 600,150", "-fill", "#0000ff",
                    *[arg for mark in marks for arg in ("-draw", mark)], str(wide)], check=True)
    box.controls.load(str(wide))
    box.shows("the wide picture's upper-left corner",
              lambda rows: rows[5][5] == BLUE and GREY not in colours_of(rows))
    box.choose("t")
    return box.shows("the wide picture fitted to the box",
                     lambda rows: all(p == GREY for row in rows[206:] for p in row) and
                     GREY not in colours_of(rows[:206]))


def tux_steps(box):
    """Tux transferred as it comes, then in black and white at the starting level."""
    box.controls.load(str(TUX))
    tux = box.shows("tux.bmp", lambda rows: len(colours_of(rows)) > 1000 and
                    all(p == GREY for row in rows for p in row[229:]))
    level = otsu_level(tux)
    as_it_comes = box.transfer("Tux as it comes", tux, (95, 20), "F.SilkS", TUX_X[0], TUX_Y)
    box.choose("b")
    box.dialog("Black and white")
    black_white = black_and_white(tux, level)
    box.shows_exactly(f"the preview at level {level}", black_white)
    box.answer("Black and white", "Return")
    box.shows_exactly(f"Tux in black and white at level {level}", black_white)
    black = box.transfer("Tux in black and white", black_white, (95, 20), "F.SilkS", TUX_X[1],
                         TUX_Y)
    return tux, level, as_it_comes, black


def check_board(box):
    """Each transfer's footprint holds exactly the lines the rules give for what the box
    showed."""
    footprints, _, _ = board_footprints(box.board.read_text(encoding="utf-8"))
    if len(footprints) != len(box.transfers):
        raise StepFailed(f"{len(footprints)} footprints for {len(box.transfers)} transfers")
    for footprint, step in zip(footprints, box.transfers):
        step.lines = [line for line, _ in footprint["lines"]]
        want = [(mm(a), -mm(b), mm(c), -mm(d), step.layer, mm(step.width))
                for a, b, c, d in step.expected]
        check_same(step.lines, want, "line", f"the transfer '{step.name}'")
    print(f"prepare e2e: {len(box.transfers)} transfers, each exactly what the box showed: "
          + ", ".join(f"{t.name} {len(t.lines)} lines" for t in box.transfers))


def covered(step):
    return covered_pixels(step.lines, step.x, step.y, step.scale)


def check_mirror(before, after):
    want = {(CLIENT_W - 1 - x, y) for x, y in covered(before)}
    got = covered(after)
    if got != want:
        raise StepFailed(f"after Mirror the transfer covers {len(got)} pixels, {len(got ^ want)} "
                         "of them or of the mirror image of the first transfer not in the other")
    print(f"prepare e2e: after Mirror the transfer is the mirror image of the first, {len(got)} "
          "pixels")


def check_fit(step):
    pixels = covered(step)
    corners = [(0, 0), (CLIENT_W - 1, 0), (0, 205), (CLIENT_W - 1, 205)]
    missing = [corner for corner in corners if corner not in pixels]
    if missing or any(y > 205 for _, y in pixels):
        raise StepFailed(f"the fitted picture's corner marks are not all transferred: missing "
                         f"{missing}, rows {min(y for _, y in pixels)} to "
                         f"{max(y for _, y in pixels)}")
    print("prepare e2e: the 1200 x 800 picture fitted, 309 x 206 pixels: its four corner marks "
          "transferred")


def check_tux(tux, level, as_it_comes, black):
    dark = {(x, y) for y, row in enumerate(tux) for x, p in enumerate(row) if lightness(p) <= level}

    def share(step):
        return len(covered(step) & dark) / len(dark)
    lighter = covered(black) - dark
    if share(black) < 0.97 or lighter:
        raise StepFailed(f"the black and white transfer covers {share(black):.1%} of the "
                         f"{len(dark)} pixels at or below level {level} and {len(lighter)} above")
    print(f"prepare e2e: Tux in black and white at level {level}: its black covers "
          f"{share(black):.1%} of the {len(dark)} pixels at or below the level (as it comes, a "
          f"click on {as_it_comes.colour} covers {share(as_it_comes):.1%}), none above")


def draw_tux(board, work, pictures):
    """KiCad's drawing of the page: Tux as it comes and in black and white, on F.Silkscreen."""
    for tool in ("kicad-cli", "rsvg-convert", "convert"):
        if not shutil.which(tool):
            print(f"prepare e2e: KiCad's drawing of Tux is skipped: {tool} is not installed")
            return
    drawing = BoardDrawing(board, PAGE, DENSITY, work / "drawings")
    halves = [(2.0, 2.0, 26.0, 26.0), (32.5, 2.0, 56.5, 26.0)]
    for area in halves:
        if not drawing.covers("F.SilkS", area) or drawing.covers("F.Cu", area):
            raise StepFailed(f"KiCad does not draw Tux on F.Silkscreen alone in {area}")
    drawing.compose()
    pictures.mkdir(parents=True, exist_ok=True)
    drawing.crop((0, 0, *PAGE), pictures / "artwork-black-and-white.png")
    print(f"prepare e2e: KiCad's drawing in {pictures / 'artwork-black-and-white.png'}")


def run_window(session, exe, work, pictures):
    board = work / "prepare.kicad_pcb"
    board.write_text(drawn_board_text(PAGE), encoding="utf-8")
    process = start_bitlay(exe, work, session.display.env(DBX_DESIGN=str(board)),
                           work / "bitlay.log")
    step = "start"
    try:
        box = Box(session, bitlay_window(session, process), board)
        step = "load the badge"
        box.controls.load(str(BADGE))
        badge = box.shows("the badge", lambda rows: rows[52][82] == NAVY and
                          rows[114][82] == ORANGE)
        step = "Esc in the dialogs"
        escape_restores(box, badge)
        step = "three flat colours"
        flat = three_flat_colours(box, badge)
        navy = box.transfer("navy", flat, (82, 52), "F.SilkS", "100", AWAY_Y)
        box.transfer("orange", flat, (82, 114), "F.Cu", "100", AWAY_Y)
        step = "mirror"
        box.choose("m")
        mirror = box.shows_exactly("the mirror image", mirrored(flat))
        if session.pixel(box.window, SWATCH) != ORANGE:
            raise StepFailed("the right-click changed the colour picked: the swatch shows "
                             f"{session.pixel(box.window, SWATCH)}, not {ORANGE}")
        mirrored_navy = box.transfer("navy mirrored", mirror, (CLIENT_W - 1 - 82, 52), "F.SilkS",
                                     "1400", AWAY_Y)
        step = "fit"
        fitted = box.transfer("fitted", fitted_picture(box, work), (5, 5), "F.SilkS", "2700",
                              AWAY_Y)
        if TUX.exists():
            step = "Tux"
            tux = tux_steps(box)
        else:
            tux = None
            print(f"prepare e2e: Tux in black and white is skipped: {TUX} is not installed "
                  "(package kicad-demos)")
        step = "quit"
        box.controls.click_then(COMMAND2)
        status = process.wait(60)
        if status != 0:
            raise StepFailed(f"bitlay ended with status {status}")
        step = "check the board"
        check_board(box)
        check_mirror(navy, mirrored_navy)
        check_fit(fitted)
        if tux:
            check_tux(*tux)
            step = "KiCad's drawing"
            draw_tux(board, work, pictures)
    except Exception as error:
        # While Bitlay still shows what went wrong.
        session.screenshot(work / "failure-window.png")
        raise StepFailed(f"step '{step}': {error}") from error
    finally:
        stop_bitlay(process)


def main():
    parser = argparse.ArgumentParser(description="the picture menu through the window")
    parser.add_argument("exe")
    parser.add_argument("work", type=Path)
    parser.add_argument("--pictures", type=Path)
    args = parser.parse_args()
    exe, work = os.path.abspath(args.exe), args.work
    pictures = args.pictures or work / "pictures"
    return run_on_desktop("prepare e2e", work, ("xwininfo", "convert"),
                          lambda session: run_window(session, exe, work, pictures))


if __name__ == "__main__":
    sys.exit(main())
