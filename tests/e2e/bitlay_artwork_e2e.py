#!/usr/bin/env python3
"""The artwork guide's recipes, done as a person would: Bitlay under a real X server with a window
manager, attached to a board file, loads each picture through its dialog (the logo
as SVG), picks the colours with clicks, chooses the layers, types the numbers and transfers. KiCad
then draws the board's layers and they are put together as the board maker makes the board
(board_drawing.py). Each recipe's part of the board must hold its layers and no others, and
the sizes must be those the guide's table gives.

Usage: bitlay_artwork_e2e.py BITLAY_EXECUTABLE WORK_DIR [--pictures FOLDER]
The recipes' pictures are kept in FOLDER (the guide's are in docs/), without --pictures in
WORK_DIR/pictures.
KiCad's sample picture tux.bmp comes from the package kicad-demos; without it, its recipe is
skipped and says so. Exit status 0 on success, 1 on a failed step, 77 when a tool is missing or
no X server can be started.
"""

import argparse
import math
import os
import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from board_drawing import LAYERS, BoardDrawing, drawn_board_text  # noqa: E402
from board_check import float32  # noqa: E402
from desktop import (CLIENT_H, CLIENT_W, COMMAND2, COMMAND3, OUTER_H, OUTER_W, TEXT1,  # noqa: E402
                     TEXT2, TEXT3, StepFailed, Window, bitlay_window, run_on_desktop,
                     start_bitlay, stop_bitlay)

HERE = Path(__file__).resolve().parent
LOGO = HERE.parent / "data" / "artwork" / "logo.svg"
TUX = Path("/usr/share/kicad/demos/interf_u/tux.bmp")
GUIDE = HERE.parents[1] / "docs" / "artwork.md"

PAGE = (152.4, 101.6)  # the board's page in millimetres (6000 x 4000 mils), all of it drawn
MIL = 0.0254  # millimetres

BLACK, WHITE, RED = (0, 0, 0), (255, 255, 255), (208, 16, 16)


def board_text():
    """A board with a page of PAGE, holding millimetre rulers on Dwgs.User below the size
    recipe's logos."""
    ruler = []
    x0, y0 = mm_of(SIZE_X[0]), mm_of(-SIZE_Y) + 20.5
    for tick in range(0, 91):
        length = 2.0 if tick % 10 == 0 else 1.2 if tick % 5 == 0 else 0.7
        ruler.append(f"\t(gr_line (start {x0 + tick:.4f} {y0:.4f}) (end {x0 + tick:.4f} "
                     f"{y0 + length:.4f}) (stroke (width 0.12) (type solid)) (layer "
                     f'"Dwgs.User"))')
    ruler.append(f"\t(gr_line (start {x0:.4f} {y0:.4f}) (end {x0 + 90:.4f} {y0:.4f}) (stroke "
                 f'(width 0.12) (type solid)) (layer "Dwgs.User"))')
    for tick in range(0, 91, 10):
        ruler.append(f'\t(gr_text "{tick}" (at {x0 + tick:.4f} {y0 + 3.6:.4f}) (layer '
                     f'"Dwgs.User") (effects (font (size 1.4 1.4) (thickness 0.15))))')
    return drawn_board_text(PAGE, ruler)


def mm_of(mils):
    return mils * MIL


# Where the working scale puts a picture's pixels: the scan's points per pixel column and row.
TO_PX_X = CLIENT_W / float32(OUTER_W / 4)
TO_PX_Y = CLIENT_H / float32(OUTER_H / 4)


def points_before(pixels, to_px):
    """The number of scanned points that fall on the first `pixels` columns (or rows)."""
    return next(x for x in range(100000) if math.floor(x * to_px) >= pixels)


def board_width_mm(pixels, scale):
    """How wide a picture `pixels` wide is on the board: its points, one pitch of `scale` mils
    each, and the lines' round ends, half a pitch at each side."""
    return (points_before(pixels, TO_PX_X) + 1) * scale * MIL


# The size recipe: the logo at scales 1, 2 and 3 side by side, their top edges on one line.
SIZE_X, SIZE_Y = (250, 850, 1900), -2300


