// The final safety gate, the commit by rename and the post-write verification.
#include "base/interrupt_hold.h"
#include "commit/commit.h"

#include "base/cleanup_registry.h"
#include "base/live_state.h"
#include "base/output.h"
#include "commit/commit_marker.h"
#include "platform/platform.h"
#include "safety/caller_status.h"
#include "safety/open_file_check.h"
#include "safety/shared_lock.h"
#include "safety/snapshot_checks.h"

namespace {

constexpr const char* kChangedBeforeCommit = "ERROR: %s changed before commit.\n";
constexpr const char* kVerificationFailed = "ERROR: post-write verification failed for %s.\n";

// QVPURGED.USR still absent when there was none (one that existed is among the
// gate's snapshot checks).
bool CheckPurgedLogStillAbsent(const PackContext* pack, RunCounters* counters) {
  if (pack->purgedLogExisted || !IsRegularFile(pack->purgedLogPath.text)) return true;
  return ReportError(counters, "ERROR: QVPURGED.USR appeared before commit.\n");
}

bool CheckLockHeld(RunCounters* counters) {
  if (IsSharedLockHeld()) return true;
  return ReportError(counters, "ERROR: shared QVLINK.BSY ownership was lost before commit.\n");
}

// The lock's identity before each rename (no hashing): lost before the first,
// the commit stops with nothing replaced; lost after it, stopping would leave a
// mix, so the commit goes on to a whole database, verified or rolled back, and
// its marker stays for the run that holds the lock now. False: stop.
bool LockStillOursBeforeRename(ReplacedFiles* replaced, RunCounters* counters) {
  if (replaced->lockLost) return true;
  const LockCheck lock = CheckSharedLock();
  // A look that failed proves nothing after the first rename; before it, the
  // commit stops as for a lost lock. The marker's removal looks again.
  if (lock == LockCheck::Held || (lock == LockCheck::Unknown && replaced->renamed > 0)) {
    return true;
  }
  replaced->lockLost = true;
  if (replaced->renamed == 0) {
    return ReportError(counters,
                       "ERROR: shared QVLINK.BSY ownership was lost before the first replacement; "
                       "no live file was replaced.\n");
  }
  ReportError(counters,
              "ERROR: shared QVLINK.BSY ownership was lost during the commit, after %u "
              "replacement(s); the run completes the commit (or rolls it back) so that the "
              "database is whole, and keeps its commit marker.\n",
              replaced->renamed);
  return true;
}

// How a replacement's directory reaches the disk: with it, or with the last
// replacement into the same directory (one directory sync for the series).
enum class DirectorySync { WithThisFile, WithLastInDirectory };

// Renames the staged file the run made (its snapshot says which) over the live
// file, holding the replaced file open as replacing describes it.
bool ReplaceLiveFile(const FileSnapshot* staged, const char* livePath, ReplacedFile replacing,
                     DirectorySync sync, ReplacedFiles* replaced, RunCounters* counters) {
  if (!LockStillOursBeforeRename(replaced, counters)) return false;
  uint32_t error = platform::ReplaceFileFlushingLater(
      staged->path.text, livePath, staged->identity, &replacing.handle, &replacing.stamps);
  if (replacing.handle != platform::kInvalidHandle) replaced->files[replaced->count++] = replacing;
  if (error == 0) {
    UnregisterCleanup(staged->path.text);
    ++replaced->renamed;
  }
  // The renames of the series reach the disk here, also before a rollback reads them back.
  if (error != 0 || sync == DirectorySync::WithThisFile) {
    const uint32_t flushError = platform::FlushContainingDirectory(livePath);
    if (error == 0) error = flushError;
  }
  AnnounceHeldInterrupt();
  return error == 0 || ReportError(counters, "ERROR: commit failed while replacing %s%s.\n",
                                   replacing.name, CauseOf(error).text);
}

// A restored set without an audit log: the live one goes, durably.
bool RemoveLivePurgedLog(const PackContext* pack, ReplacedFiles* replaced, RunCounters* counters) {
  if (pack->purgedLogExisted && !LockStillOursBeforeRename(replaced, counters)) return false;
  const uint32_t error =
      pack->purgedLogExisted ? platform::RemoveFileDurably(pack->purgedLogPath.text) : 0;
  if (error == 0 && pack->purgedLogExisted) ++replaced->renamed;
  AnnounceHeldInterrupt();
  if (error == 0) return true;
  return ReportError(counters, "ERROR: commit failed while removing QVPURGED.USR%s.\n",
                     CauseOf(error).text);
}

// LMR files first, then the user files and the audit log; stops at the first
// failure. Each directory is synced once, with its last replacement: the commit
// marker, on disk before the first rename, lists every file, so a power loss
// that keeps only some of the renames leaves a flagged mix, as it could between
// any two renames anyway; post-write verification and the marker's removal
// come after both syncs.
bool ReplaceAllLiveFiles(const LiveSnapshots* live, const LmrInventory* inventory,
                         const PackContext* pack, ReplacedFiles* replaced, RunCounters* counters) {
  for (uint32_t i = 0; i < inventory->count; ++i) {
    const LmrFileEntry* entry = &inventory->entries[i];
    const DirectorySync sync = i + 1 == inventory->count ? DirectorySync::WithThisFile
                                                         : DirectorySync::WithLastInDirectory;
    const ReplacedFile replacing{platform::kInvalidHandle, {}, &entry->liveSnapshot, entry->name,
                                 "MESSAGE"};
    if (!ReplaceLiveFile(&entry->stagedSnapshot, entry->path.text, replacing, sync, replaced,
                         counters)) {
      return false;
    }
  }
  // No audit-log step when a restored set without one meets a home without one.
  const bool logStep = !pack->removePurgedLog || pack->purgedLogExisted;
  const DirectorySync later = DirectorySync::WithLastInDirectory;
  const platform::FileHandle none = platform::kInvalidHandle;
  // An audit log that was not there at the gate and is at the rename appeared meanwhile.
  const FileSnapshot* logBefore = pack->purgedLogExisted ? &pack->purgedLogSnapshot : nullptr;
  return ReplaceLiveFile(&pack->stagedDatSnapshot, live->usersDat.path.text,
                         {none, {}, &live->usersDat, "QVUSERS.DAT", "WORK"}, later, replaced,
                         counters) &&
         ReplaceLiveFile(&pack->stagedPtrSnapshot, live->usersPtr.path.text,
                         {none, {}, &live->usersPtr, "QVUSERS.PTR", "WORK"},
                         logStep ? later : DirectorySync::WithThisFile, replaced, counters) &&
         (pack->removePurgedLog
              ? RemoveLivePurgedLog(pack, replaced, counters)
              : ReplaceLiveFile(&pack->stagedPurgedLogSnapshot, pack->purgedLogPath.text,
                                {none, {}, logBefore, "QVPURGED.USR", "WORK"},
                                DirectorySync::WithThisFile, replaced, counters));
}

}  // namespace

