#!/usr/bin/env python3
"""Installs Bitlay's Debian package as a user of a fresh Debian would, and starts it. The package
is made from the build as `make package` makes it and checked by lintian; a copy of a plain root
of this machine's Debian release gets it with `apt-get install ./bitlay_….deb` (its dependencies
from the archive, no recommended packages); then, run in that root with bwrap on this test's X
server, `bitlay` must show its window with the stand-in library loaded from /usr/lib/bitlay, and
the KiCad plugin's launcher, started as KiCad starts it for a KiCad that has gone, must make
Bitlay say so in its message box instead of opening a board file. The desktop entry must pass
desktop-file-validate.

Usage: bitlay_package_e2e.py BUILD_DIR WORK_DIR
Exit status 0 on success, 1 on a failed step, 77 when no root, no X server or a tool is missing.
"""

import contextlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from desktop import CAPTION, SKIP, StepFailed, quit_bitlay, run, run_on_desktop  # noqa: E402
from debian_root import ROOTS, RootUnavailable, host_suite, plain_root  # noqa: E402

TOOLS = ("cpack", "dpkg-shlibdeps", "lintian", "desktop-file-validate", "mmdebstrap", "bwrap")


def mounts_under(path):
    """Mount points at or below `path`, as this machine has them."""
    prefix = str(path.resolve())
    with open("/proc/self/mounts") as mounts:
        points = [line.split()[1].replace("\\040", " ") for line in mounts]
    return [p for p in points if p == prefix or p.startswith(prefix + "/")]


def make_package(build, work):
    """What `make package` runs, into a folder of the test's own."""
    out = work / "package"
    done = subprocess.run(["cpack", "-G", "DEB", "-B", str(out)], cwd=build, capture_output=True,
                          text=True, timeout=600)
    debs = sorted(out.glob("bitlay_*_amd64.deb"))
    if done.returncode != 0 or len(debs) != 1:
        raise StepFailed(f"cpack made no package: {done.stdout}{done.stderr}")
    return debs[0]


class Sandbox:
    """A copy of a plain root, run with bwrap: this machine's kernel, X server and the test's
    folder; nothing is mounted outside bwrap's own namespace."""

    def __init__(self, plain, work, display):
        self.work = work
        self.root = work / "root"
        self.display = display
        self.copying = subprocess.Popen(["cp", "-a", "--reflink=auto", str(plain), str(self.root)])
        # Packages downloaded once are kept beside the plain roots, not in the copy.
        self.archives = ROOTS / "apt-archives"
        (self.archives / "partial").mkdir(parents=True, exist_ok=True)

    def wait_copied(self):
        if self.copying.wait() != 0:
            raise StepFailed("the plain root could not be copied")

    def command(self, *args, env=None):
        binds = ["--bind", str(self.root), "/", "--proc", "/proc", "--dev", "/dev",
                 "--ro-bind", "/sys", "/sys", "--bind", "/tmp/.X11-unix", "/tmp/.X11-unix",
                 "--bind", str(self.work), str(self.work),
                 "--bind", str(self.archives), "/var/cache/apt/archives",
                 "--ro-bind", "/etc/resolv.conf", "/etc/resolv.conf",
                 "--chdir", str(self.work / "run"), "--die-with-parent"]
        variables = ["env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8",
                     f"HOME={self.work / 'home'}", f"TMPDIR={self.work / 'tmp'}"]
        variables += [f"{name}={value}" for name, value in (env or {}).items()]
        return ["bwrap", *binds, *variables, *args]

    def run(self, *args, timeout=600):
        done = subprocess.run(self.command(*args), capture_output=True, text=True,
                              timeout=timeout)
        if done.returncode != 0:
            raise StepFailed(f"{' '.join(args)} in the root failed: {done.stdout}{done.stderr}")
        return done.stdout

    def start(self, log, *args, **env):
        return subprocess.Popen(self.command(*args, env=dict(DISPLAY=self.display, **env)),
                                stdout=log, stderr=subprocess.STDOUT)

    def remove(self):
        if self.copying.poll() is None:
            self.copying.kill()
        self.copying.wait()
        if not self.root.exists():
            return
        if mounts_under(self.root):
            raise StepFailed(f"something is mounted under {self.root}; it is left as it is")
        shutil.rmtree(self.root)


def install(sandbox, deb):
    apt = ["apt-get", "install", "-y", "-q", "--no-install-recommends",
           "-o", "Acquire::Check-Valid-Until=false", "-o", "APT::Sandbox::User=root",
           # The copy is thrown away after the test: no need to wait for the disk.
           "-o", "Dpkg::Options::=--force-unsafe-io"]
    try:
        sandbox.run(*apt, str(deb))
    except StepFailed:
        # The root's package lists may be older than the archive.
        sandbox.run("apt-get", "update", "-q", "-o", "Acquire::Check-Valid-Until=false",
                    "-o", "APT::Sandbox::User=root")
        sandbox.run(*apt, str(deb))


@contextlib.contextmanager
def started(sandbox, log_path, who, *command, **env):
    """`command` running in the sandbox, its output in `log_path`: a failing step quotes what
    `who` said, and the program is killed if it is still running afterwards."""
    with open(log_path, "w") as log:
        process = sandbox.start(log, *command, **env)
        try:
            yield process
        except Exception as error:
            raise StepFailed(f"{error}; {who} said: {log_path.read_text()}")
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()


