// What a packer run says, at its end, of the state it left the live database
// in, and of what it leaves behind.
#pragma once

#include "base/paths.h"
#include "base/run_options.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

// How far the run got with the live files, recorded as it goes.
enum class LiveFilesStep {
  NotOpened,     // stopped before it opened them
  Read,          // opened and read, never written
  Verified,      // read, and found as at the start by the run's own check
  EarlierMix,    // refused over the commit marker an earlier run left
  CommitBegun,   // the commit began: the rollback flags tell the rest
  Committed,     // replaced and verified
};

// The summary's closing lines: "Database state:" and up to two "Left behind:".
struct EndOfRunLines {
  char state[kPathBufferSize + 128];
  char leftBehind[2][2 * kPathBufferSize + 128];
};

// Decides the lines from what the run recorded. A run that wrote no live file
// and has their snapshots checks them again (silently) before it says so.
void DescribeEndOfRun(LiveFilesStep step, const RunPaths* paths, const RunOptions* options,
                      const LiveSnapshots* live, const LmrInventory* inventory,
                      const PackContext* pack, EndOfRunLines* lines);
