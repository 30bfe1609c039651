// The verified backup made before any live file is replaced.
#pragma once

#include <cstdio>
#include <ctime>

#include "base/run_counters.h"
#include "base/run_options.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

// Creates path, accepting one that exists already.
bool EnsureDirectory(const char* path);

// Makes and verifies the timestamped backup; sets backupDirPath and backupDone.
bool CreateVerifiedBackup(const char* homeDir, const char* whosOnPath,
                          const LiveSnapshots* live, const LmrInventory* inventory,
                          const RunOptions* options, const struct tm* startTime,
                          PackContext* pack, RunCounters* counters);
