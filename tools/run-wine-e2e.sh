#!/usr/bin/env bash
# Runs the end-to-end scenarios against a Windows EXE under Wine.
set -eu
wine=$1 exe=$2 tests=$3
prefix=$(mktemp -d /tmp/qvculldb-wine.XXXXXX)
trap 'wineserver_kill; rm -rf "$prefix"' EXIT
wineserver_kill() { WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; }
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >/dev/null 2>&1 || true
QV_PROGRAM=$(realpath "$exe") QV_RUNNER=$wine "$tests" --gtest_brief=1
