#!/usr/bin/env python3
"""Uses Bitlay as a person would, under a real X server with a window manager (openbox): load a
picture by typing its path and Enter, pick a colour with one click, choose a layer, type the
position and scale, transfer, load a second picture by typing only its name, rotate, quit; then
checks the board file line by line against lines worked out here from the transfer rules, and that
each transfer is one board-only footprint of exactly its lines (in KiCad too, where its Python module
is). While the
first Bitlay is attached, a second one on the same board must show its message box on top of every
window and end with status 1; a further run attaches to a missing board.

Usage: bitlay_e2e.py BITLAY_EXECUTABLE WORK_DIR [--screenshot PNG]
Exit status 0 on success, 1 on a failed step, 77 when no X server can be started.
"""

import math
import os
import re
import shutil
import struct
import subprocess
import sys
import time
from decimal import Decimal
from pathlib import Path

SKIP = 77
CAPTION = "Bitlay Picture. - Corvane Systems - Rev : 2.0"

# Client-area geometry of the window, in pixels (twips / 15, rounded).
PICTURE1_CLIENT = (8 + 2, 8 + 2)  # inside the 2-pixel frame
CLIENT_W, CLIENT_H = 309, 229
COMMAND1 = (8 + 52, 256 + 14)
COMMAND5 = (120 + 48, 256 + 14)
COMMAND2 = (224 + 48, 256 + 14)
COMMAND3 = (8 + 156, 288 + 14)
LIST2 = (128, 336)
TEXT1 = (248 + 32, 336 + 12)
TEXT2 = (248 + 32, 368 + 12)
TEXT3 = (280 + 16, 400 + 12)
SWATCH = (16 + 44, 360 + 16)  # the middle of Label8

OUTER_W, OUTER_H = 4695.0, 3495.0  # Picture1 in twips


class StepFailed(Exception):
    pass


def run(*args, check=True, env=None, timeout=20):
    result = subprocess.run(args, capture_output=True, text=True, env=env, timeout=timeout)
    if check and result.returncode != 0:
        raise StepFailed(f"{' '.join(args)} failed: {result.stderr.strip()}")
    return result.stdout


def poll(what, probe, seconds=20.0, interval=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = probe()
        if value:
            return value
        time.sleep(interval)
    raise StepFailed(f"timed out after {seconds:.0f} s waiting for {what}")


class Display:
    """An Xvfb server of our own on a free display number."""

    def __init__(self, work_dir, screen="1024x768"):
        # Xvfb picks a free display itself and writes its number to the pipe once it is ready.
        # Without -noreset it resets whenever its last client leaves, and a client that connects
        # in that moment (bitlay between two xdotool calls) is turned away.
        read_end, write_end = os.pipe()
        self.log = open(work_dir / "xvfb.log", "w")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-noreset", "-screen", "0", f"{screen}x24",
             "-nolisten", "tcp"], pass_fds=(write_end,), stdout=self.log, stderr=self.log)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            self.process.wait(5)
            raise OSError("Xvfb could not be started")
        self.name = f":{number}"
        self.window_manager = None

    def start_window_manager(self, work_dir):
        """openbox, as on a desktop: frames, stacking layers, focus. Ready once it announces itself
        on the root window."""
        self.wm_log = open(work_dir / "openbox.log", "w")
        self.window_manager = subprocess.Popen(["openbox", "--sm-disable"], env=self.env(),
                                               stdout=self.wm_log, stderr=self.wm_log)
        poll("openbox to manage the display",
             lambda: "window id" in run("xprop", "-display", self.name, "-root",
                                        "_NET_SUPPORTING_WM_CHECK", check=False), 10)

    def env(self, **extra):
        env = dict(os.environ, DISPLAY=self.name, QT_QPA_PLATFORM="xcb", LANG="C.UTF-8")
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP"):
            env.pop(name, None)
        env.update(extra)
        return env

    def close(self):
        if self.window_manager:
            self.window_manager.terminate()
            self.window_manager.wait(5)
            self.wm_log.close()
        self.process.terminate()
        self.process.wait(5)
        self.log.close()


