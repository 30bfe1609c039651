// The final safety gate, the commit by rename, post-write verification and the
// automatic rollback from the verified backup.
#pragma once

#include "base/run_counters.h"
#include "commit/replaced_files.h"
#include "backup/verified_backup.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

// Every snapshot again (each file's stamp as it is read going into its
// snapshot's `read`), QVPURGED.USR as it was, MESSAGE listed again, the lock
// still ours. Lists every failed check; true only when all pass.
bool RunFinalSafetyGate(LiveSnapshots* live, LmrInventory* inventory, PackContext* pack,
                        RunCounters* counters);


// Renames every staged file over its live file, holding the replaced ones in
// *replaced; on a failure closes them and rolls back.
bool CommitStagedFiles(const LiveSnapshots* live, const LmrInventory* inventory,
                       PackContext* pack, ReplacedFiles* replaced, RunCounters* counters);

// Every committed file against its staged snapshot, and every replaced file
// against its gate snapshot (read again through its handle, then closed), and
// MESSAGE listed again; lists every failure. Each committed file's stamp as it
// was read goes into its staged snapshot's `read`.
bool VerifyCommittedFiles(const char* usersDat, const char* usersPtr, LmrInventory* inventory,
                          PackContext* pack, ReplacedFiles* replaced, RunCounters* counters);

// Brings every live file back to its pre-pack bytes from the backup (a file that
// still has them is left alone; one the commit put there is replaced by a
// verified copy; any other is left, reported CRITICAL, and fails the rollback);
// sets rollbackStarted and rollbackOk.
void RollbackFromBackup(const LiveSnapshots* live, const LmrInventory* inventory,
                        PackContext* pack, RunCounters* counters);

// What the commit section needs of a run: the packer's or the restore's.
struct CommitSection {
  const char* markerPath;
  const char* whosOnPath;
  const char* usersDat;
  const char* usersPtr;
  const char* backupToRestore;  // the backup the marker names
  const char* backupIdToRestore;  // and its id ("" for a backup that records none)
  bool beforeIsWhole;           // false: the live set is already a flagged mix
  const LiveSnapshots* live;
  LmrInventory* inventory;
  PackContext* pack;
  RunCounters* counters;
  const char* callerRefusal = nullptr;  // the caller check's last line; null: the packer's
};

// From the commit marker to the end of the post-write verification or of the
// rollback, with interrupts held back: the marker, every rename, the
// verification (live files and callers) and, on a failure, the rollback. The
// marker goes once the set is whole again. True when the staged set is in
// place and verified.
bool CommitHoldingInterrupts(const CommitSection& section);
