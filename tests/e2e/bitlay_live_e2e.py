#!/usr/bin/env python3
"""Uses Bitlay as a person would with KiCad 9 running beside it on the same X server: pcbnew has a
board open (its API enabled, a HOME and TMPDIR of its own), Bitlay is started with nothing but that
TMPDIR, so it finds the running KiCad by itself; a logo is loaded, a colour picked, a layer chosen,
the numbers typed and the picture transferred. The lines KiCad then holds, read back through its
API, must be exactly those the transfer rules give.

Usage: bitlay_live_e2e.py BITLAY_EXECUTABLE WORK_DIR [--screenshot PNG]
With --screenshot, a picture of KiCad showing the transferred logo is kept at PNG.
Exit status 0 on success, 1 on a failed step, 77 when KiCad or an X server cannot run here.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bitlay_e2e import (COMMAND1, COMMAND2, COMMAND3, LIST2, TEXT1, TEXT2, TEXT3,  # noqa: E402
                        Session, StepFailed, bitlay_window, expected_lines, pick_and_check, poll,
                        run_on_desktop, start_bitlay, stop_bitlay, write_bmp)

KICAD_COMMON = ('{"api": {"enable_server": true}, "do_not_show_again": {'
                '"data_collection_prompt": true, "update_check_prompt": true, '
                '"env_var_overwrite_warning": true, "scaled_3d_models_warning": true, '
                '"zone_fill_warning": true}}')
BOARD = '(kicad_pcb (version 20241229) (generator "bitlay-e2e") (generator_version "9.0"))\n'
B_CU = 34  # KiCad's API number of B.Cu

# A five-by-seven pixel font, enough for the logo.
GLYPHS = {
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "I": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "#####"],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "Y": ["#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."],
}


def logo(text="BITLAY", zoom=3, margin=4):
    """Red letters on white, the first letter's top-left pixel at (margin, margin)."""
    white, red = (255, 255, 255), (255, 0, 0)
    width = margin * 2 + len(text) * 6 * zoom - zoom
    height = margin * 2 + 7 * zoom
    pixels = [[white] * width for _ in range(height)]
    for index, letter in enumerate(text):
        for row, bits in enumerate(GLYPHS[letter]):
            for column, bit in enumerate(bits):
                if bit != "#":
                    continue
                for dy in range(zoom):
                    for dx in range(zoom):
                        x = margin + (index * 6 + column) * zoom + dx
                        pixels[margin + row * zoom + dy][x] = red
    return pixels


def kicad_home(work):
    """A HOME for KiCad 9 with its API on and no first-run dialogs."""
    home = work / "kicad-home"
    config = home / ".config" / "kicad" / "9.0"
    config.mkdir(parents=True)
    (config / "kicad_common.json").write_text(KICAD_COMMON)
    for table in ("fp", "sym", "design_block"):
        name = table.replace("_", "-") + "-lib-table"
        (config / name).write_text(f"({table}_lib_table (version 7))\n")
    return home


def kicad_env(display, home, tmp):
    return display.env(HOME=str(home), TMPDIR=str(tmp), XDG_CONFIG_HOME=str(home / ".config"),
                       XDG_DATA_HOME=str(home / ".local" / "share"))


class Kicad:
    """pcbnew on the display with a board of its own, stopped by its pid. Several may share a HOME
    and a TMPDIR, as on a desktop: the first one's socket is api.sock, a later one's api-<pid>.sock.
    """

    def __init__(self, display, work, probe, home=None, tmp=None, board_text=BOARD, name="live",
                 wait=True):
        self.probe = probe
        self.home = home or kicad_home(work)
        self.tmp = tmp or work / "kicad-tmp"
        self.tmp.mkdir(exist_ok=True)
        board = work / f"{name}.kicad_pcb"
        board.write_text(board_text)
        self.log = open(work / f"pcbnew-{name}.log", "w")
        first = not (self.tmp / "kicad" / "api.sock").exists()
        self.process = subprocess.Popen(["pcbnew", str(board)],
                                        env=kicad_env(display, self.home, self.tmp),
                                        stdout=self.log, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        socket = "api.sock" if first else f"api-{self.process.pid}.sock"
        self.url = f"ipc://{self.tmp}/kicad/{socket}"
        if wait:
            self.wait_ready()

    def wait_ready(self):
        poll(f"pcbnew's API to answer at {self.url} with the board open", self.ready, 90, 0.2)

    def wait_listening(self):
        """Until its socket is there: a pcbnew started after that gets a socket of its own."""
        path = Path(self.url[len("ipc://"):])
        poll(f"pcbnew's socket {path}", lambda: path.exists() or self.ready(), 90, 0.1)

    def ready(self):
        if self.process.poll() is not None:
            raise StepFailed(f"pcbnew ended with status {self.process.returncode}")
        return subprocess.run([self.probe, self.url, "ready"], capture_output=True).returncode == 0

    def segments(self):
        out = subprocess.run([self.probe, self.url, "segments"], capture_output=True, text=True,
                             timeout=30)
        if out.returncode != 0:
            raise StepFailed(f"reading the board back failed: {out.stderr.strip()}")
        return [tuple(int(v) for v in line.split()) for line in out.stdout.splitlines()]

    def settled_segments(self, seconds=60.0):
        """The segments once their number has stopped changing (the transfer's commit ended)."""
        last, since = None, time.monotonic()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            now = self.segments()
            if now and len(now) == (len(last) if last is not None else -1):
                if time.monotonic() - since > 1.0:
                    return now
            else:
                last, since = now, time.monotonic()
            time.sleep(0.2)
        raise StepFailed("the lines in KiCad kept changing")

    def close(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, 9)
            self.process.wait()
        self.log.close()


class LiveSession(Session):
    """Window geometry as the X server has it, for cutting a window out of the screen: under a
    window manager that frames windows, xdotool's own report is off by the frame."""

    def geometry(self, window):
        out = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True,
                             env=self.env, check=True).stdout
        values = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))


