#!/usr/bin/env python3
"""What the end-to-end tests expect of a board file: the lines worked out here from the transfer
rules, the board's footprints and lines read back, KiCad's own reading of it."""

import math
import os
import re
import struct
import subprocess
from decimal import Decimal

from desktop import CLIENT_H, CLIENT_W, OUTER_H, OUTER_W, StepFailed, poll

FRESH_BOARD = """(kicad_pcb (version 20211014) (generator pcbnew)

  (general
    (thickness 1.6)
  )

  (paper "A4")
  (layers
    (0 "F.Cu" signal)
    (31 "B.Cu" signal)
    (36 "B.SilkS" user "B.Silkscreen")
    (37 "F.SilkS" user "F.Silkscreen")
    (44 "Edge.Cuts" user)
  )

  (net 0 "")

)
"""


RED, BLUE = (255, 0, 0), (0, 0, 255)


def test_picture(ink):
    """A small logo: bars of several lengths in `ink` on white, one touching the picture's right
    edge."""
    width, height = 48, 12
    white = (255, 255, 255)
    pixels = [[white] * width for _ in range(height)]
    for x in range(3, 6):
        pixels[4][x] = ink
    for x in range(10, 30):
        pixels[6][x] = ink
    pixels[8][20] = ink
    for x in range(40, 48):
        pixels[10][x] = ink
    for y in range(0, 12):
        pixels[y][0] = ink
    return pixels


def round_half_even(value):
    floor = math.floor(value)
    fraction = value - floor
    if fraction < 0.5:
        result = floor
    elif fraction > 0.5:
        result = floor + 1
    else:
        result = floor if floor % 2 == 0 else floor + 1
    if not -2**31 <= result <= 2**31 - 1:
        raise OverflowError(value)
    return int(result)


def float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def expected_lines(pixels, colour, x_text, y_text, s_text):
    """The transfer's lines for the picture in Picture1 under its working scale, in scan order."""
    X, Y, S = float(x_text), float(y_text), round_half_even(float(s_text))
    scale_w, scale_h = float32(OUTER_W / 4), float32(OUTER_H / 4)
    to_px_x, to_px_y = CLIENT_W / scale_w, CLIENT_H / scale_h
    height, width = len(pixels), len(pixels[0])
    background = None  # never the picked colour here

    def colour_at(x, y):
        column, row = math.floor(x * to_px_x), math.floor(y * to_px_y)
        if not (0 <= column < CLIENT_W and 0 <= row < CLIENT_H):
            return -1
        if column < width and row < height:
            return pixels[row][column]
        return background

    def board(x, y):
        return (round_half_even(X * 2540 + S * x * 2540), round_half_even(Y * 2540 - S * y * 2540))

    lines = []
    last_x, last_y = int(OUTER_W) - 1, int(OUTER_H) - 1
    for y in range(last_y + 1):
        if math.floor(y * to_px_y) >= CLIENT_H:
            break  # every later point lies outside and cannot open a run
        open_at = None
        for x in range(last_x + 1):
            c = colour_at(x, y)
            if open_at is None:
                if c == colour:
                    open_at = board(x, y)
                    if x != last_x:
                        continue
            if open_at is not None and (c != colour or x == last_x):
                end = board(x, y)
                end_x = end[0] + 1300 if end[0] == open_at[0] else end[0]
                lines.append((open_at[0], open_at[1], end_x, end[1]))
                open_at = None
            if math.floor(x * to_px_x) > CLIENT_W:
                break
    return lines, S * 2540


def covered_pixels(lines, x_text, y_text, s_text):
    """The picture-box pixels whose scanned points the lines of one transfer cover, as a set of
    (column, row): board_lines' lines mapped back through the transfer rules. Each line runs from
    its first point of the colour up to the first point past it (one point where it is a dot)."""
    X, Y, S = Decimal(x_text), Decimal(y_text), round_half_even(float(s_text))
    scale_w, scale_h = float32(OUTER_W / 4), float32(OUTER_H / 4)
    to_px_x, to_px_y = CLIENT_W / scale_w, CLIENT_H / scale_h

    def point(millimetres, origin):
        units = millimetres * 100000 - origin * 2540
        if units % (S * 2540):
            raise StepFailed(f"{millimetres} mm is no scanned point at scale {S}")
        return int(units / (S * 2540))

    covered = set()
    for start_x, start_y, end_x, _, _, _ in lines:
        first, last, row = point(start_x, X), point(end_x, X), point(start_y, -Y)
        if (end_x - start_x) * 100000 == 1300:
            last = first + 1
        pixel_row = math.floor(row * to_px_y)
        covered.update((math.floor(x * to_px_x), pixel_row) for x in range(first, last))
    return covered


