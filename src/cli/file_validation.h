// Structural validation of the user files and LMR files, and the dry run's
// closing re-verification of every snapshot.
#pragma once

#include "base/paths.h"
#include "base/run_counters.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"

// Prints the FILE VALIDATION section; sets userRecords and builds the inventory.
bool ValidateDatabaseFiles(const RunPaths* paths, RunCounters* counters, LmrInventory* inventory);

// Dry run: every baseline snapshot again, then the caller check. Prints and counts.
void VerifyReadOnlySnapshots(const LiveSnapshots* live, const LmrInventory* inventory,
                             const char* whosOnPath, RunCounters* counters);
