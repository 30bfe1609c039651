#!/usr/bin/env bash
# Checks that each Windows EXE imports nothing but system DLLs.
set -eu
allowed='^(KERNEL32|msvcrt|USER32|ADVAPI32|api-ms-win-crt-.*|ucrtbase)\.dll$'
status=0
for exe in "$@"; do
  dlls=$(objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  for dll in $dlls; do
    if ! [[ "$dll" =~ $allowed ]]; then
      echo "$exe imports a non-system DLL: $dll" >&2
      status=1
    fi
  done
  echo "$exe: $(stat -c %s "$exe") bytes; imports: $(echo $dlls)"
done
exit $status
