// Room and trust for a whole write, judged before anything is staged: a pack
// that cannot finish should not begin.
#pragma once

#include "base/run_counters.h"
#include "base/run_options.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

// Where a write run puts its files before the commit.
struct WritePlaces {
  const char* homeDir;
  const char* workDir;        // staged QVUSERS files and audit log
  const char* messageDir;     // staged LMR files
  const char* purgedLogPath;  // the live QVPURGED.USR, copied into both when it exists
  const char* usersDatPath;   // the live QVUSERS.DAT, whose accounts the backup root must suit
  const RunOptions* options;  // the backup root
};

// The one margin every space check adds to the bytes it needs on a volume, for
// the backup's manifest and warning, directory entries and each file's rounding
// up to the file system's blocks: a fixed MiB plus a hundredth.
uint64_t SpaceWithMargin(uint64_t bytes);

// What a write puts on each place: its staged files in WORK and MESSAGE, and
// its backup under the backup root.
struct SpaceNeeds {
  uint64_t work;
  uint64_t message;
  uint64_t backup;
};

// The same judgement for any needs (the restore's: the backup's files staged,
// the live files backed up).
// what: the write as the refusal names it ("pack", "restore").
bool CheckSpaceForNeeds(const WritePlaces& places, const SpaceNeeds& needs, const char* what,
                        PackContext* pack, RunCounters* counters);

// Resolves the backup root into pack->backupRootPath and judges what exists of
// it trusted; then, for each volume among WORK, MESSAGE and that root (told
// apart by the system's volume id, not by name), checks that its free space
// holds everything the run writes there together, staged files and backup, with
// a margin. Prints and counts every refusal; creates nothing.
bool CheckSpaceAndTrust(const WritePlaces& places, const LiveSnapshots* live,
                        const LmrInventory* inventory, PackContext* pack, RunCounters* counters);
