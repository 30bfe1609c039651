// The steps both programs (the packer and the restore) begin and end a run with:
// the clock, the run report, the database paths and the shared lock.
#pragma once

#include <ctime>

#include "base/paths.h"
#include "base/run_counters.h"
#include "safety/shared_lock.h"

// The clock is read once; every stamp of the run comes from this reading.
struct RunClock {
  struct tm startTime;
  char startStamp[64];  // "%Y-%m-%d %H:%M:%S"
  char runDate[32];
  char runTime[32];
};
void ReadRunClock(RunClock* clock);

// Finds the home directory and opens the run report for appending (g_reportStream);
// on failure prints why on standard output and returns false.
bool OpenRunReport(RunPaths* paths);

// Ends the run report: the notice of an interrupt held back during the commit
// is its last line.
void CloseRunReport();

// Reads QVNODE.DAT for WORK and MESSAGE, prints both, builds the file paths.
bool ResolveRunPaths(RunPaths* paths, RunCounters* counters);

// The SAFETY section's lock lines; false (counted) when the lock is not ours. A
// lock found in place is described, with whether a commit marker waits, and
// *refusal says what it was found to be.
bool TakeRunLock(const RunPaths& paths, const RunClock& clock, RunCounters* counters,
                 LockRefusal* refusal);

// Releases the lock when this run holds it; a failure, or a lock file replaced
// by another (left in place), is reported and counted.
void ReleaseRunLock(RunCounters* counters);
