#!/usr/bin/env python3
"""Uses Bitlay as a person would with a KiCad running beside it on the same X server: pcbnew has a
board open (its API enabled, a HOME and TMPDIR of its own), Bitlay is started with nothing but that
TMPDIR, so it finds the running KiCad by itself; a logo is loaded, a colour picked, a layer chosen,
the numbers typed and the picture transferred. The lines KiCad then holds, read back through its
API, must be exactly those the transfer rules give.

Usage: bitlay_live_e2e.py BITLAY_EXECUTABLE WORK_DIR [--kicad NAME] [--screenshot PNG]
--kicad names the KiCad of the matrix (tests/e2e/kicad_matrix.py) to run: host (the default, or
what BITLAY_KICAD names), trixie or sid. With --screenshot, a picture of KiCad showing the
transferred logo is kept at PNG.
Exit status 0 on success, 1 on a failed step, 77 when that KiCad or an X server cannot run here.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from board_check import check_same, expected_lines  # noqa: E402
from desktop import (COMMAND1, COMMAND3, LIST2, SKIP, Session, StepFailed, TEXT1,  # noqa: E402
                     TEXT2, TEXT3, bitlay_window, pick_and_check, poll, quit_bitlay, run_on_desktop,
                     start_bitlay, stop_bitlay, write_bmp)
from kicad_matrix import kicad_named  # noqa: E402

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


def group_members(group):
    """The processes of the group `group` leads: pcbnew is the bwrap's child in a root."""
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.getpgid(int(entry)) == group:
                    members.append(int(entry))
            except OSError:
                pass
    return members


def kicad_home(folder, config_version="9.0"):
    """A HOME in `folder` for KiCad with its API on and no first-run dialogs."""
    home = folder / "kicad-home"
    config = home / ".config" / "kicad" / config_version
    config.mkdir(parents=True, exist_ok=True)
    (config / "kicad_common.json").write_text(KICAD_COMMON)
    for table in ("fp", "sym", "design_block"):
        name = table.replace("_", "-") + "-lib-table"
        (config / name).write_text(f"({table}_lib_table (version 7))\n")
    return home


class Pcbnew:
    """The pcbnew of a KiCad of the matrix on the display, with a board of its own, stopped by
    killing its process group. HOME, TMPDIR and the board live in a folder under /tmp (bound into
    a KiCad's root at the same path). Several may share a HOME and a TMPDIR, as on a desktop: the
    first one's socket is api.sock, a later one's api-<pid>.sock (a host KiCad's pid)."""

    def __init__(self, kicad, display, work, probe, folder=None, home=None, board_text=BOARD,
                 name="live", wait=True):
        self.probe = probe
        self.process = None
        self.owns_folder = folder is None
        self.folder = folder or Path(tempfile.mkdtemp(prefix="bitlay-live-"))
        self.home = home or kicad_home(self.folder, kicad.config_version)
        self.tmp = self.folder / "tmp"
        self.tmp.mkdir(exist_ok=True)
        board = self.folder / f"{name}.kicad_pcb"
        board.write_text(board_text)
        self.log = open(work / f"pcbnew-{name}.log", "w")
        first = not (self.tmp / "kicad" / "api.sock").exists()
        command = kicad.prefix(self.folder, HOME=self.home, TMPDIR=self.tmp, DISPLAY=display.name,
                               XDG_CONFIG_HOME=self.home / ".config",
                               XDG_DATA_HOME=self.home / ".local" / "share")
        try:
            self.process = subprocess.Popen(command + ["pcbnew", str(board)], env=display.env(),
                                            stdout=self.log, stderr=subprocess.STDOUT,
                                            start_new_session=True)
        except OSError as error:
            raise StepFailed(f"KiCad {kicad.name}'s pcbnew cannot be started: {error}")
        socket = "api.sock" if first else f"api-{self.process.pid}.sock"
        self.url = f"ipc://{self.tmp}/kicad/{socket}"
        self.label = f"KiCad {kicad.name}'s pcbnew"
        if wait:
            self.wait_ready()

    def wait_ready(self):
        try:
            poll(f"{self.label} to answer at {self.url} with the board open", self.ready, 90, 0.2)
        except BaseException:
            self.close()
            raise

    def wait_listening(self):
        """Until its socket is there: a pcbnew started after that gets a socket of its own."""
        path = Path(self.url[len("ipc://"):])
        poll(f"{self.label}'s socket {path}", lambda: path.exists() or self.ready(), 90, 0.1)

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

    def windows(self, env):
        for pid in group_members(self.process.pid):
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                                   capture_output=True, text=True, env=env).stdout.split()
            if found:
                return found
        return []

    def close(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, 9)
            self.process.wait()
        self.log.close()
        if self.owns_folder:
            shutil.rmtree(self.folder, ignore_errors=True)


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


