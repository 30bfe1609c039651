#!/usr/bin/env bash
# Runs the Windows unit tests and the end-to-end scenarios (or the fault sweeps)
# against a Windows EXE under Wine, in a prefix of the given architecture (win32
# or win64) kept beside the EXE (or at QV_WINE_PREFIX), so that it is made once per
# build tree. Arguments after the unit tests' directory (may be "") go to the tests.
set -eu
wine=$1 arch=$2 exe=$3 tests=$4 unit_dir=${5:-}
shift $(($# < 5 ? $# : 5))
prefix=${QV_WINE_PREFIX:-$(realpath "$(dirname "$exe")")/wine-prefix}
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A kernel built without 32-bit support cannot start the 32-bit Wine at all
# ("Exec format error"): say so plainly and skip, unless the run must have it.
if ! "$wine" --version >/dev/null 2>&1; then
  echo "== SKIPPED: $wine cannot run on this machine ($("$wine" --version 2>&1 | head -1))."
  echo "== $exe was built and its imports checked, but not run here."
  [ "${QV_REQUIRE_WINE:-0}" = 1 ] && exit 1
  exit 0
fi
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# A new prefix goes on updating itself after wineboot returns; a program started
# meanwhile may fail at once, so wait until the server has nothing left to do.
"$wine" wineboot --init >/dev/null 2>&1 || true
wineserver -w
[ -d "$prefix" ] || { echo "== $wine did not make the Wine prefix $prefix" >&2; exit 1; }
# One server for the whole run: a server that ends after its idle seconds while
# the next program connects resets that program's connection.
wineserver -p
if [ -n "$unit_dir" ]; then
  for unit in "$unit_dir"/*.exe; do
    echo "== $(basename "$unit") under Wine ($arch)"
    "$wine" "$unit" --gtest_brief=1 | tr -d '\r'
    [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
  done
fi
echo "== $(basename "$tests") against $exe under Wine ($arch)"
QV_PROGRAM=$(realpath "$exe") QV_RUNNER=$wine "$tests" --gtest_brief=1 "$@"
