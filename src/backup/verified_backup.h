// The verified backup made before any live file is replaced.
#pragma once

#include <cstdio>
#include <ctime>

#include "base/run_counters.h"
#include "base/run_options.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

// The backup root into pack->backupRootPath: QVCULLDB-BACKUPS beside the
// database, an absolute /BACKUP= value as given, or a relative one beneath the
// home directory. Prints and counts a path too long.
bool ResolveBackupRoot(const char* homeDir, const RunOptions* options, PackContext* pack,
                       RunCounters* counters);
// The same root, silent: false when its path is too long.
bool BackupRootOf(const char* homeDir, const RunOptions* options, PathBuffer* root);

// The restore program's command that removes incomplete backups under the
// backup root this run uses ("... /PRUNE", with /BACKUP= when one was given).
struct PruneCommand {
  char text[kPathBufferSize + 64];
};
void FormatPruneCommand(const char* root, const RunOptions* options, PruneCommand* command);

// The line naming the backup directory this run made and left without its
// manifest, with the command that removes it.
struct LeftBehindLine {
  char text[2 * kPathBufferSize + 128];
};
void FormatIncompleteBackupLine(const PackContext* pack, const RunOptions* options,
                                LeftBehindLine* line);

// The directory root and every directory above it trusted (see path_trust.h),
// by the accounts of the live database file; prints and counts a refusal.
bool BackupRootTrusted(const char* root, const char* usersDatPath, RunCounters* counters);

// Creates path, accepting one that exists already.
bool EnsureDirectory(const char* path);

// Makes and verifies the timestamped backup; sets backupDirPath and backupDone.
bool CreateVerifiedBackup(const char* homeDir, const char* whosOnPath,
                          const LiveSnapshots* live, const LmrInventory* inventory,
                          const RunOptions* options, const struct tm* startTime,
                          PackContext* pack, RunCounters* counters);
