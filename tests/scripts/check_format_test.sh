#!/usr/bin/env bash
# scripts/check-format over a source tree of the test's own: a misformatted file fails the check
# and is named, --fix mends it, and a clang-format of another major version, which breaks lines
# differently, cannot check and fails, saying so.
set -euo pipefail
check=$1
project=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
expect() {  # expect DESCRIPTION STATUS OUTPUT_PATTERN -- COMMAND...
  local what=$1 status=$2 pattern=$3
  shift 4
  local out rc=0
  out=$("$@" 2>&1) || rc=$?
  if [[ $rc -ne $status ]] || ! grep -q -- "$pattern" <<<"$out"; then
    echo "FAILED: $what (exit $rc, wanted $status and /$pattern/):"
    echo "$out"
    failed=1
  else
    echo "ok: $what"
  fi
}

cp "$project/.clang-format" "$work/"
mkdir -p "$work/app"
printf 'int   f( int x ){return x;}\n' >"$work/app/bad.cpp"

if ! command -v clang-format-19 >/dev/null; then
  echo "check-format test: skipped, clang-format-19 is not installed"
  exit 77
fi
expect "a misformatted file fails and is named" 1 "not formatted: app/bad.cpp" -- "$check" "$work"
expect "--fix formats it" 0 "" -- "$check" --fix "$work"
expect "then the check passes" 0 "1 files formatted" -- "$check" "$work"

# Another major version: a stand-in that says it is 14 and would report every file.
cat >"$work/clang-format-14" <<'TOOL'
#!/bin/sh
[ "$1" = --version ] && { echo "Debian clang-format version 14.0.6"; exit 0; }
exit 1
TOOL
chmod +x "$work/clang-format-14"
printf 'int   g( ){return 0;}\n' >"$work/app/bad.cpp"
expect "another version fails, saying it cannot check" 1 "cannot check: .* is version 14" -- \
  env CLANG_FORMAT="$work/clang-format-14" "$check" "$work"
expect "a missing tool fails" 1 "is not installed" -- \
  env CLANG_FORMAT="$work/no-such-clang-format" "$check" "$work"
exit $failed
