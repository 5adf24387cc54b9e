"""Plain Debian roots for the tests, made once with mmdebstrap into a cache folder outside the build
tree and kept there: nothing but Debian's required packages and apt, with apt's package lists, so
that a test can install a package into a copy of one. A root is made under a temporary name and
renamed when complete, so a root found under its own name is whole.

plain_root(suite) -> Path of the root, or raises RootUnavailable saying why it cannot be made.
"""

import os
import shutil
import subprocess
from pathlib import Path

ROOTS = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "bitlay" / "roots"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


class RootUnavailable(Exception):
    pass


def archive_uri():
    """The Debian archive the system itself uses."""
    sources = Path("/etc/apt/sources.list.d/debian.sources")
    if sources.exists():
        for line in sources.read_text().splitlines():
            if line.startswith("URIs:"):
                return line.split()[1]
    listing = Path("/etc/apt/sources.list")
    if listing.exists():
        for line in listing.read_text().splitlines():
            words = line.split()
            if len(words) > 2 and words[0] == "deb" and not words[1].startswith("["):
                return words[1]
    return "http://deb.debian.org/debian"


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
    root = ROOTS / f"{suite}-plain"
    if (root / "usr" / "bin" / "apt-get").exists():
        return root
    for tool in ("mmdebstrap", "bwrap"):
        if not shutil.which(tool):
            raise RootUnavailable(f"{tool} is not installed")
    if not Path(KEYRING).exists():
        raise RootUnavailable(f"no {KEYRING}")
    if os.geteuid() != 0:
        raise RootUnavailable("making a Debian root with apt inside needs root")
    ROOTS.mkdir(parents=True, exist_ok=True)
    # A folder of its own for each attempt: what an interrupted attempt left is never deleted
    # here, since mmdebstrap may have had file systems mounted inside it.
    partial = ROOTS / f"{suite}-plain.new-{os.getpid()}"
    log = ROOTS / f"{suite}-plain.log"
    with open(log, "w") as out:
        made = subprocess.run(
            ["mmdebstrap", "--variant=apt", "--skip=cleanup/apt/lists",
             "--aptopt=Acquire::Check-Valid-Until \"false\"", suite, str(partial),
             f"deb [signed-by={KEYRING}] {archive_uri()} {suite} main"],
            stdout=out, stderr=subprocess.STDOUT, timeout=1800)
    if made.returncode != 0:
        raise RootUnavailable(f"mmdebstrap failed, see {log}")
    partial.rename(root)
    return root
