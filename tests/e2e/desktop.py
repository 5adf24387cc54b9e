#!/usr/bin/env python3
"""A desktop of its own for the end-to-end tests: an Xvfb server with openbox, a person's clicks and
keys through xdotool, and Bitlay started, found and picked from as a person does it."""

import os
import re
import shutil
import struct
import subprocess
import time

SKIP = 77
CAPTION = "Bitlay Picture. - Corvane Systems - Rev : 2.0"
WAIT_ROLE = "bitlay-wait"  # the X11 role of the window that says Bitlay waits for the editor

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

    def is_wait_window(self, window):
        """Whether a window titled "Bitlay" is the start-up's wait for the editor (its X11 role
        tells it from the start-up message box)."""
        out = subprocess.run(["xprop", "-display", self.display.name, "-id", window,
                              "WM_WINDOW_ROLE"], capture_output=True, text=True).stdout
        return f'"{WAIT_ROLE}"' in out

    def message_boxes(self):
        """Bitlay's start-up message boxes on screen."""
        return [window for window in self.visible_windows("^Bitlay$")
                if not self.is_wait_window(window)]

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


def quit_bitlay(session, window, process):
    """Quit, as a person ends Bitlay; it must end with status 0."""
    session.click(window, COMMAND2)
    status = process.wait(15)
    if status != 0:
        raise StepFailed(f"bitlay ended with status {status}")


def bitlay_window(session, process, seconds=20.0):
    """Bitlay's window once it is shown. A Bitlay that ends instead, or shows its start-up message
    box (the design could not be attached), is reported as soon as that is seen; meanwhile it may
    say that it waits for the editor."""
    def probe():
        found = session.visible_windows(CAPTION)
        if found:
            return found[0]
        if session.message_boxes():
            raise StepFailed("Bitlay shows its start-up message box instead of its window: the "
                             "design could not be attached")
        if process.poll() is not None:
            raise StepFailed(f"bitlay ended with status {process.returncode}: "
                             f"{process.log_path.read_text().strip()}")
        return None
    return poll(f"a window named {CAPTION!r}", probe, seconds)


class Window:
    """Bitlay's window, driven through its controls; what it already holds is not done again.
    Each action is one xdotool run, its pointer moves synchronous: Bitlay takes the input in
    order, after a transfer that is still running, so only the swatch is waited for. `layers`
    are the design's layers in the order the layer list shows them."""

    def __init__(self, session, window, layers):
        self.session, self.window, self.layers = session, window, layers
        self.picture = self.colour = self.chosen = None
        self.texts = {}

    def click_then(self, point, *more):
        self.session.xdo("mousemove", "--window", self.window, "--sync", str(point[0]),
                         str(point[1]), "click", "1", *more)

    def load(self, picture):
        if picture == self.picture:
            return
        self.click_then(COMMAND1)
        # From the second Load on, the last picture's name is selected: typing replaces it.
        self.session.choose_file(picture, select_all=False)
        self.picture, self.colour = picture, None

    def pick(self, pixel, colour):
        if (pixel, colour) == self.colour:
            return
        self.click_then((PICTURE1_CLIENT[0] + pixel[0], PICTURE1_CLIENT[1] + pixel[1]))
        poll(f"the swatch to show {colour}",
             lambda: self.session.pixel(self.window, SWATCH) == colour, 60, 0.1)
        self.colour = (pixel, colour)

    def choose_layer(self, name):
        self.choose_layers([name])

    def choose_layers(self, names):
        """From the keyboard: the first layer with the arrows, each further one with Ctrl+arrows,
        which move without choosing, and Ctrl+Space, which adds."""
        if names != self.chosen:
            rows = [self.layers.index(name) for name in names]
            keys = ["Home", *["Down"] * rows[0]]
            for before, row in zip(rows, rows[1:]):
                keys += ["ctrl+Down"] * (row - before) + ["ctrl+space"]
            self.click_then((LIST2[0] + 20, LIST2[1] + 8), "key", *keys)
            self.chosen = names

    def type(self, box, text):
        if self.texts.get(box) != text:
            self.click_then(box, "key", "ctrl+a", "type", "--delay", "10", "--", text)
            self.texts[box] = text


def pick_and_check(session, window, colour):
    """One click on the picture's point (4, 4), then the swatch must show that point's colour."""
    session.click(window, (PICTURE1_CLIENT[0] + 4, PICTURE1_CLIENT[1] + 4))
    try:
        poll(f"the swatch to show {colour}", lambda: session.pixel(window, SWATCH) == colour, 10)
    except StepFailed:
        shown = session.pixel(window, SWATCH)
        raise StepFailed(f"after one click on the picture the swatch shows {shown}, not {colour}")


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
