#!/usr/bin/env python3
"""Starts Bitlay as a KiCad user would: from its button in the PCB editor's toolbar. A HOME of its
own gets KiCad's API turned on and the plugin by `make install-kicad-plugin`; then two pcbnews
start beside each other with that HOME and one TMPDIR (the first listens on api.sock, the second on
api-<pid>.sock). The button is found on a screenshot of the second one's toolbar by its icon and
clicked. Bitlay's window must come up attached to that pcbnew (its socket in Bitlay's environment,
its lock held), its layer list must be that board's, and a transfer through the window must land
there while the first pcbnew, the one Bitlay would take when started by hand, receives nothing.

Usage: bitlay_plugin_e2e.py SOURCE_DIR BUILD_DIR WORK_DIR [--screenshot PNG]
With --screenshot, a picture of the toolbar with the Bitlay button is kept at PNG.
Exit status 0 on success, 1 on a failed step, 77 when KiCad or an X server cannot run here.
"""

import fcntl
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from desktop import CAPTION, COMMAND2, StepFailed, poll, run, run_on_desktop  # noqa: E402
from bitlay_live_e2e import (LiveSession, Pcbnew, compare_segments, kicad_home,  # noqa: E402
                             transfer_logo)
from kicad_matrix import kicad_named  # noqa: E402

IN1_CU = 4  # KiCad's API number of In1.Cu, the second layer of the four-layer board
SCREEN = "1280x800"


def rgb_image(path, *extra):
    """A picture as (width, height, bytes of r, g, b[, a] per pixel) through ImageMagick."""
    size = run("identify", "-format", "%w %h", str(path))
    width, height = (int(v) for v in size.split())
    channels = "rgba" if "-alpha" in extra else "rgb"
    data = subprocess.run(["convert", str(path), *extra, "-depth", "8", f"{channels}:-"],
                          capture_output=True, check=True).stdout
    return width, height, data


def find_icon(screen_png, icon_png, region):
    """Where the icon's opaque pixels appear exactly on the screen, inside `region` (x, y, w, h):
    the screen position of the icon's top-left corner, or None."""
    sw, _, screen = rgb_image(screen_png)
    iw, ih, icon = rgb_image(icon_png, "-alpha", "on")
    opaque = [(x, y, icon[(y * iw + x) * 4:(y * iw + x) * 4 + 3]) for y in range(ih)
              for x in range(iw) if icon[(y * iw + x) * 4 + 3] == 255]
    ax, ay, anchor = opaque[0]
    rx, ry, rw, rh = region
    for y in range(ry, ry + rh - ih):
        row = screen[y * sw * 3:(y + 1) * sw * 3]
        start = (rx + ax) * 3
        while True:
            at = row.find(anchor, start, (rx + rw) * 3)
            if at < 0:
                break
            start = at + 1
            if at % 3:
                continue
            left, top = at // 3 - ax, y - ay
            if all(screen[((top + py) * sw + left + px) * 3:((top + py) * sw + left + px) * 3 + 3]
                   == colour for px, py, colour in opaque):
                return left, top
    return None


def lock_held(url):
    """Whether an attachment holds the lock beside the socket at `url`."""
    path = url[len("ipc://"):] + ".dbx.lock"
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOFOLLOW)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def install_plugin(source, build, home):
    """`make install-kicad-plugin`, as the user of that HOME would type it."""
    env = dict(os.environ, HOME=str(home))
    for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "KICAD_DOCUMENTS_HOME", "KICAD_CONFIG_HOME"):
        env.pop(name, None)
    out = subprocess.run(["make", "-C", str(source), f"BUILD={build}", "JOBS=1",
                          "install-kicad-plugin"], capture_output=True, text=True, env=env,
                         timeout=600)
    if out.returncode != 0:
        raise StepFailed(f"make install-kicad-plugin failed: {out.stdout}{out.stderr}")
    plugin = home / ".local" / "share" / "kicad" / "9.0" / "plugins" / "bitlay"
    for name in ("plugin.json", "bitlay-kicad", "icons/bitlay-light-24.png"):
        if not (plugin / name).is_file():
            raise StepFailed(f"no {name} in {plugin} after make install-kicad-plugin: {out.stdout}")
    if "API is off" in out.stdout:
        raise StepFailed(f"the API is on in this HOME, yet: {out.stdout}")
    return plugin


def kicad_window(session, pcbnew):
    def probe():
        found = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid",
                                str(pcbnew.process.pid), "--name", "PCB Editor"],
                               capture_output=True, text=True, env=session.env).stdout.split()
        return found[0] if found else None
    return poll("the PCB editor's window", probe, 30)


