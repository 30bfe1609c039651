// What earlier runs left beside the database and under the backup root.
#pragma once

#include "base/paths.h"
#include "base/run_counters.h"
#include "base/run_options.h"

#include "backup/verified_backup.h"

// One thing an earlier run left: a staged file or an incomplete backup.
struct Leftover {
  PathBuffer path;
  uint64_t bytes;       // a backup: every file in it
  bool sized;           // bytes could be counted
  bool incompleteBackup;
};
constexpr uint32_t kMostNamedLeftovers = 16;
struct Leftovers {
  Leftover items[kMostNamedLeftovers];
  uint32_t count;
  uint32_t unnamed;  // found beyond the named ones
  PruneCommand prune;
};

// Finds the stale staged files (*.QVCNEW) in WORK and MESSAGE and the incomplete
// backups of this home under the backup root this run uses. Called with the lock
// held, so that no run of ours is making them now, once the database files
// passed validation. A listing that fails is a warning, said at once.
void FindEarlierLeftovers(const RunPaths* paths, const RunOptions* options, RunCounters* counters,
                          Leftovers* found);
// The summary's "Leftovers:" lines: each thing still there named with its size
// and whether it is safe to delete; nothing when none was found.
void PrintLeftovers(const Leftovers& found);

// One "Left behind:" line for every staged file (*.QVCNEW) in WORK and MESSAGE,
// for the end of a restore, once its own staged files are gone.
void NameStagedLeftovers(const RunPaths* paths);
