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


class Kicad:
    """pcbnew on the display with a board of its own, stopped by its pid."""

    def __init__(self, display, work, probe):
        self.probe = probe
        home, self.tmp = work / "kicad-home", work / "kicad-tmp"
        config = home / ".config" / "kicad" / "9.0"
        config.mkdir(parents=True)
        self.tmp.mkdir()
        (config / "kicad_common.json").write_text(KICAD_COMMON)
        for table in ("fp", "sym", "design_block"):
            name = table.replace("_", "-") + "-lib-table"
            (config / name).write_text(f"({table}_lib_table (version 7))\n")
        board = work / "live.kicad_pcb"
        board.write_text(BOARD)
        self.url = f"ipc://{self.tmp}/kicad/api.sock"
        self.log = open(work / "pcbnew.log", "w")
        env = display.env(HOME=str(home), TMPDIR=str(self.tmp),
                          XDG_CONFIG_HOME=str(home / ".config"))
        self.process = subprocess.Popen(["pcbnew", str(board)], env=env, stdout=self.log,
                                        stderr=subprocess.STDOUT, start_new_session=True)
        poll("pcbnew's API to answer with the board open", self.ready, 90, 0.2)

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


def live_run(session, kicad, exe, work, screenshot):
    picture = work / "logo.bmp"
    pixels = logo()
    write_bmp(picture, pixels)
    # Nothing names a design: the library finds the KiCad through TMPDIR, as in a user's session.
    env = session.display.env(TMPDIR=str(kicad.tmp))
    for name in ("DBX_DESIGN", "KICAD_API_SOCKET"):
        env.pop(name, None)
    process = start_bitlay(exe, work, env, work / "bitlay.log")
    step = "start"
    try:
        step = "find the window"
        window = bitlay_window(session, process)

        step = "load the picture by typing its path"
        session.click(window, COMMAND1)
        session.choose_file(str(picture), select_all=False)

        step = "pick the colour with one click"
        pick_and_check(session, window, (255, 0, 0))

        step = "choose B.Cu and type the numbers"
        session.click(window, (LIST2[0] + 20, LIST2[1] + 8))
        session.xdo("key", "Down")
        x_text, y_text, s_text = "100", "-50", "2"
        session.type_into(window, TEXT1, x_text)
        session.type_into(window, TEXT2, y_text)
        session.type_into(window, TEXT3, s_text)

        step = "transfer"
        before = kicad.segments()
        session.click(window, COMMAND3)
        got = kicad.settled_segments()

        step = "quit"
        session.click(window, COMMAND2)
        status = process.wait(15)
        if status != 0:
            raise StepFailed(f"bitlay ended with status {status}")

        step = "check KiCad's board"
        if before:
            raise StepFailed(f"the board held {len(before)} segments before the transfer")
        expected, width = expected_lines(pixels, (255, 0, 0), x_text, y_text, s_text)
        want = sorted((B_CU, a * 10, -b * 10, c * 10, -d * 10, width * 10)
                      for a, b, c, d in expected)
        got = sorted(got)
        if got != want:
            for index, (g, e) in enumerate(zip(got, want)):
                if g != e:
                    raise StepFailed(f"segment {index}: KiCad has {g}, the rules give {e}")
            raise StepFailed(f"KiCad has {len(got)} segments, the rules give {len(want)}")
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
