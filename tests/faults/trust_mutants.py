# Planted faults in who the backup trust lets change a backup (Windows owners and access lists,
# judged by pure code the native tests run) and in the live files judged unchanged by their
# stamps at the final gate and after a preview's scan. For ../shared/tools/mutate.py.
MUTANTS = [
    ("dacl-change-rights-ignored", "src/platform/platform_common.cpp",
     "if (!rule.allows || rule.inheritOnly || (rule.mask & kChangeRights) == 0) continue;",
     "continue;",
     "a backup root Everyone may modify is trusted: another account swaps the pre-pack copy"),
    ("dacl-owner-unchecked", "src/platform/platform_common.cpp",
     "if (!PrincipalTrusted(entry.owner, runningUser, accounts)) {", "if (false) {",
     "a folder another account owns, and may re-grant itself, holds the backup"),
    ("dacl-null-list-trusted", "src/platform/platform_common.cpp",
     "  if (!entry.hasList) {\n    if (PrincipalTrusted(kEveryone",
     "  if (false) {\n    if (PrincipalTrusted(kEveryone",
     "a folder without an access list, open to everyone, holds the backup"),
    ("dacl-inherit-only-counted-as-trusted", "src/platform/platform_common.cpp",
     "    if (rule.allows && !rule.inheritOnly && (rule.mask & kWriteRights) != 0) {",
     "    if (rule.allows && (rule.mask & kWriteRights) != 0) {",
     "a principal that may only write what is made inside the home counts as a writer of "
     "QVUSERS.DAT, and may then change the backup"),
    ("gate-trusts-any-stamp", "src/safety/snapshot_checks.cpp",
     "check.expected->ok && StampStillSettled(path, *check.seen);", "check.expected->ok;",
     "a file written between the scan and the commit is packed from stale records"),
    ("unsettled-stamp-vouches", "src/safety/file_snapshot.cpp",
     "return lastRead.taken && lastRead.settled && platform::StampPath(path, &now) == 0 &&",
     "return lastRead.taken && platform::StampPath(path, &now) == 0 &&",
     "a write in the clock tick of the snapshot goes unseen at the gate"),
]