class Transfer:
    """One transfer: the picture, the picture pixel clicked and the colour it must give, the
    layers (one name, or several in the list's order), and X, Y and Scale as typed."""

    def __init__(self, picture, pixel, colour, layers, x, y, scale):
        self.picture, self.pixel, self.colour = picture, pixel, colour
        self.layers = (layers,) if isinstance(layers, str) else tuple(layers)
        self.x, self.y, self.scale = str(x), str(y), str(scale)


class Recipe:
    """A recipe: its transfers, the part of the board its picture shows (left, top, right,
    bottom in millimetres) and the layers that must have something there."""

    def __init__(self, name, transfers, area, layers):
        self.name, self.transfers, self.area, self.layers = name, transfers, area, layers


def recipes(work, tux_flat):
    logo = str(LOGO)
    ring, bolt, ground = (30, 6), (30, 20), (2, 2)
    found = [
        Recipe("artwork-silkscreen",
               [Transfer(logo, ring, BLACK, "F.SilkS", x, SIZE_Y, scale)
                for scale, x in zip((1, 2, 3), SIZE_X)],
               (4, 56, 98, 85), {"F.SilkS", "Dwgs.User"}),
        Recipe("artwork-copper",
               [Transfer(logo, ring, BLACK, "F.Cu", 250, -500, 2),
                Transfer(logo, ring, BLACK, ("F.Cu", "F.Mask"), 1300, -500, 2)],
               (4, 10.5, 60, 26.5), {"F.Cu", "F.Mask"}),
        Recipe("artwork-negative",
               [Transfer(logo, ground, WHITE, "F.SilkS", 2550, -500, 2)],
               (62.4, 10.5, 90.4, 26.5), {"F.SilkS"}),
        Recipe("artwork-two-colours",
               [Transfer(logo, ring, BLACK, "F.SilkS", 2550, -1300, 2),
                Transfer(logo, bolt, RED, ("F.Cu", "F.Mask"), 2550, -1300, 2)],
               (62.4, 30.8, 90.4, 46.8), {"F.SilkS", "F.Cu", "F.Mask"}),
    ]
    if tux_flat:
        # Prepared by ImageMagick, the way for many pictures at once; the picture menu's own
        # black and white is the picture-menu test's.
        found.insert(0, Recipe("artwork-flat-colours",
                               [Transfer(str(tux_flat), (80, 17), BLACK, "F.SilkS", 4950, -400,
                                         1)],
                               (122, 8, 148, 34), {"F.SilkS"}))
    return found


def pixel_of(picture, pixel):
    """The colour of a picture's pixel as (r, g, b), read by ImageMagick."""
    out = subprocess.run(["convert", picture, "-crop", f"1x1+{pixel[0]}+{pixel[1]}", "-depth",
                          "8", "txt:-"], capture_output=True, text=True, check=True).stdout
    found = re.search(r"#([0-9A-Fa-f]{6})", out)
    value = int(found.group(1), 16)
    return value >> 16, (value >> 8) & 0xFF, value & 0xFF


def flatten_tux(work):
    """tux.bmp fitted to the picture box and brought to three flat colours by ImageMagick, as the
    guide does it for many pictures at once."""
    palette = work / "palette.gif"
    subprocess.run(["convert", "xc:black", "xc:white", "xc:#f0b000", "+append", str(palette)],
                   check=True)
    flat = work / "tux-flat.bmp"
    subprocess.run(["convert", str(TUX), "-resize", "309x229", "+dither", "-remap", str(palette),
                    str(flat)], check=True)
    return flat


def do_transfer(window, step):
    """One recipe's transfer through the window; what the window already holds is not done
    again."""
    window.load(step.picture)
    window.pick(step.pixel, step.colour or pixel_of(step.picture, step.pixel))
    window.choose_layers(step.layers)
    window.type(TEXT1, step.x)
    window.type(TEXT2, step.y)
    window.type(TEXT3, step.scale)
    window.click_then(COMMAND3)


