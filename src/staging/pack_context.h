// The one record of a write run's write phase, from the purge map through the
// staged files to the backup and rollback flags. Value-initialised with the run.
#pragma once

#include <cstdint>
#include <memory>

#include "base/paths.h"
#include "safety/file_snapshot.h"

// What a backup was made before, recorded in its manifest: a backup taken over a
// database that a pack cut short in its commit left mixed is never restorable.
enum class BackupKind { BeforePack, BeforeRestore, BeforeRestoreOfMix };

struct PackContext {
  // One byte per user, index user number - 1, nonzero = purge.
  std::unique_ptr<unsigned char[]> purgeMap;
  uint32_t userCount;
  uint32_t purgeCount;
  uint32_t retainedCount;
  PathBuffer stagedDatPath;
  PathBuffer stagedPtrPath;
  PathBuffer purgedLogPath;
  PathBuffer stagedPurgedLogPath;
  bool purgedLogExisted;
  // A restore of a backup without QVPURGED.USR: the commit removes the live
  // one instead of renaming a staged file over it.
  bool removePurgedLog;
  FileSnapshot purgedLogSnapshot;
  FileSnapshot stagedDatSnapshot;
  FileSnapshot stagedPtrSnapshot;
  FileSnapshot stagedPurgedLogSnapshot;
  // Backup half: filled by the verified backup and the rollback.
  PathBuffer backupRootPath;
  PathBuffer backupDirPath;
  char backupId[33];  // the id its IDENTITY.TXT records (32 hex digits), once written
  BackupKind backupKind;
  bool backupBegun;  // this run made backupDirPath (complete once backupDone)
  bool backupDone;
  bool rollbackStarted;
  bool rollbackOk;
  // The lock was not the run's own at a check inside the commit: the commit
  // went on (or stopped before its first rename) and the marker stays.
  bool lockLost;
};
