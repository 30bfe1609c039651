#include "cli/database_state.h"

#include "base/output.h"
#include "commit/commit_marker.h"
#include "backup/verified_backup.h"
#include "base/parallel_jobs.h"
#include "platform/platform.h"

namespace {

constexpr const char* kStateLabel = "Database state:      ";
constexpr const char* kNextLabel = "Next step:           ";
constexpr const char* kCorrectErrors =
    "correct what the errors above say, then run again; keep the nodes closed meanwhile.";

void SayState(EndOfRunLines* lines, const char* text) {
  FormatBounded(lines->state, sizeof lines->state, "%s%s\n", kStateLabel, text);
}

void SayNext(EndOfRunLines* lines, const char* text) {
  FormatBounded(lines->nextStep, sizeof lines->nextStep, "%s%s\n", kNextLabel, text);
}

// A name that cannot be examined may exist: never claimed absent.
bool EntryMayExist(const char* path) {
  platform::EntryKind kind = platform::EntryKind::Missing;
  return platform::ExamineEntry(path, &kind) != 0 || kind != platform::EntryKind::Missing;
}

// The first file whose fresh look is not Same, named with what it found.
struct FirstDifference {
  const char* name = nullptr;
  FreshLook look = FreshLook::Same;
};

// The files a state line looks at again, in the order it names them. The looks
// run side by side: each opens the file by its name, and where every open is a
// round trip (a network share, the Windows layer under Wine) one after another
// they cost the summary a noticeable pause.
struct FreshLooks {
  static constexpr uint32_t kMost = kLmrInventoryCapacity + 3;
  struct File {
    const char* path;
    const FileSnapshot* snapshot;
    const char* name;
    FreshLook look;
    bool looked;
  };
  File files[kMost];
  uint32_t count = 0;
};

void AddLook(FreshLooks* looks, const char* path, const FileSnapshot* snapshot,
             const char* name) {
  if (looks->count < FreshLooks::kMost) looks->files[looks->count++] = {path, snapshot, name,
                                                                        FreshLook::Same, false};
}

// One look; a file not Same stops the looks after it (the first is what is named).
bool LookStep(uint32_t index, void* context, RunCounters*) {
  FreshLooks::File* file = &static_cast<FreshLooks*>(context)->files[index];
  file->look = FileStillAsRead(file->path, file->snapshot, file->snapshot->read);
  file->looked = true;
  return file->look == FreshLook::Same;
}

FirstDifference FirstDifferenceAmong(FreshLooks* looks) {
  RunCounters ignored{};
  RunJobsInOrder({looks->count, LookStep, looks, AfterFailure::StopThere, kHashingThreads,
                  nullptr, 0},
                 &ignored);
  for (uint32_t i = 0; i < looks->count; ++i) {
    const FreshLooks::File& file = looks->files[i];
    // A look an interrupt kept from starting is taken here.
    if (!file.looked) LookStep(i, looks, &ignored);
    if (file.look != FreshLook::Same) return {file.name, file.look};
  }
  return {};
}

// The first live file that is not as the run last read it.
FirstDifference FirstChangedLiveFile(const EndOfRunFacts& f) {
  FreshLooks looks;
  const FileSnapshot* userFiles[] = {&f.live->usersDat, &f.live->usersPtr, &f.live->whosOn};
  const char* names[] = {"QVUSERS.DAT", "QVUSERS.PTR", "QVWHOSON.DAT"};
  for (int i = 0; i < 3; ++i) AddLook(&looks, userFiles[i]->path.text, userFiles[i], names[i]);
  for (uint32_t i = 0; i < f.inventory->count; ++i) {
    const LmrFileEntry* entry = &f.inventory->entries[i];
    AddLook(&looks, entry->path.text, &entry->liveSnapshot, entry->name);
  }
  const PackContext* pack = f.pack;
  if (pack->purgedLogExisted && pack->purgedLogSnapshot.ok) {
    AddLook(&looks, pack->purgedLogPath.text, &pack->purgedLogSnapshot, "QVPURGED.USR");
  }
  const FirstDifference first = FirstDifferenceAmong(&looks);
  if (first.look != FreshLook::Same) return first;
  // Staging records whether the audit log existed: one made since is a change too.
  if (pack->purgedLogPath.text[0] != '\0' && !pack->purgedLogExisted &&
      EntryMayExist(pack->purgedLogPath.text)) {
    return {"QVPURGED.USR", FreshLook::Changed};
  }
  return {};
}

// The first committed file that is not as the post-write verification read it.
FirstDifference FirstChangedCommittedFile(const EndOfRunFacts& f) {
  FreshLooks looks;
  const PackContext* pack = f.pack;
  const FileSnapshot* userFiles[] = {&pack->stagedDatSnapshot, &pack->stagedPtrSnapshot};
  const char* paths[] = {f.paths->usersDat.text, f.paths->usersPtr.text};
  const char* names[] = {"QVUSERS.DAT", "QVUSERS.PTR"};
  for (int i = 0; i < 2; ++i) AddLook(&looks, paths[i], userFiles[i], names[i]);
  for (uint32_t i = 0; i < f.inventory->count; ++i) {
    const LmrFileEntry* entry = &f.inventory->entries[i];
    AddLook(&looks, entry->path.text, &entry->stagedSnapshot, entry->name);
  }
  if (!pack->removePurgedLog) {
    AddLook(&looks, pack->purgedLogPath.text, &pack->stagedPurgedLogSnapshot, "QVPURGED.USR");
  }
  const FirstDifference first = FirstDifferenceAmong(&looks);
  if (first.look != FreshLook::Same) return first;
  if (pack->removePurgedLog && EntryMayExist(pack->purgedLogPath.text)) {
    return {"QVPURGED.USR", FreshLook::Changed};
  }
  return {};
}

// A file that could not be looked at again: the state cannot be told.
void SayUnreadable(const char* name, EndOfRunLines* lines) {
  FormatBounded(lines->state, sizeof lines->state,
                "%sUNKNOWN - %s cannot be read again to check it.\n", kStateLabel, name);
  SayNext(lines, "keep the nodes closed and preview (/DRYRUN) to see the state.");
}

bool AllSnapshotsTaken(const EndOfRunFacts& f) {
  if (!f.live->usersDat.ok || !f.live->usersPtr.ok || !f.live->whosOn.ok) return false;
  if (f.inventory->entries == nullptr) return false;
  for (uint32_t i = 0; i < f.inventory->count; ++i) {
    if (!f.inventory->entries[i].liveSnapshot.ok) return false;
  }
  return true;
}

void SayMixed(const char* backupDir, const char* what, EndOfRunLines* lines) {
  FormatBounded(lines->state, sizeof lines->state, "%sMIXED - restore the %s database with: %s "
                "/RESTORE=%s\n", kStateLabel, what, platform::kRestoreProgramName, backupDir);
  SayNext(lines, "run the restore command on the line above, keeping the nodes closed until it "
                 "has finished.");
}

void SayAfterLockRefusal(LockRefusal lock, EndOfRunLines* lines) {
  switch (lock) {
    case LockRefusal::Stale:
      SayNext(lines, "remove the stale lock as described above (To remove it safely), then run "
                     "again.");
      return;
    case LockRefusal::RunGoesOn:
      SayNext(lines, "let the run that holds the lock finish, then run again.");
      return;
    case LockRefusal::Other:
      SayNext(lines, "wait until the tool that holds the lock has finished, or remove a lock "
                     "left behind as described above, then run again.");
      return;
    case LockRefusal::None:
      SayNext(lines, kCorrectErrors);
      return;
  }
}

void DescribeNotRead(const EndOfRunFacts& f, EndOfRunLines* lines) {
  SayState(lines, "NOT WRITTEN - this run stopped before it read the user files and the LMR "
                  "files; it wrote none.");
  SayAfterLockRefusal(f.lock, lines);
}

// Refused over an earlier run's marker: what the marker shows, never UNCHANGED.
void DescribeEarlierMarker(const EndOfRunFacts& f, EndOfRunLines* lines) {
  PathBuffer backupDir;
  char backupId[40];
  if (f.lock != LockRefusal::None) {
    SayState(lines, "UNKNOWN - a commit marker is in place; it was not read, the lock is not "
                    "this run's.");
    SayAfterLockRefusal(f.lock, lines);
  } else if (!BackupNamedByCommitMarker(*f.paths, &backupDir, backupId, sizeof backupId)) {
    SayState(lines, "UNKNOWN - the commit marker cannot be read; restore as advised above.");
    SayNext(lines, "restore the backup the cut-short run's report names; keep the nodes closed "
                   "until then.");
  } else if (CommitMarkerShowsMix(*f.paths)) {
    SayMixed(backupDir.text, "pre-pack", lines);
  } else {
    SayState(lines, "UNKNOWN - a commit marker is in place whose run may still be in its "
                    "commit; the database is as that run leaves it.");
    SayNext(lines, "let that run finish, then preview again; it checks the marker first.");
  }
}

void DescribeUnwritten(const EndOfRunFacts& f, EndOfRunLines* lines) {
  if (f.startedMixed) {
    PathBuffer backupDir;
    char backupId[40];
    BackupNamedByCommitMarker(*f.paths, &backupDir, backupId, sizeof backupId);
    SayMixed(backupDir.text, "pre-pack", lines);
    return;
  }
  const FirstDifference first = FirstChangedLiveFile(f);
  const char* changed = first.name;
  if (first.look == FreshLook::Unreadable) {
    SayUnreadable(changed, lines);
    return;
  }
  if (first.look == FreshLook::Changed) {
    FormatBounded(lines->state, sizeof lines->state,
                  "%sCHANGED ELSEWHERE - %s is not as this run found it; this run wrote no live "
                  "file.\n", kStateLabel, changed);
    FormatBounded(lines->nextStep, sizeof lines->nextStep,
                  "%sfind the program that changed %s and close it; keep the nodes closed, then "
                  "run again.\n", kNextLabel, changed);
    return;
  }
  SayState(lines, "UNCHANGED - every live file is as this run read it (looked at again now).");
  if (f.errors) {
    SayNext(lines, kCorrectErrors);
  } else if (f.candidates) {
    SayNext(lines, "review the candidates above; to purge them run the same switches without "
                   "/DRYRUN while the nodes stay closed, or reopen the nodes.");
  } else {
    SayNext(lines, "reopen the nodes.");
  }
}

void DescribeCommitted(const EndOfRunFacts& f, EndOfRunLines* lines) {
  const FirstDifference first = FirstChangedCommittedFile(f);
  const char* changed = first.name;
  if (first.look == FreshLook::Unreadable) {
    SayUnreadable(changed, lines);
    return;
  }
  if (first.look == FreshLook::Changed) {
    FormatBounded(lines->state, sizeof lines->state,
                  "%sCHANGED ELSEWHERE - %s changed after this run verified it.\n", kStateLabel,
                  changed);
    FormatBounded(lines->nextStep, sizeof lines->nextStep,
                  "%sfind the program that changed %s; keep the nodes closed and preview again.\n",
                  kNextLabel, changed);
    return;
  }
  SayState(lines, f.restoring
                      ? "RESTORED - every live file is the backup's, verified (looked at again now)."
                      : "PACKED - every live file is the verified packed file (looked at again now).");
  if (f.pack->lockLost) {
    SayNext(lines, "keep the nodes closed; once no other run holds the lock, preview again (it "
                   "checks the kept commit marker).");
  } else if (f.restoring) {
    SayNext(lines, "reopen the nodes.");
  } else {
    FormatBounded(lines->nextStep, sizeof lines->nextStep,
                  "%scheck the backup with: %s /CHECK=%s ; then reopen the nodes.\n", kNextLabel,
                  platform::kRestoreProgramName, f.pack->backupDirPath.text);
  }
}

void DescribeState(const EndOfRunFacts& f, EndOfRunLines* lines) {
  const char* before = f.restoring ? "pre-restore" : "pre-pack";
  switch (CurrentLiveState()) {
    case LiveState::NotRead:
      DescribeNotRead(f, lines);
      return;
    case LiveState::Read:
      // Stopped after the snapshots (a validation that failed): they are checked as well.
      if (AllSnapshotsTaken(f)) {
        DescribeUnwritten(f, lines);
        return;
      }
      SayState(lines, "NOT WRITTEN - this run only read the live files and stopped before it had "
                      "snapshots of them all.");
      SayNext(lines, kCorrectErrors);
      return;
    case LiveState::Snapshotted:
      DescribeUnwritten(f, lines);
      return;
    case LiveState::EarlierMarker:
      DescribeEarlierMarker(f, lines);
      return;
    case LiveState::Committed:
      DescribeCommitted(f, lines);
      return;
    case LiveState::RolledBack:
      if (f.startedMixed) {
        SayMixed(f.pack->backupDirPath.text, before, lines);
        return;
      }
      FormatBounded(lines->state, sizeof lines->state, "%sROLLED BACK - the live files were "
                    "verified against the %s backup.\n", kStateLabel, before);
      SayNext(lines, kCorrectErrors);
      return;
    case LiveState::Committing:
    case LiveState::Mixed:
      SayMixed(f.pack->backupDirPath.text, before, lines);
      return;
  }
}

}  // namespace

bool CommitMarkerMayExist(const RunPaths& paths) {
  return EntryMayExist(paths.commitMarker.text);
}

void DescribeEndOfRun(const EndOfRunFacts& f, EndOfRunLines* lines) {
  *lines = {};
  DescribeState(f, lines);
  int left = 0;
  if (f.pack->backupBegun && !f.pack->backupDone && f.options != nullptr) {
    LeftBehindLine line;
    FormatIncompleteBackupLine(f.pack, f.options, &line);
    FormatBounded(lines->leftBehind[left++], sizeof lines->leftBehind[0], "%s", line.text);
  }
  // A marker found in place is the refusal's subject; any other is this run's own, kept.
  const LiveState state = CurrentLiveState();
  const bool ownMarker = state != LiveState::NotRead && state != LiveState::EarlierMarker;
  if (ownMarker && IsRegularFile(f.paths->commitMarker.text)) {
    FormatBounded(lines->leftBehind[left], sizeof lines->leftBehind[0],
                  "Left behind:         %s - the commit marker, kept: the next run checks the "
                  "database against it first.\n", f.paths->commitMarker.text);
  }
}