class Session:
    def __init__(self, display):
        self.display = display
        self.env = display.env()

    def xdo(self, *args):
        return run("xdotool", *args, env=self.env)

    def visible_windows(self, name):
        return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                              capture_output=True, text=True, env=self.env).stdout.split()

    def find_window(self, name, seconds=20.0):
        def probe():
            found = self.visible_windows(name)
            return found[0] if found else None
        return poll(f"a window named {name!r}", probe, seconds)

    def geometry(self, window):
        out = self.xdo("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click(self, window, point, button=1):
        """Moves the pointer to a point of the window's client area and clicks once. (Under a
        window manager the client lies inside a frame; xdotool places the pointer relative to the
        client itself.)"""
        self.xdo("mousemove", "--window", window, "--sync", str(point[0]), str(point[1]))
        self.xdo("click", str(button))

    def type_into(self, window, point, text):
        self.click(window, point)
        self.xdo("key", "ctrl+a")
        self.xdo("type", "--delay", "20", "--", text)

    def pixel(self, window, point):
        """The colour on screen at a point of the window's client area, as (r, g, b)."""
        out = run("import", "-display", self.display.name, "-window", window, "-crop",
                  f"1x1+{point[0]}+{point[1]}", "-depth", "8", "txt:-", env=self.env)
        found = re.search(r"#([0-9A-Fa-f]{6})", out)
        if not found:
            raise StepFailed(f"no pixel in {out!r}")
        value = int(found.group(1), 16)
        return value >> 16, (value >> 8) & 0xFF, value & 0xFF

    def grab(self, window, area):
        """The pixels on screen of an area (x, y, width, height) of the window's client area."""
        x, y, w, h = area
        return subprocess.run(["import", "-display", self.display.name, "-window", window, "-crop",
                               f"{w}x{h}+{x}+{y}", "-depth", "8", "rgb:-"],
                              capture_output=True, env=self.env, timeout=20).stdout

    def wait_for_change(self, what, window, area, before, seconds=20.0):
        """Polls an area of the window until it shows something else than `before` and looks the
        same twice in a row."""
        last = [before]

        def settled():
            now = self.grab(window, area)
            done = now != before and now == last[0]
            last[0] = now
            return done
        poll(what, settled, seconds)

    def stacking(self):
        """The managed windows from bottom to top, as the window manager stacks them."""
        out = run("xprop", "-display", self.display.name, "-root", "_NET_CLIENT_LIST_STACKING")
        return [int(word.rstrip(","), 16) for word in re.findall(r"0x[0-9a-fA-F]+,?", out)]

    def wm_state(self, window):
        return run("xprop", "-display", self.display.name, "-id", window, "_NET_WM_STATE")

    def choose_file(self, typed, select_all):
        """Types into the open file dialog's name box and presses Enter, as a person would."""
        dialog = self.find_window("Open BMP file.")
        self.xdo("windowfocus", "--sync", dialog)
        if select_all:
            self.xdo("key", "ctrl+a")
        self.xdo("type", "--delay", "10", "--", typed)
        self.xdo("key", "Return")
        poll("the file dialog to close", lambda: not self.visible_windows("Open BMP file."), 10)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display.name, "-window", "root", str(path)],
                       capture_output=True, env=self.env)


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


def write_bmp(path, pixels):
    """A bottom-up 24-bit BMP of rows of (r, g, b)."""
    height, width = len(pixels), len(pixels[0])
    row_size = (width * 3 + 3) // 4 * 4
    data = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        data += line + bytes(row_size - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    path.write_bytes(header + info + data)


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


def start_bitlay(exe, work, env, log_path):
    """Bitlay with its output in a file, so that a full pipe can never hold it up."""
    log = open(log_path, "w")
    process = subprocess.Popen([exe], cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT)
    process.log, process.log_path = log, log_path
    return process


def stop_bitlay(process):
    if process.poll() is None:
        process.kill()
        process.wait()
    process.log.close()


def bitlay_window(session, process):
    """Bitlay's window once it is shown. A Bitlay that ends instead, or shows its start-up message
    box (the design could not be attached), is reported as soon as that is seen."""
    def probe():
        found = session.visible_windows(CAPTION)
        if found:
            return found[0]
        if session.visible_windows("^Bitlay$"):
            raise StepFailed("Bitlay shows its start-up message box instead of its window: the "
                             "design could not be attached")
        if process.poll() is not None:
            raise StepFailed(f"bitlay ended with status {process.returncode}: "
                             f"{process.log_path.read_text().strip()}")
        return None
    return poll(f"a window named {CAPTION!r}", probe)


def pick_and_check(session, window, colour):
    """One click on the picture's point (4, 4), then the swatch must show that point's colour."""
    session.click(window, (PICTURE1_CLIENT[0] + 4, PICTURE1_CLIENT[1] + 4))
    try:
        poll(f"the swatch to show {colour}", lambda: session.pixel(window, SWATCH) == colour, 10)
    except StepFailed:
        shown = session.pixel(window, SWATCH)
        raise StepFailed(f"after one click on the picture the swatch shows {shown}, not {colour}")


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
        session.click(window, COMMAND2)
        status = process.wait(15)
        if status != 0:
            raise StepFailed(f"bitlay ended with status {status}")

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


def run_on_desktop(label, work, tools, body, session_class=Session, screen="1024x768"):
    """Runs body(session) on a virtual X server of its own (`screen` pixels) with openbox managing
    it, as a desktop would be. Returns the exit status: 0, 1 on a failed step (a screenshot of the
    screen is kept), 77 when a tool is missing or no X server can be started."""
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    for tool in ("Xvfb", "openbox", "xdotool", "xprop", "xdpyinfo", "import", *tools):
        if not shutil.which(tool):
            print(f"{label}: skipped, {tool} is not installed")
            return SKIP
    try:
        display = Display(work, screen)
    except OSError as error:
        print(f"{label}: skipped, {error}")
        return SKIP
    session = session_class(display)
    try:
        display.start_window_manager(work)
        body(session)
        return 0
    except StepFailed as error:
        failure = work / "failure.png"
        session.screenshot(failure)
        print(f"{label}: FAILED at {error} (screenshot: {failure})")
        return 1
    finally:
        display.close()


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
