#!/usr/bin/env bash
# Debian roots made with mmdebstrap, for running another Debian's programs (another KiCad) under
# bwrap. Sourced by the scripts that need roots; run directly it makes one:
#
#   scripts/debian-root.sh NAME SUITE [PACKAGE,PACKAGE...]
#
# With DEBIAN_ROOT_KEEP_LISTS=1 the root keeps apt's package lists, so that a package can be
# installed into a copy of it straight away.
#
# A root lives in $BITLAY_ROOTS (default ~/.cache/bitlay/roots) as NAME. It is made beside it as
# NAME.making-XXXXXX and renamed to NAME only once mmdebstrap has finished, so a root under its
# own name is always whole. A root that cannot be made leaves the reason in NAME.unavailable.
#
# mmdebstrap (as root) mounts /proc, /dev and /sys inside the folder it fills while it runs, and a
# run that is killed can leave those mounts behind. So nothing here ever deletes a root or a
# half-made one: a left-over NAME.making-* is named, and the next run makes a new one beside it.

# The folder that holds the roots.
debian_roots_dir() {
  echo "${BITLAY_ROOTS:-${XDG_CACHE_HOME:-$HOME/.cache}/bitlay/roots}"
}

# The Debian archive the system's own apt sources use.
debian_archive_uri() {
  local uri
  uri=$(grep -hs '^URIs:' /etc/apt/sources.list.d/debian.sources | awk '$2 !~ /security/ {print $2; exit}')
  [[ -n "$uri" ]] || uri=$(awk '$1 == "deb" { sub(/\[[^]]*\]/, ""); if ($2 !~ /security/) {
      print $2; exit } }' /etc/apt/sources.list 2>/dev/null)
  [[ -n "$uri" ]] || uri=http://deb.debian.org/debian
  echo "$uri"
}

# make_debian_root NAME SUITE [PACKAGES]: makes the root NAME of Debian SUITE with the
# comma-separated PACKAGES (and what they depend on, without recommends), unless it is there.
# Returns 0 when the root is there, 1 with the reason in NAME.unavailable otherwise.
make_debian_root() {
  local name=$1 suite=$2 packages=${3:-}
  local dir root why log
  dir=$(debian_roots_dir)
  root=$dir/$name
  why=$dir/$name.unavailable
  log=$dir/$name.log
  [[ -d "$root" ]] && return 0
  mkdir -p "$dir" || return 1

  (
    # One maker per root at a time; a second one waits and then finds the root made.
    exec 9>"$dir/$name.lock"
    flock 9
    [[ -d "$root" ]] && exit 0

    unavailable() {
      echo "$*" >"$why"
      echo "debian-root: $name: $*" >&2
      exit 1
    }
    local left
    for left in "$dir/$name".making-*; do
      [[ -d "$left" ]] || continue
      echo "debian-root: $left was left by an interrupted run; remove it by hand once" \
        "'findmnt -R $left' lists nothing" >&2
    done

    command -v mmdebstrap >/dev/null || unavailable "mmdebstrap is not installed"
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    local uri release
    uri=$(debian_archive_uri)
    # A quick look first: without the archive, mmdebstrap would take longer to say so.
    release=$(mktemp)
    if ! /usr/lib/apt/apt-helper -o Acquire::Retries=0 -o Acquire::http::Timeout=15 \
      download-file "$uri/dists/$suite/Release" "$release" >"$log" 2>&1; then
      rm -f "$release"
      unavailable "the package archive $uri does not serve Debian $suite:" \
        "$(grep -m1 '^E:' "$log" || tail -n1 "$log")"
    fi
    rm -f "$release"

    local partial
    partial=$(mktemp -d "$dir/$name.making-XXXXXX") || unavailable "cannot make a folder in $dir"
    chmod 755 "$partial"
    echo "debian-root: making $name (Debian $suite${packages:+ with $packages}) in $dir;" \
      "the first time takes a few minutes" >&2
    local include=()
    [[ -z "$packages" ]] || include=(--include="$packages")
    [[ "${DEBIAN_ROOT_KEEP_LISTS:-}" != 1 ]] || include+=(--skip=cleanup/apt/lists)
    if ! $sudo mmdebstrap --variant=apt --aptopt='APT::Install-Recommends "false"' \
      --aptopt='Acquire::Check-Valid-Until "false"' "${include[@]}" "$suite" "$partial" \
      "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main" \
      >>"$log" 2>&1; then
      unavailable "mmdebstrap could not make Debian $suite${packages:+ with $packages}" \
        "(see $log): $(grep -m1 '^E:' "$log" || tail -n1 "$log")"
    fi
    mv -T "$partial" "$root" || unavailable "cannot rename $partial to $root"
    rm -f "$why"
    echo "debian-root: $name is ready" >&2
  )
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -uo pipefail
  if (($# < 2)); then
    echo "usage: $0 NAME SUITE [PACKAGE,PACKAGE...]" >&2
    exit 2
  fi
  make_debian_root "$@"
fi
