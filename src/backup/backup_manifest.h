// A verified backup's MANIFEST.TXT, written and read back, and the check that a
// backup's copies form one complete, matched set that can replace this home's
// live files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "base/paths.h"
#include "base/run_counters.h"
#include "platform/platform.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

// The three WORK files, the audit log and every LMR file.
constexpr uint32_t kMaxManifestEntries = 4 + kLmrInventoryCapacity;

struct ManifestEntry {
  char area[16];       // WORK or MESSAGE
  char name[128];      // a name the area's files may bear, never a path
  PathBuffer copy;     // the copy inside the backup
  FileSnapshot source; // the live path it came from, with the size and hash it had
};

struct BackupManifest {
  std::unique_ptr<ManifestEntry[]> entries;  // kMaxManifestEntries, or null
  uint32_t count;
  BackupKind kind;
};

// What reading a manifest found. Missing and CutShort mean an incomplete backup
// (a run stopped while making it); Invalid, a manifest no run of this program
// wrote as it stands.
// Unreadable: the system failed to examine or read it; nothing is known.
enum class ManifestState { Complete, Missing, CutShort, Invalid, Unreadable };

// A name a copy in that area (WORK or MESSAGE) may bear: one of the WORK files,
// or an LMR file name. Nothing else: no separator, no "..", no drive or device.
bool BackupMayHold(const char* area, const char* name);

// Writes the whole manifest after its file was created: title, kind, one line
// per copy, and the END line, written last, by which a reader tells a whole
// manifest from a cut one. Prints and counts its message on failure.
bool WriteManifestText(FILE* stream, const LiveSnapshots* live, const LmrInventory* inventory,
                       const PackContext* pack, RunCounters* counters);

// Reads dir's MANIFEST.TXT; anything but Complete comes with the reason.
ManifestState ReadBackupManifest(const char* dir, BackupManifest* manifest, MessageBuffer* reason);

// A short word for the kind, as the listing shows it.
const char* BackupKindWord(BackupKind kind);

// The entry for area and name (exact, but for letter case where the file
// system ignores it), or null.
const ManifestEntry* FindManifestEntry(const BackupManifest* manifest, const char* area,
                                       const char* name);

// The backup directory, every directory above it, its WORK and MESSAGE and its
// MANIFEST.TXT may be trusted (path_trust.h); otherwise false with the reason.
// *unexamined: it failed because an entry could not be examined.
bool BackupTreeTrusted(const char* dir, const platform::TrustedAccounts& accounts,
                       MessageBuffer* reason, bool* unexamined = nullptr);

// What checking one backup found, for a driver to print: one line per copy (OK
// or BAD) and every fault, in the order found.
constexpr uint32_t kMaxVerdictLines = 2 * kMaxManifestEntries + 16;
struct VerdictLine {
  bool fault;
  char text[2 * kPathBufferSize + 160];  // a whole line, its end included
};
struct BackupVerdict {
  std::unique_ptr<VerdictLine[]> lines;
  uint32_t count = 0;
  uint32_t faults = 0;
};

// The one check of a backup against this home, for /CHECK, /RESTORE and
// /PRUNE: not a mix; made of this home's files (moved: the sources may be
// another home's when their names are this home's, the board having moved);
// every copy a trusted regular file as the manifest lists it, every source the
// live file this home uses now; every live LMR file in the backup and no other;
// the backup's QVUSERS.DAT/PTR a consistent pair. True when restorable; every
// fault found is in *verdict.
bool InspectBackup(const BackupManifest* manifest, const RunPaths* paths, bool moved,
                   const LmrInventory* live, const platform::TrustedAccounts& accounts,
                   BackupVerdict* verdict);

// The verdict's first fault as a phrase ("backup copy of QVMSG1.LMR is missing").
void FirstFault(const BackupVerdict& verdict, MessageBuffer* fault);

// Copies every file the restore replaces from the backup to its staged name
// beside the live file, each proved equal to the manifest: QVUSERS.DAT and .PTR
// into pack, every LMR file into its inventory entry, QVPURGED.USR when the
// backup has one (otherwise pack->removePurgedLog). Prints and counts a failure.
bool StageBackupSet(const BackupManifest* manifest, const LiveSnapshots* live,
                    LmrInventory* inventory, PackContext* pack, RunCounters* counters);
