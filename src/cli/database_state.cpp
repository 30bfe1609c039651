#include "cli/database_state.h"

#include "base/output.h"
#include "commit/commit_marker.h"
#include "backup/verified_backup.h"
#include "platform/platform.h"

namespace {

constexpr const char* kStateLabel = "Database state:      ";

enum class Recheck { AllMatch, Differs, NoSnapshots };

constexpr const char* kMatchesSnapshots =
    "UNCHANGED - the live files match the snapshots taken at the start of this run.";

void SayState(EndOfRunLines* lines, const char* text) {
  FormatBounded(lines->state, sizeof lines->state, "%s%s\n", kStateLabel, text);
}

// A name that cannot be examined may exist: never claimed absent.
bool EntryMayExist(const char* path) {
  platform::EntryKind kind = platform::EntryKind::Missing;
  return platform::ExamineEntry(path, &kind) != 0 || kind != platform::EntryKind::Missing;
}

// Every live file the run has a snapshot of, read again: the first that
// differs is named in *changed.
Recheck RecheckLiveFiles(const LiveSnapshots* live, const LmrInventory* inventory,
                         const PackContext* pack, const char** changed) {
  const FileSnapshot* userFiles[] = {&live->usersDat, &live->usersPtr, &live->whosOn};
  const char* names[] = {"QVUSERS.DAT", "QVUSERS.PTR", "QVWHOSON.DAT"};
  for (const FileSnapshot* snapshot : userFiles) {
    if (!snapshot->ok) return Recheck::NoSnapshots;
  }
  for (uint32_t i = 0; i < inventory->count; ++i) {
    if (!inventory->entries[i].liveSnapshot.ok) return Recheck::NoSnapshots;
  }
  for (int i = 0; i < 3; ++i) {
    *changed = names[i];
    if (!FileMatchesSnapshot(userFiles[i]->path.text, userFiles[i])) return Recheck::Differs;
  }
  for (uint32_t i = 0; i < inventory->count; ++i) {
    const LmrFileEntry* entry = &inventory->entries[i];
    *changed = entry->name;
    if (!FileMatchesSnapshot(entry->path.text, &entry->liveSnapshot)) return Recheck::Differs;
  }
  *changed = "QVPURGED.USR";
  if (pack->purgedLogExisted && pack->purgedLogSnapshot.ok &&
      !FileMatchesSnapshot(pack->purgedLogPath.text, &pack->purgedLogSnapshot)) {
    return Recheck::Differs;
  }
  // Staging records whether the audit log existed: one made since is a change too.
  if (pack->purgedLogPath.text[0] != '\0' && !pack->purgedLogExisted &&
      EntryMayExist(pack->purgedLogPath.text)) {
    return Recheck::Differs;
  }
  return Recheck::AllMatch;
}

void StateOfUnwrittenFiles(const LiveSnapshots* live, const LmrInventory* inventory,
                           const PackContext* pack, EndOfRunLines* lines) {
  const char* changed = "";
  switch (RecheckLiveFiles(live, inventory, pack, &changed)) {
    case Recheck::AllMatch:
      SayState(lines, kMatchesSnapshots);
      return;
    case Recheck::Differs:
      FormatBounded(lines->state, sizeof lines->state,
                    "%sCHANGED ELSEWHERE - %s is not as this run found it; this run wrote no live "
                    "file.\n", kStateLabel, changed);
      return;
    case Recheck::NoSnapshots:
      SayState(lines, "NOT WRITTEN - this run only read the live files and stopped before it had "
                      "snapshots of them all.");
      return;
  }
}

void StateOfMix(const char* backupDir, EndOfRunLines* lines) {
  FormatBounded(lines->state, sizeof lines->state,
                "%sMIXED - restore the pre-pack database with: %s /RESTORE=%s\n", kStateLabel,
                platform::kRestoreProgramName, backupDir);
}

// Refused over an earlier run's marker: a mix it names the backup of, or a
// marker that cannot be read, or a whole database whose marker stayed.
void StateAfterEarlierCommit(const RunPaths* paths, const LiveSnapshots* live,
                             const LmrInventory* inventory, const PackContext* pack,
                             EndOfRunLines* lines) {
  PathBuffer backupDir;
  char backupId[40];
  if (!BackupNamedByCommitMarker(*paths, &backupDir, backupId, sizeof backupId)) {
    SayState(lines, "UNKNOWN - the commit marker cannot be read; restore as advised above.");
  } else if (CommitMarkerShowsMix(*paths)) {
    StateOfMix(backupDir.text, lines);
  } else {
    StateOfUnwrittenFiles(live, inventory, pack, lines);
  }
}

}  // namespace

void DescribeEndOfRun(LiveFilesStep step, const RunPaths* paths, const RunOptions* options,
                      const LiveSnapshots* live, const LmrInventory* inventory,
                      const PackContext* pack, EndOfRunLines* lines) {
  *lines = {};
  switch (step) {
    case LiveFilesStep::NotOpened:
      SayState(lines, "UNCHANGED - this run stopped before it opened the live files.");
      break;
    case LiveFilesStep::Verified:
      SayState(lines, kMatchesSnapshots);
      break;
    case LiveFilesStep::EarlierMix:
      StateAfterEarlierCommit(paths, live, inventory, pack, lines);
      break;
    case LiveFilesStep::Committed:
      SayState(lines, "PACKED - the live files were verified against the staged files.");
      break;
    case LiveFilesStep::Read:
    case LiveFilesStep::CommitBegun:
      if (pack->commitVerified) {
        SayState(lines, "PACKED - the live files were verified against the staged files; the "
                        "lock was lost during the commit.");
      } else if (!pack->rollbackStarted) {
        StateOfUnwrittenFiles(live, inventory, pack, lines);
      } else if (pack->rollbackOk) {
        SayState(lines, "ROLLED BACK - the live files were verified against the pre-pack backup.");
      } else {
        StateOfMix(pack->backupDirPath.text, lines);
      }
      break;
  }
  int left = 0;
  if (pack->backupBegun && !pack->backupDone) {
    LeftBehindLine line;
    FormatIncompleteBackupLine(pack, options, &line);
    FormatBounded(lines->leftBehind[left++], sizeof lines->leftBehind[0], "%s", line.text);
  }
  if (step >= LiveFilesStep::CommitBegun && IsRegularFile(paths->commitMarker.text)) {
    FormatBounded(lines->leftBehind[left], sizeof lines->leftBehind[0],
                  "Left behind:         %s - the commit marker, kept: the next run checks the "
                  "database against it first.\n", paths->commitMarker.text);
  }
}
