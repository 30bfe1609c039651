// The automatic rollback: every live file the commit replaced back to its pre-pack
// state from the verified backup, each proved against the snapshot taken before
// the pack; a file another program has put in place since is never overwritten.
#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
#include "commit/commit.h"
#include "platform/platform.h"
#include "staging/staging.h"

namespace {

// Same when livePath is what this run's commit left there: the staged file it
// renamed over the live one (known by identity; a change written into it since
// is undone with it), or no file where the commit removed it (committed null).
platform::EntryMatch MatchCommitted(const char* livePath, const FileSnapshot* committed) {
  if (committed != nullptr) return platform::MatchEntry(livePath, committed->identity);
  platform::EntryKind kind = platform::EntryKind::RegularFile;
  if (platform::ExamineEntry(livePath, &kind) != 0) return platform::EntryMatch::Unknown;
  return kind == platform::EntryKind::Missing ? platform::EntryMatch::Same
                                               : platform::EntryMatch::Other;
}

// A live file that is neither the pre-pack one nor the one the commit put there
// was written by another program since (another run, a node): overwriting it
// would destroy that program's work, so it stays for the operator, as does one
// that cannot be examined.
bool ReportNotCommitted(const char* name, platform::EntryMatch match) {
  if (match == platform::EntryMatch::Unknown) {
    Tee("CRITICAL: %s cannot be examined; the rollback leaves it as it is.\n", name);
  } else {
    Tee("CRITICAL: %s is not the file this run committed: another program replaced, removed or "
        "created it. The rollback leaves it as it is.\n", name);
  }
  return false;
}

// Copies the backup copy beside the live file and verifies it, and only then
// renames it over the live file: a copy that fails leaves the live file as it was.
// False with *error the cause (0: none known, or the copy differs from its snapshot).
bool RestoreFile(const char* backupArea, const char* name, const char* livePath,
                 const FileSnapshot* prePack, uint32_t* error) {
  PathBuffer source;
  PathBuffer restored;
  *error = 0;
  if (!JoinPath(&source, backupArea, name) || !StagedPathFor(&restored, livePath)) return false;
  RegisterCleanup(restored.text);
  FileSnapshot copy{};
  if (CopyFileVerified(source.text, {restored.text, platform::kInvalidHandle}, prePack, &copy)) {
    *error = platform::ReplaceFileDurably(restored.text, livePath, copy.identity);
    if (*error == 0) {
      UnregisterCleanup(restored.text);
      return true;
    }
  } else {
    *error = copy.error;
  }
  DiscardStagedFile(restored.text);
  return false;
}

// Brings one live file back to its pre-pack size and hash. A live file that still
// has them (the commit never reached it) is left alone, so a damaged backup copy
// can never overwrite a good file, and so is one this run did not put there.
// The look at the live file and the rename over it are two steps: a program
// that replaces the file between them still loses its file, as the rename cannot
// be made conditional.
bool RestoreOrReport(const char* backupArea, const char* name, const char* livePath,
                     const FileSnapshot* prePack, const FileSnapshot* committed) {
  if (FileMatchesSnapshot(livePath, prePack)) return true;
  const platform::EntryMatch match = MatchCommitted(livePath, committed);
  if (match != platform::EntryMatch::Same) return ReportNotCommitted(name, match);
  uint32_t error = 0;
  const bool restored = RestoreFile(backupArea, name, livePath, prePack, &error);
  AnnounceHeldInterrupt();
  if (restored) return true;
  Tee("CRITICAL: rollback failed for %s%s.\n", name, CauseOf(error).text);
  return false;
}

// QVPURGED.USR back as it was: restored, or removed when this run's commit created it.
bool RestorePurgedLog(const char* workBackup, const PackContext* pack) {
  const char* path = pack->purgedLogPath.text;
  if (pack->purgedLogExisted) {
    return RestoreOrReport(workBackup, "QVPURGED.USR", path, &pack->purgedLogSnapshot,
                           pack->removePurgedLog ? nullptr : &pack->stagedPurgedLogSnapshot);
  }
  if (pack->removePurgedLog) return true;  // none before, none committed
  const platform::EntryMatch match =
      platform::MatchEntry(path, pack->stagedPurgedLogSnapshot.identity);
  if (match == platform::EntryMatch::Missing) return true;  // the commit never came to it
  // Nor did it to a directory there, which no commit makes.
  platform::EntryKind kind = platform::EntryKind::Missing;
  if (match == platform::EntryMatch::Other && platform::ExamineEntry(path, &kind) == 0 &&
      kind == platform::EntryKind::Directory) {
    return true;
  }
  if (match != platform::EntryMatch::Same) return ReportNotCommitted("QVPURGED.USR", match);
  // A delete that reports a failure may still have removed it.
  if (platform::RemoveFile(path) || !IsRegularFile(path)) return true;
  Tee("CRITICAL: rollback could not remove newly created QVPURGED.USR.\n");
  return false;
}

}  // namespace

void RollbackFromBackup(const LiveSnapshots* live, const LmrInventory* inventory,
                        PackContext* pack, RunCounters* counters) {
  pack->rollbackStarted = true;
  pack->rollbackOk = false;
  BeginSection("\n======================= ROLLBACK ======================\n");

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
  bool restored = RestoreOrReport(workBackup.text, "QVUSERS.DAT", live->usersDat.path.text,
                                  &live->usersDat, &pack->stagedDatSnapshot);
  restored = RestoreOrReport(workBackup.text, "QVUSERS.PTR", live->usersPtr.path.text,
                             &live->usersPtr, &pack->stagedPtrSnapshot) &&
             restored;
  for (uint32_t i = 0; i < inventory->count; ++i) {
    const LmrFileEntry* entry = &inventory->entries[i];
    restored = RestoreOrReport(messageBackup.text, entry->name, entry->path.text,
                               &entry->liveSnapshot, &entry->stagedSnapshot) &&
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