def transfer_all(session, exe, work, board, all_recipes):
    env = session.display.env(DBX_DESIGN=str(board))
    process = start_bitlay(exe, work, env, work / "bitlay.log")
    step = "start"
    try:
        window = Window(session, bitlay_window(session, process), LAYERS)
        for recipe in all_recipes:
            step = recipe.name
            for transfer in recipe.transfers:
                do_transfer(window, transfer)
        step = "quit"
        # Quit waits for the last transfer; the board is whole once Bitlay has ended.
        window.click_then(COMMAND2)
        status = process.wait(120)
        if status != 0:
            raise StepFailed(f"bitlay ended with status {status}")
    except Exception as error:
        raise StepFailed(f"step '{step}': {error}") from error
    finally:
        stop_bitlay(process)


DENSITY = 12.5  # pixels per millimetre of KiCad's drawings, whole pixels over the page


def check_layers(drawing, all_recipes):
    """Each recipe's part of the board holds its layers and no others."""
    for recipe in all_recipes:
        for layer in drawing.masks:
            has = drawing.covers(layer, recipe.area)
            if has != (layer in recipe.layers):
                raise StepFailed(f"{recipe.name}: {layer} is {'' if has else 'not '}drawn there")


def check_sizes(drawing):
    """The logo at scales 1, 2 and 3 is as wide as the guide's rule gives for its art: from its
    ring to its pads, 110 of its 120 pixels, give or take the pixels of their smooth edges."""
    sizes = []
    for scale, x in zip((1, 2, 3), SIZE_X):
        area = (mm_of(x) - 1, mm_of(-SIZE_Y) - 1, mm_of(x) + 12 * scale, mm_of(-SIZE_Y) + 20)
        width, height = drawing.extent("F.SilkS", area)
        narrowest = board_width_mm(108, scale) - 1 / DENSITY
        widest = board_width_mm(112, scale) + 1 / DENSITY
        if not narrowest <= width <= widest:
            raise StepFailed(f"at scale {scale} the logo is {width:.2f} mm wide, not "
                             f"{narrowest:.2f} to {widest:.2f} mm")
        sizes.append((scale, (width, height)))
    return sizes


def check_readme_table():
    """The guide's table of sizes is what the transfer gives."""
    text = GUIDE.read_text(encoding="utf-8")
    rows = re.findall(r"^\| (\d+) px \|((?: [\d.]+ mm \|)+)$", text, re.M)
    if not rows:
        raise StepFailed("the artwork guide has no table of picture widths and board widths")
    for pixels, cells in rows:
        got = [float(v) for v in re.findall(r"([\d.]+) mm", cells)]
        want = [round(board_width_mm(int(pixels), scale), 1) for scale in range(1, len(got) + 1)]
        if got != want:
            raise StepFailed(f"the artwork guide gives {got} mm for {pixels} px, "
                             f"the transfer {want}")


def main():
    parser = argparse.ArgumentParser(description="the artwork guide's recipes")
    parser.add_argument("exe")
    parser.add_argument("work", type=Path)
    parser.add_argument("--pictures", type=Path)
    args = parser.parse_args()
    exe, work = os.path.abspath(args.exe), args.work

    def body(session):
        tux_flat = None
        if TUX.exists():
            tux_flat = flatten_tux(work)
        else:
            print(f"artwork e2e: the flat-colours recipe is skipped: {TUX} is not installed "
                  "(package kicad-demos)")
        all_recipes = recipes(work, tux_flat)
        check_readme_table()
        board = work / "artwork.kicad_pcb"
        board.write_text(board_text(), encoding="utf-8")
        transfer_all(session, exe, work, board, all_recipes)
        drawing = BoardDrawing(board, PAGE, DENSITY, work / "drawings")
        check_layers(drawing, all_recipes)
        sizes = check_sizes(drawing)
        drawing.compose()
        pictures = args.pictures or work / "pictures"
        pictures.mkdir(parents=True, exist_ok=True)
        for recipe in all_recipes:
            drawing.crop(recipe.area, pictures / f"{recipe.name}.png")
        logo = ", ".join(f"{w:.1f} x {h:.1f} mm at scale {s}" for s, (w, h) in sizes)
        print("artwork e2e: " + ", ".join(r.name for r in all_recipes)
              + " as the artwork guide says; the logo " + logo)

    return run_on_desktop("artwork e2e", work, ("kicad-cli", "rsvg-convert", "convert"), body)


if __name__ == "__main__":
    sys.exit(main())