def window_shows(session, sandbox, work):
    """bitlay from the package: its window, the stand-in from the private folder, the default
    board in the working folder; Quit ends it with 0."""
    with started(sandbox, work / "bitlay.log", "bitlay", "bitlay") as process:
        window = session.find_window(CAPTION, 30)
        pid = int(session.xdo("getwindowpid", window).strip())
        maps = Path(f"/proc/{pid}/maps").read_text()
        if "/usr/lib/bitlay/libdbx32.so" not in maps:
            raise StepFailed("bitlay did not load /usr/lib/bitlay/libdbx32.so")
        if not (work / "run" / "untitled.kicad_pcb").exists():
            raise StepFailed("no default board: the stand-in did not attach")
        session.screenshot(work / "installed.png")
        quit_bitlay(session, window, process)


def launcher_reports_a_gone_kicad(session, sandbox, work):
    """The plugin's launcher as KiCad starts it, in its folder, for a KiCad that has quit."""
    (work / "run" / "untitled.kicad_pcb").unlink()
    plugin = "/usr/share/kicad/plugins/bitlay"
    with started(sandbox, work / "launcher.log", "the launcher", "sh", "-c",
                 f"cd {plugin} && exec ./bitlay-kicad",
                 KICAD_API_SOCKET=f"ipc://{work / 'tmp'}/kicad/api.sock",
                 KICAD_API_TOKEN="2b7e1516-28ae-4d2a-a6ab-f7158809cf4f") as process:
        box = session.find_window("^Bitlay$", 30)
        if session.visible_windows(CAPTION):
            raise StepFailed("the main window is shown although the KiCad is gone")
        session.screenshot(work / "gone.png")
        session.xdo("windowfocus", "--sync", box)
        session.xdo("key", "Return")
        status = process.wait(15)
        if status != 1:
            raise StepFailed(f"bitlay ended with status {status}, not 1")
        boards = list(work.glob("*/untitled.kicad_pcb"))
        if boards:
            raise StepFailed(f"a board file was opened instead of the KiCad: {boards}")


def package_run(session, build, work, plain):
    step = "copy the plain root and make the package"
    sandbox = None
    try:
        for folder in ("run", "home", "tmp"):
            (work / folder).mkdir()
        sandbox = Sandbox(plain, work, session.display.name)
        deb = make_package(build, work)
        lintian = subprocess.Popen(["lintian", "--fail-on", "error", str(deb)],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        sandbox.wait_copied()

        step = "apt-get install the package"
        install(sandbox, deb)
        installed = sandbox.root / "usr"
        for path in ("bin/bitlay", "lib/bitlay/libdbx32.so",
                     "share/icons/hicolor/48x48/apps/bitlay.png",
                     "share/icons/hicolor/256x256/apps/bitlay.png",
                     "share/icons/hicolor/scalable/apps/bitlay.svg",
                     "share/kicad/plugins/bitlay/plugin.json", "share/doc/bitlay/copyright",
                     "share/man/man1/bitlay.1.gz"):
            if not (installed / path).exists():
                raise StepFailed(f"the package installed no /usr/{path}")
        # Load reads SVG pictures through Qt's SVG image plugin, which the package depends on.
        if not list(installed.glob("lib/*/qt6/plugins/imageformats/libqsvg.so")):
            raise StepFailed("installing the package brought no Qt SVG image plugin")
        # The window's layout is measured for the Liberation fonts, which the package depends on.
        for font in ("LiberationSerif-Regular.ttf", "LiberationSans-Regular.ttf"):
            if not list(installed.glob(f"share/fonts/truetype/liberation*/{font}")):
                raise StepFailed(f"installing the package brought no {font}")

        step = "validate the desktop entry"
        run("desktop-file-validate", str(installed / "share/applications/bitlay.desktop"))

        step = "start bitlay in the root"
        window_shows(session, sandbox, work)

        step = "start the KiCad plugin's launcher for a KiCad that is gone"
        launcher_reports_a_gone_kicad(session, sandbox, work)

        step = "lintian"
        report, _ = lintian.communicate(timeout=300)
        if lintian.returncode != 0:
            raise StepFailed(f"lintian reports errors:\n{report}")
        warnings = [line for line in report.splitlines() if line.startswith("W: ")]
        print(f"package e2e: {deb.name} installs into a fresh {plain.name} root and runs there; "
              f"lintian: no errors, {len(warnings)} warnings")
    except Exception as error:
        raise StepFailed(f"step '{step}': {error}") from error
    finally:
        if sandbox is not None:
            sandbox.remove()


def main():
    build, work = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    if missing:
        print(f"package e2e: skipped, {', '.join(missing)} not installed")
        return SKIP
    if os.geteuid() != 0:
        print("package e2e: skipped, apt-get inside a root needs root")
        return SKIP
    suite = host_suite()
    if suite is None:
        print("package e2e: skipped, this is not a Debian release with a codename")
        return SKIP
    try:
        plain = plain_root(suite)
    except RootUnavailable as error:
        print(f"package e2e: skipped, no plain {suite} root: {error}")
        return SKIP
    # run_on_desktop starts by deleting the test's folder: it must hold no mount.
    if work.exists() and mounts_under(work):
        print(f"package e2e: FAILED, something is mounted under {work}")
        return 1
    return run_on_desktop("package e2e", work, (), lambda session: package_run(
        session, build, work, plain))


if __name__ == "__main__":
    sys.exit(main())
