"""Plain Debian roots for the tests, made once by scripts/debian-root.sh into the cache folder of
the KiCad roots and kept there: nothing but Debian's required packages and apt, with apt's package
lists, so that a test can install a package into a copy of one. A root is made under a temporary
name and renamed when complete, so a root found under its own name is whole.

plain_root(suite) -> Path of the root, or raises RootUnavailable saying why it cannot be made.
"""

import os
import subprocess
from pathlib import Path

from kicad_matrix import roots_folder

ROOTS = roots_folder()
MAKER = Path(__file__).resolve().parents[2] / "scripts" / "debian-root.sh"


class RootUnavailable(Exception):
    pass


def host_suite():
    """The codename of the running Debian release ("bookworm"), or None."""
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"') or None
    except OSError:
        pass
    return None


def plain_root(suite):
    """Made by scripts/debian-root.sh, as the KiCad roots are, with apt's package lists kept."""
    name = f"{suite}-plain"
    root = ROOTS / name
    if (root / "usr" / "bin" / "apt-get").exists():
        return root
    if os.geteuid() != 0:
        raise RootUnavailable("making a Debian root with apt inside needs root")
    made = subprocess.run(["bash", str(MAKER), name, suite], capture_output=True, text=True,
                          env=dict(os.environ, BITLAY_ROOTS=str(ROOTS), DEBIAN_ROOT_KEEP_LISTS="1"),
                          timeout=1800)
    if made.returncode != 0 or not root.is_dir():
        why = ROOTS / f"{name}.unavailable"
        reason = why.read_text().strip() if why.exists() else made.stderr.strip()
        raise RootUnavailable(reason or "scripts/debian-root.sh could not make it")
    return root