bool RunFinalSafetyGate(LiveSnapshots* live, LmrInventory* inventory, PackContext* pack,
                        RunCounters* counters) {
  // Every check runs, so that one gate lists every change it finds. A hold that
  // ends is waited out first, so that the hashes read what its holder left.
  bool passed = CheckNoOtherHolders(live, inventory, pack->purgedLogPath.text, counters);
  // A file read again is stamped as the gate reads it; one whose settled stamp
  // has not moved since its snapshot is not read again. After the renames the
  // replaced files are judged by these stamps, and read again only where they moved.
  SnapshotCheckList checks{};
  checks.settledStampsVouch = true;
  AddSnapshotCheck(&checks, nullptr, &live->usersDat, "QVUSERS.DAT", kChangedBeforeCommit,
                   &live->usersDat.read);
  AddSnapshotCheck(&checks, nullptr, &live->usersPtr, "QVUSERS.PTR", kChangedBeforeCommit,
                   &live->usersPtr.read);
  AddSnapshotCheck(&checks, nullptr, &live->whosOn, "QVWHOSON.DAT", kChangedBeforeCommit,
                   &live->whosOn.read);
  for (uint32_t i = 0; i < inventory->count; ++i) {
    LmrFileEntry* entry = &inventory->entries[i];
    AddSnapshotCheck(&checks, nullptr, &entry->liveSnapshot, entry->name, kChangedBeforeCommit,
                     &entry->liveSnapshot.read);
  }
  if (pack->purgedLogExisted) {
    AddSnapshotCheck(&checks, nullptr, &pack->purgedLogSnapshot, "QVPURGED.USR",
                     kChangedBeforeCommit, &pack->purgedLogSnapshot.read);
  }
  passed = CheckSnapshotsInOrder(&checks, "Checking", counters) && passed;
  passed = CheckPurgedLogStillAbsent(pack, counters) && passed;
  // An LMR file that came since the inventory would keep the old numbering.
  passed = CheckLmrListingUnchanged(inventory, "since the inventory", counters) && passed;
  // Last, immediately before the commit.
  passed = CheckLockHeld(counters) && passed;
  return passed;
}