def bitlay_pid(session, window):
    return int(session.xdo("getwindowpid", window).strip())


def environment_of(pid):
    raw = Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")
    return dict(entry.decode(errors="replace").split("=", 1) for entry in raw if b"=" in entry)


def plugin_run(session, source, build, work, probe, screenshot):
    step = "install the plugin"
    kicads = []
    try:
        # The host's KiCad: its plugin folder is where make install-kicad-plugin puts the plugin.
        kicad = kicad_named("host")
        home = kicad_home(work, kicad.config_version)
        plugin = install_plugin(source, build, home)

        step = "start two pcbnews"
        # The second starts once the first listens, so that the two start side by side.
        kicads.append(Pcbnew(kicad, session.display, work, probe, folder=work, home=home,
                             name="first", wait=False))
        kicads[0].wait_listening()
        four_layers = (source / "tests" / "data" / "kicad" / "four-layer.kicad_pcb").read_text()
        kicads.append(Pcbnew(kicad, session.display, work, probe, folder=work, home=home,
                             board_text=four_layers, name="second", wait=False))
        first, second = kicads
        first.wait_ready()
        second.wait_ready()
        if not second.url.endswith(f"/api-{second.process.pid}.sock"):
            raise StepFailed(f"the second pcbnew listens on {second.url}")

        step = "find the Bitlay button on the second pcbnew's toolbar"
        window = kicad_window(session, second)
        session.xdo("windowactivate", "--sync", window)
        x, y, w, _ = session.geometry(window)

        def button():
            shot = work / "toolbar.png"
            session.screenshot(shot)
            return find_icon(shot, plugin / "icons" / "bitlay-light-24.png", (x, y, w, 120))
        icon = poll("the Bitlay button in the toolbar", button, 30, 0.5)

        if screenshot:
            step = "keep the toolbar's picture"
            keep_toolbar(work / "toolbar.png", icon, (x, y, w), screenshot)

        step = "click the button"
        run("xdotool", "mousemove", "--sync", str(icon[0] + 12), str(icon[1] + 12), env=session.env)
        run("xdotool", "click", "1", env=session.env)
        bitlay = session.find_window(CAPTION, 30)
        pid = bitlay_pid(session, bitlay)
        started_with = environment_of(pid).get("KICAD_API_SOCKET")
        if started_with != second.url:
            raise StepFailed(f"Bitlay was started with KICAD_API_SOCKET={started_with}")
        if not lock_held(second.url) or lock_held(first.url):
            raise StepFailed("Bitlay is not attached to the second pcbnew alone")

        step = "transfer onto the second layer, In1.Cu of the second pcbnew's board"
        got, want = transfer_logo(session, bitlay, second, work)
        compare_segments(got, want, IN1_CU)
        if first.segments():
            raise StepFailed("the first pcbnew received lines")

        step = "quit"
        session.click(bitlay, COMMAND2)
        poll("Bitlay to end", lambda: not Path(f"/proc/{pid}").exists() or
             Path(f"/proc/{pid}/stat").read_text().split()[2] == "Z", 15)
        print(f"plugin e2e: the button started Bitlay on the second pcbnew; {len(got)} segments "
              "on its In1.Cu, none in the first")
    except Exception as error:
        raise StepFailed(f"step '{step}': {error}") from error
    finally:
        for kicad in kicads:
            kicad.close()


def keep_toolbar(shot, icon, window, target):
    """The right part of the toolbar, the button at its end, doubled so that the icon can be
    seen."""
    x, _, w = window
    left = max(x, icon[0] - 560)
    right = min(x + w, icon[0] + 40)
    subprocess.run(["convert", str(shot), "-crop", f"{right - left}x36+{left}+{icon[1] - 6}",
                    "+repage", "-scale", "200%", str(target)], check=True)


def main():
    source, build = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    work = Path(sys.argv[3])
    screenshot = sys.argv[5] if len(sys.argv) > 5 and sys.argv[4] == "--screenshot" else None
    probe = str(build / "bin" / "kicad_probe")

    def body(session):
        start = time.monotonic()
        plugin_run(session, source, build, work.resolve(), probe, screenshot)
        print(f"plugin e2e: {time.monotonic() - start:.1f} s")

    return run_on_desktop("plugin e2e", work, ("pcbnew", "make"), body, LiveSession, SCREEN)


if __name__ == "__main__":
    sys.exit(main())
