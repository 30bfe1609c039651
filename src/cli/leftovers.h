// What earlier runs left beside the database and under the backup root.
#pragma once

#include "base/paths.h"
#include "base/run_counters.h"
#include "base/run_options.h"

// Stale staged files (*.QVCNEW) in WORK and MESSAGE, and incomplete backups under
// the backup root this run uses: each kind one short block, printed only when
// found. Called with the lock held, so that no run of ours is making them now,
// once the database files passed validation. A listing that fails is a warning.
void ReportEarlierLeftovers(const RunPaths* paths, const RunOptions* options,
                            RunCounters* counters);

// One "Left behind:" line for every staged file (*.QVCNEW) in WORK and MESSAGE,
// for the end of a restore, once its own staged files are gone.
void NameStagedLeftovers(const RunPaths* paths);