bool CommitStagedFiles(const LiveSnapshots* live, const LmrInventory* inventory,
                       PackContext* pack, ReplacedFiles* replaced, RunCounters* counters) {
  // Written out: the report shows every line before the commit, whatever ends the process in it.
  BeginSection("\n======================= COMMIT ========================\n");
  if (!ReplaceAllLiveFiles(live, inventory, pack, replaced, counters)) {
    CloseReplacedFiles(replaced);
    // Nothing replaced: the live files are as the gate found them.
    if (replaced->renamed > 0 || !replaced->lockLost) {
      RollbackFromBackup(live, inventory, pack, counters);
    }
    return false;
  }
  Tee("Commit: COMPLETE (%u file replacement(s)).\n", inventory->count + 3);
  return true;
}

bool VerifyCommittedFiles(const char* usersDat, const char* usersPtr, LmrInventory* inventory,
                          PackContext* pack, ReplacedFiles* replaced, RunCounters* counters) {
  SnapshotCheckList checks{};
  checks.afterEach = AnnounceHeldInterrupt;
  checks.extraStep = CheckReplacedFile;
  checks.extraContext = replaced;
  checks.extraCount = replaced->count;
  // Each file is stamped as it is read: the summary's state line looks at the
  // stamps again instead of reading the files a second time.
  AddSnapshotCheck(&checks, usersDat, &pack->stagedDatSnapshot, "QVUSERS.DAT", kVerificationFailed,
                   &pack->stagedDatSnapshot.read);
  AddSnapshotCheck(&checks, usersPtr, &pack->stagedPtrSnapshot, "QVUSERS.PTR", kVerificationFailed,
                   &pack->stagedPtrSnapshot.read);
  for (uint32_t i = 0; i < inventory->count; ++i) {
    LmrFileEntry* entry = &inventory->entries[i];
    AddSnapshotCheck(&checks, entry->path.text, &entry->stagedSnapshot, entry->name,
                     kVerificationFailed, &entry->stagedSnapshot.read);
  }
  if (!pack->removePurgedLog) {
    AddSnapshotCheck(&checks, pack->purgedLogPath.text, &pack->stagedPurgedLogSnapshot,
                     "QVPURGED.USR", kVerificationFailed, &pack->stagedPurgedLogSnapshot.read);
  }
  bool verified = CheckSnapshotsInOrder(&checks, "Verifying", counters);
  replaced->count = 0;
  if (pack->removePurgedLog && IsRegularFile(pack->purgedLogPath.text)) {
    verified = ReportError(counters, kVerificationFailed, "QVPURGED.USR");
  }
  return CheckLmrListingUnchanged(inventory, "during the commit", counters) && verified;
}

