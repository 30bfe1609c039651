// A verified backup read back: its MANIFEST.TXT, and the check that its copies
// form one complete, matched set that can replace this home's live files.
#pragma once

#include <cstdint>
#include <memory>

#include "base/paths.h"
#include "base/run_counters.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

// The three WORK files, the audit log and every LMR file.
constexpr uint32_t kMaxManifestEntries = 4 + kLmrInventoryCapacity;

struct ManifestEntry {
  char area[16];       // WORK or MESSAGE
  char name[128];
  PathBuffer copy;     // the copy inside the backup
  FileSnapshot source; // the live path it came from, with the size and hash it had
};

struct BackupManifest {
  std::unique_ptr<ManifestEntry[]> entries;  // kMaxManifestEntries, or null
  uint32_t count;
};

// Reads dir's MANIFEST.TXT. False, with the reason, when it is missing, cut
// short or malformed, or out of memory.
bool ReadBackupManifest(const char* dir, BackupManifest* manifest, MessageBuffer* reason);

// The entry for area and name (letter case ignored), or null.
const ManifestEntry* FindManifestEntry(const BackupManifest* manifest, const char* area,
                                       const char* name);

// Checks one backup against this home: every copy as the manifest lists it,
// every source the live file this home uses now, every live LMR file in the
// backup and no other, and the backup's QVUSERS.DAT/PTR a consistent pair.
// Prints one line per file and counts every failure; true when restorable.
bool CheckBackupSet(const BackupManifest* manifest, const RunPaths* paths,
                    const LmrInventory* live, RunCounters* counters);

// Copies every file the restore replaces from the backup to its staged name
// beside the live file, each proved equal to the manifest: QVUSERS.DAT and .PTR
// into pack, every LMR file into its inventory entry, QVPURGED.USR when the
// backup has one (otherwise pack->removePurgedLog). Prints and counts a failure.
bool StageBackupSet(const BackupManifest* manifest, const LiveSnapshots* live,
                    LmrInventory* inventory, PackContext* pack, RunCounters* counters);
