// What a run says, at its end, of the state it left the live database in (read
// from the run's state machine and checked as it is printed), what to do next,
// and what it leaves behind: the summary's closing lines, for both programs.
#pragma once

#include "base/live_state.h"
#include "base/paths.h"
#include "base/run_options.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "safety/shared_lock.h"
#include "staging/pack_context.h"

// What the closing lines are decided from, besides the state machine.
struct EndOfRunFacts {
  const RunPaths* paths;
  const RunOptions* options;  // the packer's; null for the restore
  const LiveSnapshots* live;
  const LmrInventory* inventory;
  const PackContext* pack;
  bool restoring;        // QVRESTORE: RESTORED instead of PACKED
  bool startedMixed;     // a restore over a flagged mix
  bool errors;           // the run counted an error
  bool candidates;       // a preview found purge candidates
  LockRefusal lock;      // why the lock was refused, if it was
};

// The summary's closing lines: "Database state:", "Next step:" and up to two
// "Left behind:".
struct EndOfRunLines {
  char state[kPathBufferSize + 160];
  char nextStep[kPathBufferSize + 160];
  char leftBehind[2][2 * kPathBufferSize + 128];
};

// Decides the lines from the state machine and facts. Every UNCHANGED and
// PACKED (RESTORED) claim is checked as it is made by a fresh look at every
// live file's stamp against the one taken when the run last read it (the file
// is read again only where the stamp moved).
void DescribeEndOfRun(const EndOfRunFacts& facts, EndOfRunLines* lines);

// True when a commit marker may be at its name (not read).
bool CommitMarkerMayExist(const RunPaths& paths);
