// Structural validation of the user files and LMR files, and the dry run's
// closing re-verification of every snapshot.
#pragma once

#include "base/paths.h"
#include "base/run_counters.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"

// Prints the FILE VALIDATION section; sets userRecords, builds the inventory and
// takes the user files' snapshots with the LMR files' (live->usersDat, usersPtr).
bool ValidateDatabaseFiles(const RunPaths* paths, RunCounters* counters, LmrInventory* inventory,
                           LiveSnapshots* live);

// Dry run: every baseline snapshot again (a file whose settled stamp has not
// moved is not read again), then the caller check. Prints and counts.
void VerifyReadOnlySnapshots(LiveSnapshots* live, LmrInventory* inventory,
                             const char* whosOnPath, RunCounters* counters);

// A live file a run replaces must be a regular file with one name: renaming a
// new file over a link would turn the link into a file and leave its target
// stale, and a second hard link would keep the old bytes. Reports and counts a
// link, a second name, or a name that cannot be examined.
bool CheckNotLink(const char* path, const char* name, RunCounters* counters);

// A file the run replaces when it exists and creates when it does not (the audit
// log): absent, or a regular file with one name. Reports and counts a link, a
// second name, a directory, a FIFO, device or socket, or a name that cannot be examined.
bool CheckRegularOrAbsent(const char* path, const char* name, RunCounters* counters);
