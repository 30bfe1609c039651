#!/usr/bin/env bash
# Generates a sample BBS under demo/, runs a preview and then a real pack on it, and checks
# the backup the pack made with the restore program.
set -u
build=${1:-build}
here=$(pwd)
bbs=$here/demo/bbs
rm -rf "$here/demo"
"$build/qvsample" --users=300 --conferences=4 --deleted=5 --allow-purge=60 --old=12 --old-days=400 \
  --security=10,20,30,40,50,60,70,80,90,100 --purged-log "$bbs" || exit 1
cd "$bbs" || exit 1
users_before=$(( $(stat -c %s WORK/QVUSERS.DAT) / 315 ))

echo
echo "=== Preview: QVCULLDB.EXE /SEC=20 /OLD=400 /DRYRUN ==="
"$here/$build/qvculldb" /SEC=20 /OLD=400 /DRYRUN
echo "(preview exit code $?: 1 means candidates were found)"

echo
echo "=== Real pack: QVCULLDB.EXE /SEC=20 /OLD=400 ==="
"$here/$build/qvculldb" /SEC=20 /OLD=400
status=$?
echo "(write exit code $status)"

users_after=$(( $(stat -c %s WORK/QVUSERS.DAT) / 315 ))
echo
echo "=== Result ==="
echo "Users before the pack: $users_before"
echo "Users after the pack:  $users_after"
echo "Backup directory:      $(ls -d "$bbs"/QVCULLDB-BACKUPS/*/ 2>/dev/null | tail -n 1)"
echo "Run report:            $bbs/QVCULLDB32_REPORT.TXT"
echo
echo "=== The audit log's new block (WORK/QVPURGED.USR) ==="
block=$(tr -d '\r' < WORK/QVPURGED.USR | awk '/^QVCULLDB32 .* packed on/{block=""} {block=block $0 "\n"} END{printf "%s", block}')
lines=$(printf '%s\n' "$block" | wc -l)
printf '%s\n' "$block" | head -n 40
[ "$lines" -gt 40 ] && echo "... and $((lines - 40)) more line(s): the whole block is in $bbs/WORK/QVPURGED.USR"

backup=$(ls -d QVCULLDB-BACKUPS/*/ 2>/dev/null | tail -n 1)
echo
echo "=== The backup checked: QVRESTORE.EXE /CHECK=${backup%/} ==="
"$here/$build/qvrestore" "/CHECK=${backup%/}" | sed -n '/BACKUP CHECK/,/^Backup check:/p'
check=${PIPESTATUS[0]}
echo "(check exit code $check: 0 means the backup restores a complete, matched set)"
[ "$status" -eq 0 ] && status=$check
exit $status
