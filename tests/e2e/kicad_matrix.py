"""The KiCads the tests run against, as tests/dbx-kicad/kicad_matrix.h has them for the C++ tests:
the host's own, and others installed in Debian roots that scripts/kicad-roots makes (in
$BITLAY_ROOTS, default ~/.cache/bitlay/roots), entered with bwrap."""

import os
import re
import shutil
import subprocess
from pathlib import Path

NAMES = ("host", "trixie", "sid")


def roots_folder():
    if os.environ.get("BITLAY_ROOTS"):
        return Path(os.environ["BITLAY_ROOTS"])
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(cache) / "bitlay" / "roots"


def package_version(root=None):
    """KiCad's package version in the dpkg database of `root` (the host's without it)."""
    command = ["dpkg-query"]
    if root is not None:
        command.append(f"--admindir={root / 'var/lib/dpkg'}")
    try:
        out = subprocess.run(command + ["-W", "-f=${Version}", "kicad"], capture_output=True,
                             text=True)
    except OSError:
        return ""
    return out.stdout if out.returncode == 0 else ""


def upstream_version(package):
    """'1:9.0.8+dfsg-1~bpo12+1' -> '9.0.8'."""
    match = re.match(r"(?:\d+:)?([0-9.]*)", package)
    return match.group(1) if match else ""


class Kicad:
    """One KiCad of the matrix: its name, version, the root it is installed in (None for the host's
    own) and why it cannot run here (empty when it can)."""

    def __init__(self, name, root=None, version="", unavailable=""):
        self.name, self.root, self.version, self.unavailable = name, root, version, unavailable

    @property
    def config_version(self):
        """The folder its settings are read from, under ~/.config/kicad: '9.0', '10.0'."""
        parts = self.version.split(".")
        return ".".join(parts[:2]) if len(parts) >= 2 else "9.0"

    def prefix(self, folder, **env):
        """The words that run a program in this KiCad with `env` set: `env` and the settings for
        the host; for a root, bwrap into it with X's sockets and `folder` bound (at the same
        paths), dying with its parent. Killing the first process ends the program."""
        words = []
        if self.root is not None:
            # A tmpfs on /tmp takes the mount points of the binds, so nothing is written into the
            # root.
            words = ["bwrap", "--bind", str(self.root), "/", "--proc", "/proc", "--dev", "/dev",
                     "--ro-bind", "/sys", "/sys", "--tmpfs", "/tmp",
                     "--bind-try", "/tmp/.X11-unix", "/tmp/.X11-unix",
                     "--bind", str(folder), str(folder), "--die-with-parent"]
        if env or words:
            words += ["env"] + [f"{key}={value}" for key, value in env.items()]
        return words


def kicad_named(name):
    """The KiCad of that name, with the reason it cannot run here when it cannot. The host's own
    is never unavailable: without KiCad installed its tests fail."""
    host_package = package_version()
    if name == "host":
        return Kicad(name, version=upstream_version(host_package))
    if name not in NAMES:
        return Kicad(name, unavailable=f'no KiCad of the matrix is named "{name}"')
    root = roots_folder() / name
    if not root.is_dir():
        why = Path(f"{root}.unavailable")
        if why.exists():
            reason = next(iter(why.read_text().splitlines()), "")
            return Kicad(name, root, unavailable=f"its Debian root {root} could not be made: "
                                                 f"{reason}")
        return Kicad(name, root, unavailable=f"its Debian root {root} is not made yet "
                                             "(scripts/kicad-roots makes it)")
    if not shutil.which("bwrap"):
        return Kicad(name, root, unavailable="bwrap is not installed")
    package = package_version(root)
    kicad = Kicad(name, root, upstream_version(package))
    if not package:
        kicad.unavailable = f"its Debian root {root} holds no KiCad"
    elif package == host_package:
        kicad.unavailable = f"its KiCad {package} is the host's own, tested as host"
    return kicad