def mm(units):
    return Decimal(units) / Decimal(100000)


def check_same(got, want, item, holder):
    """`got` as `holder` has its items against what the rules give, the first difference named."""
    if got != want:
        for index, (g, e) in enumerate(zip(got, want)):
            if g != e:
                raise StepFailed(f"{item} {index}: {holder} has {g}, the rules give {e}")
        raise StepFailed(f"{holder} has {len(got)} {item}s, the rules give {len(want)}")


def parse_sexpr(text):
    """A board file as nested lists of atoms; strings keep their quotes off."""
    tokens = re.findall(r'"(?:[^"\\]|\\.)*"|[()]|[^\s()"]+', text)
    stack, top = [], []
    for token in tokens:
        if token == "(":
            stack.append(top)
            top = []
        elif token == ")":
            done, top = top, stack.pop()
            top.append(done)
        elif token.startswith('"'):
            top.append(re.sub(r"\\(.)", r"\1", token[1:-1]))
        else:
            top.append(token)
    return top


def fields_of(item):
    return {part[0]: part[1:] for part in item[1:] if isinstance(part, list) and part}


def line_of(item, anchor=(Decimal(0), Decimal(0))):
    """A gr_line or fp_line as (start x, start y, end x, end y, layer, width) on the board, an
    fp_line's points relative to its footprint's anchor."""
    fields = fields_of(item)
    width = fields.get("width")
    if width is None:
        width = fields_of(["stroke"] + fields.get("stroke", [])).get("width")
    (sx, sy), (ex, ey) = fields["start"][:2], fields["end"][:2]
    ax, ay = anchor
    return (Decimal(sx) + ax, Decimal(sy) + ay, Decimal(ex) + ax, Decimal(ey) + ay,
            fields["layer"][0], Decimal(width[0]))


def board_footprints(board_text):
    """Every top-level footprint as a dict: its library id, layer, anchor, attributes, Reference
    and Value fields (text, hidden, layer) and its lines with their UUIDs; and the board's
    top-level gr_lines and groups."""
    forms = parse_sexpr(board_text)
    if not forms or not forms[0] or forms[0][0] != "kicad_pcb":
        raise StepFailed("the board file is not one (kicad_pcb ...) form")
    footprints, loose, groups = [], [], []
    for item in forms[0][1:]:
        if not (isinstance(item, list) and item):
            continue
        if item[0] == "gr_line":
            loose.append(line_of(item))
        elif item[0] == "group":
            groups.append(item)
        elif item[0] == "footprint":
            fields = fields_of(item)
            anchor = (Decimal(fields["at"][0]), Decimal(fields["at"][1]))
            texts = {}
            for part in item[1:]:
                if not (isinstance(part, list) and part):
                    continue
                if part[0] == "fp_text" and part[1] in ("reference", "value"):
                    name, text, rest = part[1].capitalize(), part[2], part[3:]
                elif part[0] == "property" and part[1] in ("Reference", "Value"):
                    name, text, rest = part[1], part[2], part[3:]
                else:
                    continue
                own = fields_of([name] + rest)
                hidden = "hide" in rest or own.get("hide") == ["yes"]
                texts[name] = (text, hidden, own["layer"][0])
            lines = []
            for part in item[1:]:
                if isinstance(part, list) and part and part[0] == "fp_line":
                    own = fields_of(part)
                    lines.append((line_of(part, anchor), (own.get("uuid") or own["tstamp"])[0]))
            footprints.append({"id": item[1], "layer": fields["layer"][0], "at": fields["at"],
                               "attr": fields.get("attr", []), "texts": texts, "lines": lines})
    return footprints, loose, groups


def board_lines(board_text):
    """Every line of the board as (start x, start y, end x, end y, layer, width), in file order:
    the footprints' lines on the board and any top-level gr_line. Reads every form KiCad 6 to 10
    writes."""
    footprints, loose, _ = board_footprints(board_text)
    return [line for footprint in footprints for line, _ in footprint["lines"]] + loose