def transfer_logo(session, window, pcbnew, work, layer_down=1):
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
    before = pcbnew.segments()
    if before:
        raise StepFailed(f"the board held {len(before)} segments before the transfer")
    session.click(window, COMMAND3)
    got = pcbnew.settled_segments()
    expected, width = expected_lines(pixels, (255, 0, 0), x_text, y_text, s_text)
    want = sorted((a * 10, -b * 10, c * 10, -d * 10, width * 10) for a, b, c, d in expected)
    return got, want


def compare_segments(got, want, layer):
    """KiCad's segments against the rules' on `layer`, the first difference named."""
    check_same(sorted(got), sorted((layer, *segment) for segment in want), "segment", "KiCad")


def start_beside(session, pcbnew, exe, work):
    """Bitlay started with nothing that names a design: the library finds the KiCad through
    TMPDIR, as in a user's session."""
    env = session.display.env(TMPDIR=str(pcbnew.tmp))
    for name in ("DBX_DESIGN", "KICAD_API_SOCKET", "KICAD_API_TOKEN"):
        env.pop(name, None)
    return start_bitlay(exe, work, env, work / "bitlay.log")


def live_run(session, pcbnew, exe, work, screenshot):
    process = start_beside(session, pcbnew, exe, work)
    step = "start"
    try:
        step = "find the window"
        window = bitlay_window(session, process)

        step = "transfer the logo onto B.Cu"
        got, want = transfer_logo(session, window, pcbnew, work)

        step = "quit"
        quit_bitlay(session, window, process)

        step = "check KiCad's board"
        compare_segments(got, want, B_CU)
        print(f"live e2e: {len(got)} segments on B.Cu in KiCad as the rules give")

        if screenshot:
            step = "screenshot"
            take_screenshot(session, pcbnew, work, screenshot)
    except Exception as error:
        raise StepFailed(f"step '{step}': {error}") from error
    finally:
        stop_bitlay(process)


def take_screenshot(session, pcbnew, work, target):
    """KiCad's window zoomed to the transferred logo, cut out of the screen and kept small."""
    windows = pcbnew.windows(session.env)
    if not windows:
        raise StepFailed("no KiCad window to photograph")
    window = windows[0]
    session.xdo("windowactivate", "--sync", window)
    x, y, w, h = session.geometry(window)
    before = session.grab(window, (0, 0, w, h))
    session.xdo("key", "--window", window, "ctrl+Home")  # zoom to the board's objects
    try:
        session.wait_for_change("KiCad to zoom to the logo", window, (0, 0, w, h), before, 10)
    except StepFailed:
        pass  # the view showed the logo whole already
    full = work / "pcbnew-screen.png"
    session.screenshot(full)
    subprocess.run(["convert", str(full), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-resize",
                    "900x>", "-colors", "64", str(target)], check=True)


def beside_pcbnew(name, description, run, options=()):
    """The main of an end-to-end test beside a real pcbnew: reads EXE WORK [--kicad NAME] and the
    test's own `options` (flags taking a value), skips a KiCad that cannot run here, and runs
    `run(session, kicad, pcbnew, exe, work, args)` on a desktop with a fresh pcbnew."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("exe")
    parser.add_argument("work", type=Path)
    parser.add_argument("--kicad", default=os.environ.get("BITLAY_KICAD") or "host")
    for option in options:
        parser.add_argument(option)
    args = parser.parse_args()
    exe, work = os.path.abspath(args.exe), args.work
    probe = str(Path(exe).parent / "kicad_probe")
    kicad = kicad_named(args.kicad)
    label = f"{name} e2e ({' '.join(filter(None, (kicad.name, kicad.version)))})"
    if kicad.unavailable:
        print(f"{label}: skipped, KiCad {kicad.name} cannot run here: {kicad.unavailable}")
        return SKIP

    def body(session):
        pcbnew = None
        try:
            pcbnew = Pcbnew(kicad, session.display, work, probe)
            run(session, kicad, pcbnew, exe, work, args)
        finally:
            if pcbnew is not None:
                pcbnew.close()

    return run_on_desktop(label, work, (), body, LiveSession)


def main():
    return beside_pcbnew(
        "live", "Bitlay live into a running KiCad",
        lambda session, kicad, pcbnew, exe, work, args:
            live_run(session, pcbnew, exe, work, args.screenshot),
        ("--screenshot",))


if __name__ == "__main__":
    sys.exit(main())
