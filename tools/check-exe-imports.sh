#!/usr/bin/env bash
# Checks that each Windows EXE imports nothing but system DLLs, and that it holds
# no fault injection (its rule variables and functions), which only the test
# builds have: with --faults first, each EXE must hold it instead.
set -eu
allowed='^(KERNEL32|msvcrt|USER32|ADVAPI32|api-ms-win-crt-.*|ucrtbase)\.dll$'
faults=0
if [ "${1:-}" = --faults ]; then faults=1; shift; fi
status=0
for exe in "$@"; do
  dlls=$(objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  for dll in $dlls; do
    if ! [[ "$dll" =~ $allowed ]]; then
      echo "$exe imports a non-system DLL: $dll" >&2
      status=1
    fi
  done
  injection=0
  if grep -aq QVF_RULE "$exe" || objdump -t "$exe" | grep -q win32_faults; then injection=1; fi
  if [ "$injection" != "$faults" ]; then
    [ "$faults" = 1 ] && echo "$exe holds no fault injection" >&2
    [ "$faults" = 0 ] && echo "$exe holds fault injection, which no shipped EXE may" >&2
    status=1
  fi
  echo "$exe: $(stat -c %s "$exe") bytes; imports: $(echo $dlls); fault injection: $injection"
done
exit $status
