// Many files checked against their snapshots side by side, each difference
// reported in the list's order, as one thread checking them in turn would.
#pragma once

#include <cstdint>

#include "base/parallel_jobs.h"
#include "base/run_counters.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"

struct SnapshotCheck {
  const char* path;              // the file to read (null: the snapshot's own path)
  const FileSnapshot* expected;  // size and hash it must have
  const char* name;              // the %s of format
  const char* format;            // the error reported when it differs
  ReadStamp* seen;               // when set: the file's stamp as it was read
};

// Every LMR file and the few WORK files a run checks.
constexpr uint32_t kMostSnapshotChecks = kLmrInventoryCapacity + 8;

// The checks of one pass, filled in order (value-initialise it).
struct SnapshotCheckList {
  SnapshotCheck checks[kMostSnapshotChecks];
  uint32_t count;
  // Called after each file is read, before its error (the commit's interrupt notice).
  void (*afterEach)();
  // A live file whose settled stamp (seen) has not moved since it was read is
  // not read again: nothing wrote to it. Set by the checks that prove the live
  // files unchanged; never by the checks of files the run itself wrote.
  bool settledStampsVouch;
  // Steps of the caller's own, run side by side with the checks and printed after
  // them (the live files a commit replaced, read again through their handles).
  JobStep extraStep;
  void* extraContext;
  uint32_t extraCount;
};

// Appends one check; seen (may be null) receives the file's stamp as it was read.
void AddSnapshotCheck(SnapshotCheckList* list, const char* path, const FileSnapshot* expected,
                      const char* name, const char* format, ReadStamp* seen = nullptr);

// Reads every file of the list, several at once, and reports each that differs
// from its snapshot (or cannot be read) in list order, then runs the extra
// steps. True when all match and every extra step succeeded.
bool CheckSnapshotsInOrder(const SnapshotCheckList* list, const char* phase,
                           RunCounters* counters);