def check_footprints(text, transfers):
    """One footprint per transfer, named as the transfer, holding exactly that transfer's lines,
    board only, left out of position files and BOM, its fields hidden; no line outside one and no
    group."""
    footprints, loose, groups = board_footprints(text)
    if loose or groups:
        raise StepFailed(f"{len(loose)} loose lines and {len(groups)} groups beside the footprints")
    want = [(f"Bitlay: {count:,} line{'' if count == 1 else 's'}", count) for count in transfers]
    got = [(f["texts"].get("Reference", ("",))[0], len(f["lines"])) for f in footprints]
    if got != want:
        raise StepFailed(f"the board's footprints {got} are not one per transfer {want}")
    for f in footprints:
        first = f["lines"][0][0]
        if (f["id"] != "" or f["layer"] != "F.Cu" or len(f["at"]) != 2 or
                (Decimal(f["at"][0]), Decimal(f["at"][1])) != first[:2] or
                f["attr"] != ["board_only", "exclude_from_pos_files", "exclude_from_bom"] or
                f["texts"]["Reference"][1:] != (True, "F.SilkS") or
                f["texts"]["Value"] != ("Bitlay", True, "F.Fab")):
            raise StepFailed(f"a footprint is not as the library makes one: {f['id']!r} "
                             f"{f['layer']} {f['at']} {f['attr']} {f['texts']}")


KICAD_FOOTPRINTS = """import pcbnew, sys
board = pcbnew.LoadBoard(sys.argv[1])
for f in board.GetFootprints():
    items = list(f.GraphicalItems())
    print(f.GetReference(), len(items), sorted({pcbnew.LSET.Name(i.GetLayer()) for i in items}),
          f.IsBoardOnly(), f.IsExcludedFromPosFiles(), f.IsExcludedFromBOM(),
          f.Reference().IsVisible(), f.Value().IsVisible(),
          sorted(str(i.m_Uuid.AsString()) for i in items))
"""


def check_footprints_in_kicad(board, work, transfers):
    """KiCad's own reading of the board: one footprint per transfer with exactly its lines, all on
    B.Cu, board only, left out of position files and BOM, its fields hidden. Skipped where KiCad's
    Python module is not installed."""
    env = dict(os.environ, HOME=str(work))
    if subprocess.run(["/usr/bin/python3", "-c", "import pcbnew"], env=env,
                      capture_output=True).returncode != 0:
        print("e2e: KiCad's Python module is not installed; the footprints are not read by KiCad")
        return
    out = subprocess.run(["/usr/bin/python3", "-c", KICAD_FOOTPRINTS, str(board)], env=env,
                         capture_output=True, text=True, timeout=60).stdout
    footprints, _, _ = board_footprints(board.read_text(encoding="utf-8"))
    want = []
    for count, footprint in zip(transfers, footprints):
        name = f"Bitlay: {count:,} line{'' if count == 1 else 's'}"
        uuids = sorted(uuid for _, uuid in footprint["lines"])
        want.append(f"{name} {count} ['B.Cu'] True True True False False {uuids}")
    if sorted(out.splitlines()) != sorted(want):
        raise StepFailed(f"KiCad reads the footprints as {out!r}, not {want!r}")
    print(f"e2e: KiCad finds {len(want)} footprints, one per transfer with exactly its lines")


def check_parses(text):
    depth, in_string, escaped = 0, False, False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
            if depth < 0:
                raise StepFailed("the board has an unbalanced ')'")
    if depth != 0 or in_string or not text.lstrip().startswith("(kicad_pcb"):
        raise StepFailed("the board file does not parse as one (kicad_pcb ...) form")


def wait_for_lines(path, count, seconds=60.0):
    """Polls the board file until it holds `count` lines: the stand-in writes each line as it is
    placed, with the board's tail behind it."""
    def placed():
        try:
            return len(board_lines(path.read_text(encoding="utf-8")))
        except Exception:  # caught between two writes
            return None
    try:
        poll(f"{count} lines in the board", lambda: placed() == count, seconds)
    except StepFailed as error:
        raise StepFailed(f"{error}; it holds {placed()}") from error
