#!/usr/bin/env bash
# Runs the Windows unit tests and the end-to-end scenarios against a Windows EXE
# under Wine.
set -eu
wine=$1 exe=$2 tests=$3 unit_dir=${4:-}
prefix=$(mktemp -d /tmp/qvculldb-wine.XXXXXX)
trap 'wineserver_kill; rm -rf "$prefix"' EXIT
wineserver_kill() { WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; }
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >/dev/null 2>&1 || true
if [ -n "$unit_dir" ]; then
  for unit in "$unit_dir"/*.exe; do
    echo "== $(basename "$unit") under Wine"
    "$wine" "$unit" --gtest_brief=1 | tr -d '\r'
    [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
  done
fi
echo "== end-to-end scenarios against $exe under Wine"
QV_PROGRAM=$(realpath "$exe") QV_RUNNER=$wine "$tests" --gtest_brief=1
