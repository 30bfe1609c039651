// The automatic rollback: every live file back to its pre-pack state from the
// verified backup, each proved against the snapshot taken before the pack.
#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
#include "commit/commit.h"
#include "platform/platform.h"
#include "staging/staging.h"

namespace {

// Brings one live file back to its pre-pack size and hash. A live file that still
// has them (the commit never reached it) is left alone, so a damaged backup copy
// can never overwrite a good file. Otherwise the backup copy is copied beside the
// live file and verified, and only then renamed over it: a copy that fails leaves
// the live file as it was.
bool RestoreFile(const char* backupArea, const char* name, const char* livePath,
                 const FileSnapshot* prePack) {
  if (FileMatchesSnapshot(livePath, prePack)) return true;
  PathBuffer source;
  PathBuffer restored;
  if (!JoinPath(&source, backupArea, name) || !StagedPathFor(&restored, livePath)) return false;
  RegisterCleanup(restored.text);
  FileSnapshot copy;
  if (CopyFileVerified(source.text, {restored.text, platform::kInvalidHandle}, prePack, &copy) &&
      platform::ReplaceFileDurably(restored.text, livePath, copy.identity) == 0) {
    UnregisterCleanup(restored.text);
    return true;
  }
  DiscardStagedFile(restored.text);
  return false;
}

// Reports a file that could not be restored; the rollback goes on with the others.
bool RestoreOrReport(const char* backupArea, const char* name, const char* livePath,
                     const FileSnapshot* prePack) {
  const bool restored = RestoreFile(backupArea, name, livePath, prePack);
  AnnounceHeldInterrupt();
  if (restored) return true;
  Tee("CRITICAL: rollback failed for %s.\n", name);
  return false;
}

// QVPURGED.USR back as it was: restored, or removed when this run's commit created it.
bool RestorePurgedLog(const char* workBackup, const PackContext* pack) {
  if (pack->purgedLogExisted) {
    return RestoreOrReport(workBackup, "QVPURGED.USR", pack->purgedLogPath.text,
                           &pack->purgedLogSnapshot);
  }
  // A failed look at the file is no proof that it is gone: unless it is known to
  // be a directory, it is deleted, and only a file that is still there afterwards
  // fails the rollback. Otherwise a PASS could leave the new audit block behind.
  platform::PathAttributes attributes;
  if (platform::GetPathAttributes(pack->purgedLogPath.text, &attributes) &&
      attributes.isDirectory) {
    return true;
  }
  if (platform::RemoveFile(pack->purgedLogPath.text) || !IsRegularFile(pack->purgedLogPath.text)) {
    return true;
  }
  Tee("CRITICAL: rollback could not remove newly created QVPURGED.USR.\n");
  return false;
}

}  // namespace

void RollbackFromBackup(const LiveSnapshots* live, const LmrInventory* inventory,
                        PackContext* pack, RunCounters* counters) {
  pack->rollbackStarted = true;
  pack->rollbackOk = false;
  Tee("\n======================= ROLLBACK ======================\n");

  PathBuffer workBackup;
  PathBuffer messageBackup;
  if (!pack->backupDone || !JoinPath(&workBackup, pack->backupDirPath.text, "WORK") ||
      !JoinPath(&messageBackup, pack->backupDirPath.text, "MESSAGE")) {
    ReportError(counters,
                "CRITICAL: verified backup information is unavailable; automatic rollback cannot "
                "start.\n");
    return;
  }

  // One failed file does not stop the others: as much as possible is back before
  // the operator is told to restore by hand.
  bool restored =
      RestoreOrReport(workBackup.text, "QVUSERS.DAT", live->usersDat.path.text, &live->usersDat);
  restored =
      RestoreOrReport(workBackup.text, "QVUSERS.PTR", live->usersPtr.path.text, &live->usersPtr) &&
      restored;
  for (uint32_t i = 0; i < inventory->count; ++i) {
    const LmrFileEntry* entry = &inventory->entries[i];
    restored =
        RestoreOrReport(messageBackup.text, entry->name, entry->path.text, &entry->liveSnapshot) &&
        restored;
  }
  restored = RestorePurgedLog(workBackup.text, pack) && restored;

  if (restored) {
    pack->rollbackOk = true;
    Tee("Rollback result: PASS - original database files restored and verified.\n");
    return;
  }
  ReportError(counters,
              "Rollback result: FAILED - keep all nodes offline and restore manually from %s.\n",
              pack->backupDirPath.text);
}