def transfer_logo(session, window, kicad, work, layer_down=1):
    """Loads the logo, picks its red, chooses the layer `layer_down` entries below the first,
    types the numbers and transfers; returns what KiCad holds then and what the rules give, both
    as sorted segments without the layer."""
    picture = work / "logo.bmp"
    pixels = logo()
    write_bmp(picture, pixels)
    session.click(window, COMMAND1)
    session.choose_file(str(picture), select_all=False)
    pick_and_check(session, window, (255, 0, 0))
    session.click(window, (LIST2[0] + 20, LIST2[1] + 8))
    for _ in range(layer_down):
        session.xdo("key", "Down")
    x_text, y_text, s_text = "100", "-50", "2"
    session.type_into(window, TEXT1, x_text)
    session.type_into(window, TEXT2, y_text)
    session.type_into(window, TEXT3, s_text)
    before = kicad.segments()
    if before:
        raise StepFailed(f"the board held {len(before)} segments before the transfer")
    session.click(window, COMMAND3)
    got = kicad.settled_segments()
    expected, width = expected_lines(pixels, (255, 0, 0), x_text, y_text, s_text)
    want = sorted((a * 10, -b * 10, c * 10, -d * 10, width * 10) for a, b, c, d in expected)
    return got, want


def compare_segments(got, want, layer):
    """KiCad's segments against the rules' on `layer`, the first difference named."""
    want = sorted((layer, *segment) for segment in want)
    got = sorted(got)
    if got != want:
        for index, (g, e) in enumerate(zip(got, want)):
            if g != e:
                raise StepFailed(f"segment {index}: KiCad has {g}, the rules give {e}")
        raise StepFailed(f"KiCad has {len(got)} segments, the rules give {len(want)}")


def live_run(session, kicad, exe, work, screenshot):
    # Nothing names a design: the library finds the KiCad through TMPDIR, as in a user's session.
    env = session.display.env(TMPDIR=str(kicad.tmp))
    for name in ("DBX_DESIGN", "KICAD_API_SOCKET", "KICAD_API_TOKEN"):
        env.pop(name, None)
    process = start_bitlay(exe, work, env, work / "bitlay.log")
    step = "start"
    try:
        step = "find the window"
        window = bitlay_window(session, process)

        step = "transfer the logo onto B.Cu"
        got, want = transfer_logo(session, window, kicad, work)

        step = "quit"
        session.click(window, COMMAND2)
        status = process.wait(15)
        if status != 0:
            raise StepFailed(f"bitlay ended with status {status}")

        step = "check KiCad's board"
        compare_segments(got, want, B_CU)
        print(f"live e2e: {len(got)} segments on B.Cu in KiCad as the rules give")

        if screenshot:
            step = "screenshot"
            take_screenshot(session, kicad, work, screenshot)
    except Exception as error:
        raise StepFailed(f"step '{step}': {error}") from error
    finally:
        stop_bitlay(process)


def take_screenshot(session, kicad, work, target):
    """KiCad's window zoomed to the transferred logo, cut out of the screen and kept small."""
    windows = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                              str(kicad.process.pid)], capture_output=True, text=True,
                             env=session.env).stdout.split()
    if not windows:
        raise StepFailed("no KiCad window to photograph")
    window = windows[0]
    session.xdo("windowactivate", "--sync", window)
    session.xdo("key", "--window", window, "ctrl+Home")  # zoom to the board's objects
    time.sleep(1.5)
    x, y, w, h = session.geometry(window)
    full = work / "kicad-screen.png"
    session.screenshot(full)
    subprocess.run(["convert", str(full), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-resize",
                    "900x>", "-colors", "64", str(target)], check=True)


def main():
    exe, work = os.path.abspath(sys.argv[1]), Path(sys.argv[2])
    screenshot = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--screenshot" else None
    probe = str(Path(exe).parent / "kicad_probe")

    def body(session):
        kicad = Kicad(session.display, work, probe)
        try:
            live_run(session, kicad, exe, work, screenshot)
        finally:
            kicad.close()

    return run_on_desktop("live e2e", work, ("pcbnew",), body, LiveSession)


if __name__ == "__main__":
    sys.exit(main())