namespace {

// After the commit: every live file must be its staged file and no caller may
// have come on; anything else undoes the commit from the backup.
bool VerifyAfterCommit(const CommitSection& s, ReplacedFiles* replaced) {
  BeginSection("\n================== POST-WRITE VERIFY ======================\n");
  if (!VerifyCommittedFiles(s.usersDat, s.usersPtr, s.inventory, s.pack, replaced, s.counters)) {
    RollbackFromBackup(s.live, s.inventory, s.pack, s.counters);
    return false;
  }
  const bool callersClear = s.callerRefusal == nullptr
                                ? CheckCallerStatus(s.whosOnPath, s.counters)
                                : CheckCallerStatus(s.whosOnPath, s.counters, s.callerRefusal);
  if (!callersClear) {
    Tee("ERROR: caller status became active during post-write verification.\n");
    RollbackFromBackup(s.live, s.inventory, s.pack, s.counters);
    return false;
  }
  Tee("Post-write verification: PASS\n");
  return true;
}

// The marker goes once the set is whole again: the staged set verified, or a
// whole set rolled back. A failed rollback, or one back to a flagged mix,
// leaves it for the next run to find.
void SettleCommitMarker(const CommitSection& s, bool committed) {
  // Without the lock the marker may be another run's by now: never removed then.
  if (s.pack->lockLost) {
    Tee("Commit marker kept: %s - this run no longer holds the lock; the next run checks the "
        "database against it.\n", s.markerPath);
    return;
  }
  if (!committed && !(s.pack->rollbackOk && s.beforeIsWhole)) return;
  if (!IsSharedLockHeld()) {
    Tee("WARNING: cannot confirm that this run still holds QVLINK.BSY; the commit marker %s is "
        "kept for the next run to check and remove.\n", s.markerPath);
    ++s.counters->warnings;
    return;
  }
  const uint32_t error = RemoveCommitMarker(s.markerPath);
  if (error == 0) return;
  Tee("WARNING: cannot remove the commit marker %s%s; the next run checks it and removes it.\n",
      s.markerPath, CauseOf(error).text);
  ++s.counters->warnings;
}

// The state machine's move once the commit section is over.
LiveEvent EndOfCommit(const CommitSection& s, const ReplacedFiles& replaced, bool verified) {
  if (verified) return LiveEvent::Verified;
  if (replaced.renamed == 0 && !s.pack->rollbackStarted) return LiveEvent::StoppedUnreplaced;
  return s.pack->rollbackOk ? LiveEvent::RolledBack : LiveEvent::RollbackFailed;
}

}  // namespace

bool CommitHoldingInterrupts(const CommitSection& s) {
  InterruptHold hold(HeldInterrupt::KeepForRunEnd);
  // The lock's identity once more before the marker: a marker written without
  // the lock could be taken for another run's.
  const bool locked = IsSharedLockHeld() ||
                      ReportError(s.counters,
                                  "ERROR: shared QVLINK.BSY ownership was lost before the commit "
                                  "marker was written; no live file was replaced.\n");
  const bool marked = locked && WriteCommitMarker(s);
  if (marked) AdvanceLiveState(LiveEvent::MarkerWritten);
  ReplacedFiles replaced;
  replaced.count = 0;
  replaced.backupDir = s.pack->backupDirPath.text;
  replaced.renamed = 0;
  replaced.lockLost = false;
  const bool replacedAll = marked && CommitStagedFiles(s.live, s.inventory, s.pack, &replaced, s.counters);
  s.pack->lockLost = replaced.lockLost;
  // A commit completed without the lock is whole, yet the run did not keep
  // cooperating tools out all along: it does not count as a success.
  const bool verified = replacedAll && VerifyAfterCommit(s, &replaced);
  const bool committed = verified && !replaced.lockLost;
  if (marked) SettleCommitMarker(s, committed);
  // The interrupt notice follows the state: set before the hold ends.
  if (marked) AdvanceLiveState(EndOfCommit(s, replaced, verified));
  AnnounceHeldInterrupt();
  return committed;
}
