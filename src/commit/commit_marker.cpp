// The commit marker: written before the first rename, removed once the database
// is whole again, and checked by every run that finds it.
#include "commit/commit_marker.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
#include "backup/backup_store.h"
#include "commit/commit.h"
#include "platform/platform.h"
#include "safety/shared_lock.h"

namespace {

constexpr const char* kMarkerTitle = "QVCULLDB32 COMMIT MARKER\r\n";
constexpr const char* kBackupKey = "backup=";
// Since backups record an id: the marker finds its backup by it after a rename.
constexpr const char* kBackupIdKey = "backupid=";
constexpr const char* kMarkerEnd = "END\r\n";
constexpr size_t kMarkerLineSize = kPathBufferSize + 128;

// One line per replaced file: size and hash before the commit, then after it,
// then the live path, last because it may hold blanks. "- -" stands for no file,
// and "? ?" for a state before the commit that is not whole (it never matches).
bool WriteMarkerFile(FILE* stream, const FileSnapshot* before, bool beforeIsWhole,
                     const FileSnapshot* after, const char* livePath) {
  char sides[2][64] = {"- -", "- -"};
  const FileSnapshot* snapshots[2] = {before, after};
  for (int i = 0; i < 2; ++i) {
    if (snapshots[i] == nullptr) continue;
    FormatBounded(sides[i], sizeof sides[i], "%" PRIu64 " %016" PRIX64, snapshots[i]->size,
                  snapshots[i]->hash);
  }
  if (!beforeIsWhole) FormatBounded(sides[0], sizeof sides[0], "? ?");
  char line[kMarkerLineSize];
  const int result =
      FormatBounded(line, sizeof line, "%s %s %s\r\n", sides[0], sides[1], livePath);
  return FormatComplete(result, sizeof line) && WriteString(stream, line);
}

bool WriteMarkerText(FILE* stream, const CommitSection& s) {
  const PackContext* pack = s.pack;
  char line[kMarkerLineSize];
  // The run's own record, as its lock has it: a later run removes the marker
  // only once that run has ended.
  bool written = WriteString(stream, kMarkerTitle) &&
                 FormatComplete(FormatBounded(line, sizeof line, "%s%s\r\n", kBackupKey,
                                              s.backupToRestore),
                                sizeof line) &&
                 WriteString(stream, line) &&
                 FormatComplete(FormatBounded(line, sizeof line, "%s%s\r\n", kBackupIdKey,
                                              s.backupIdToRestore),
                                sizeof line) &&
                 WriteString(stream, line) &&
                 FormatComplete(FormatBounded(line, sizeof line, "%s\r\n", OwnRunRecord()),
                                sizeof line) &&
                 WriteString(stream, line);
  for (uint32_t i = 0; written && i < s.inventory->count; ++i) {
    const LmrFileEntry* entry = &s.inventory->entries[i];
    written = WriteMarkerFile(stream, &entry->liveSnapshot, s.beforeIsWhole, &entry->stagedSnapshot,
                              entry->path.text);
  }
  return written &&
         WriteMarkerFile(stream, &s.live->usersDat, s.beforeIsWhole, &pack->stagedDatSnapshot,
                         s.live->usersDat.path.text) &&
         WriteMarkerFile(stream, &s.live->usersPtr, s.beforeIsWhole, &pack->stagedPtrSnapshot,
                         s.live->usersPtr.path.text) &&
         WriteMarkerFile(stream, pack->purgedLogExisted ? &pack->purgedLogSnapshot : nullptr,
                         s.beforeIsWhole,
                         pack->removePurgedLog ? nullptr : &pack->stagedPurgedLogSnapshot,
                         pack->purgedLogPath.text) &&
         WriteString(stream, kMarkerEnd);
}

// What the live files are, against the marker's lines.
struct MarkerVerdict {
  bool readable = false;
  bool allPacked = true;
  bool allPrePack = true;
  PathBuffer backupDir = {};
  char backupId[40] = {};  // empty when the marker records none
  bool recorded = false;  // the marker names the run that wrote it
  RunRecord record = {};
};

// Removes the line end; false when the line was cut short (no line end).
bool TrimLineEnd(char* line) {
  size_t length = strlen(line);
  if (length == 0 || line[length - 1] != '\n') return false;
  line[--length] = '\0';
  if (length > 0 && line[length - 1] == '\r') line[length - 1] = '\0';
  return true;
}

// True when the file at path has this size and hash ("-" size: is absent).
bool FileIsAsListed(const char* path, const char* sizeText, const char* hashText) {
  if (strcmp(sizeText, "?") == 0) return false;
  if (strcmp(sizeText, "-") == 0) return !IsRegularFile(path) && !IsSymbolicLink(path);
  uint64_t size = 0;
  uint64_t hash = 0;
  return HashFileFnv1a64(path, &size, &hash) && strtoull(sizeText, nullptr, 10) == size &&
         strtoull(hashText, nullptr, 16) == hash;
}

// A marker lists only this home's live database files: the user files in WORK
// and LMR files in MESSAGE. Any other path (a device, a FIFO, a file elsewhere)
// is never opened, so a planted line can neither hang a run nor probe a file.
bool IsLiveDatabasePath(const char* path, const RunPaths& paths) {
  const char* name = path + strlen(path);
  while (name > path && !IsSeparator(name[-1])) --name;
  PathBuffer expected;
  if (IsLmrFileName(name)) {
    return JoinPath(&expected, paths.message.text, name) && strcmp(expected.text, path) == 0;
  }
  for (const PathBuffer* live : {&paths.usersDat, &paths.usersPtr, &paths.purgedLog}) {
    if (strcmp(live->text, path) == 0) return true;
  }
  return false;
}

// Compares one file line with the live file; false when the line is malformed
// or names anything but a live database file.
bool JudgeFileLine(const char* line, const RunPaths& paths, MarkerVerdict* verdict) {
  char oldSize[24], oldHash[24], newSize[24], newHash[24];
  int pathStart = 0;
  if (sscanf(line, "%23s %23s %23s %23s %n", oldSize, oldHash, newSize, newHash, &pathStart) != 4 ||
      pathStart == 0 || line[pathStart] == '\0') {
    return false;
  }
  const char* path = line + pathStart;
  if (!IsLiveDatabasePath(path, paths)) return false;
  verdict->allPacked = FileIsAsListed(path, newSize, newHash) && verdict->allPacked;
  verdict->allPrePack = FileIsAsListed(path, oldSize, oldHash) && verdict->allPrePack;
  return true;
}

// Empty, or the 32 hex digits of a backup's IDENTITY.TXT.
bool ValidBackupId(const char* id) {
  const size_t length = strlen(id);
  for (size_t i = 0; i < length; ++i) {
    if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'F'))) return false;
  }
  return length == 0 || length == 32;
}

MarkerVerdict JudgeMarker(FILE* stream, const RunPaths& paths) {
  MarkerVerdict verdict;
  char line[kMarkerLineSize];
  if (fgets(line, sizeof line, stream) == nullptr || strcmp(line, kMarkerTitle) != 0 ||
      fgets(line, sizeof line, stream) == nullptr || !TrimLineEnd(line) ||
      strncmp(line, kBackupKey, strlen(kBackupKey)) != 0 ||
      !CopyPath(&verdict.backupDir, line + strlen(kBackupKey))) {
    return verdict;
  }
  // The backup's id and the run's record follow the backup line in markers of
  // this release, each once; a marker of an earlier one goes on with its file lines.
  bool preamble = true;
  bool idRead = false;
  while (fgets(line, sizeof line, stream) != nullptr) {
    if (preamble && !idRead && strncmp(line, kBackupIdKey, strlen(kBackupIdKey)) == 0) {
      idRead = true;
      if (!TrimLineEnd(line) || !ValidBackupId(line + strlen(kBackupIdKey))) return verdict;
      platform::CopyBounded(verdict.backupId, sizeof verdict.backupId, line + strlen(kBackupIdKey));
      continue;
    }
    const bool recordLine =
        preamble && !verdict.recorded && strncmp(line, "Held by process ", 16) == 0;
    preamble = recordLine;
    if (recordLine) {
      if (!TrimLineEnd(line) || !ParseRunRecord(line, strlen(line), &verdict.record)) {
        return verdict;
      }
      verdict.recorded = true;
      continue;
    }
    if (strcmp(line, kMarkerEnd) == 0) {
      verdict.readable = ferror(stream) == 0 && fgetc(stream) == EOF;
      return verdict;
    }
    if (!TrimLineEnd(line) || !JudgeFileLine(line, paths, &verdict)) return verdict;
  }
  return verdict;
}

// The marker's backup where it is now: a backup renamed under its root is
// found by its id.
PathBuffer FoundByMarker(const MarkerVerdict& verdict) {
  PathBuffer root;
  platform::PathAttributes attributes;
  if (verdict.backupId[0] == '\0' ||
      (platform::GetPathAttributes(verdict.backupDir.text, &attributes) && attributes.isDirectory)) {
    return verdict.backupDir;
  }
  PathBuffer found;
  return ParentDirectory(verdict.backupDir.text, &root) &&
                 FindBackupById(root.text, verdict.backupId, &found)
             ? found
             : verdict.backupDir;
}

bool AbortOnMixedDatabase(const char* markerPath, const MarkerVerdict& verdict,
                          RunCounters* counters) {
  if (!verdict.readable) {
    Tee("SAFETY ABORT: the commit marker %s cannot be read. An earlier pack may have been cut "
        "short during its commit.\n",
        markerPath);
  } else {
    Tee("SAFETY ABORT: an earlier pack was cut short during its commit (marker %s).\n"
        "The database is a mix of packed and pre-pack files.\n",
        markerPath);
  }
  if (verdict.backupDir.text[0] == '\0') {
    Tee("Its verified backup: not readable here; the report of the run that was cut short names "
        "it.\n");
    return ReportError(counters,
                       "Restore the pre-pack database with: %s /RESTORE=<that directory>\n"
                       "Keep all nodes offline until it is restored.\n",
                       platform::kRestoreProgramName);
  }
  PathBuffer backup = FoundByMarker(verdict);
  Tee("Its verified backup: %s\n", backup.text);
  return ReportError(counters,
                     "Restore the pre-pack database with: %s /RESTORE=%s\n"
                     "Keep all nodes offline until it is restored.\n",
                     platform::kRestoreProgramName, backup.text);
}

}  // namespace

bool WriteCommitMarker(const CommitSection& s) {
  // A marker found in place (a restore over a flagged mix) must survive a failure here.
  const bool markerWasThere = IsRegularFile(s.markerPath) || IsSymbolicLink(s.markerPath);
  PathBuffer staged;
  platform::FileIdentity identity{};
  FILE* stream = nullptr;
  if (StagedPathFor(&staged, s.markerPath)) {
    RegisterCleanup(staged.text);
    stream = CreateFreshFile({staged.text, platform::kInvalidHandle}, &identity);
  }
  FileSnapshot written;
  // The cause is taken where the failure is met, before clean-up calls change it;
  // it only names the failure (0: none known), never decides it.
  bool replaced = false;
  uint32_t error = 0;
  if (stream == nullptr || !WriteMarkerText(stream, s)) {
    error = platform::LastStreamError();
    if (stream != nullptr) fclose(stream);
  } else if (!SealWrittenFile(stream, staged.text, identity, &written)) {
    error = platform::LastStreamError();
  } else {
    error = platform::ReplaceFileDurably(staged.text, s.markerPath, identity);
    replaced = error == 0;
  }
  if (replaced) {
    UnregisterCleanup(staged.text);
    return true;
  }
  if (staged.text[0] != '\0') {
    RemoveFileOrLink(staged.text);
    UnregisterCleanup(staged.text);
  }
  // A rename that happened before its directory flush failed must not leave a
  // marker for a commit that never began.
  if (!markerWasThere) RemoveFileOrLink(s.markerPath);
  return ReportError(s.counters, "ERROR: cannot write the commit marker %s%s.\n", s.markerPath,
                     CauseOf(error).text);
}

uint32_t RemoveCommitMarker(const char* markerPath) {
  return platform::RemoveFileDurably(markerPath);
}

namespace {

// True when the directory that holds path is one: a marker can only be there then.
bool ContainingDirectoryIsThere(const char* path) {
  PathBuffer dir;
  if (!CopyPath(&dir, path)) return false;
  char* end = dir.text + strlen(dir.text);
  while (end > dir.text && !IsSeparator(end[-1])) --end;
  while (end > dir.text + 1 && IsSeparator(end[-1])) --end;
  *end = '\0';
  platform::EntryKind kind = platform::EntryKind::Missing;
  return platform::ExamineEntry(dir.text, &kind) == 0 && kind == platform::EntryKind::Directory;
}

// What the marker says of the live files (found false: none there).
// A WORK directory that is missing or cannot be reached holds no marker: the run
// goes on and meets the real cause. Only a name that may exist there and cannot
// be read counts as a marker that cannot be read.
MarkerVerdict ReadMarker(const RunPaths& paths, bool* found) {
  const char* markerPath = paths.commitMarker.text;
  platform::EntryKind kind = platform::EntryKind::Missing;
  const uint32_t error = platform::ExamineEntry(markerPath, &kind);
  *found = error == 0 ? kind != platform::EntryKind::Missing : ContainingDirectoryIsThere(markerPath);
  MarkerVerdict verdict;
  FILE* stream = nullptr;
  if (*found && kind == platform::EntryKind::RegularFile &&
      platform::OpenRegularForReading(markerPath, &stream) == 0) {
    verdict = JudgeMarker(stream, paths);
    fclose(stream);
  }
  return verdict;
}

}  // namespace

bool BackupNamedByCommitMarker(const RunPaths& paths, PathBuffer* backupDir, char* backupId,
                               size_t idSize) {
  bool found = false;
  const MarkerVerdict verdict = ReadMarker(paths, &found);
  *backupDir = found ? FoundByMarker(verdict) : verdict.backupDir;
  platform::CopyBounded(backupId, idSize, verdict.backupId);
  return !found || verdict.readable;
}

bool CommitMarkerShowsMix(const RunPaths& paths) {
  bool found = false;
  const MarkerVerdict verdict = ReadMarker(paths, &found);
  return found && !(verdict.readable && (verdict.allPacked || verdict.allPrePack));
}

namespace {

// Whether the run that wrote the marker has ended, as its record shows.
RecordedRunJudgement JudgeMarkerRun(const MarkerVerdict& verdict) {
  if (!verdict.recorded) return {RecordedRun::Unknown, 0};
  return JudgeRecordedRun(verdict.record);
}

bool HasEnded(const RecordedRunJudgement& judgement) {
  return judgement.state == RecordedRun::Ended || judgement.state == RecordedRun::OwnId ||
         judgement.state == RecordedRun::IdReused;
}

void PrintMarkerRun(const MarkerVerdict& verdict, const RecordedRunJudgement& judgement) {
  if (!verdict.recorded) {
    Tee("Marker written by:   not recorded - whether that run goes on cannot be told.\n");
    return;
  }
  char text[160];
  if (judgement.state == RecordedRun::OtherHost) {
    Tee("Marker written by:   process %" PRIu64 " on host %s since %s\n", verdict.record.process,
        verdict.record.host, verdict.record.since);
  } else {
    Tee("Marker written by:   process %" PRIu64 " on this host since %s\n",
        verdict.record.process, verdict.record.since);
  }
  Tee("Marker's run:        %s\n", RecordedRunText(judgement, text, sizeof text));
}

}  // namespace

bool ResolveEarlierCommit(const RunPaths& paths, RunCounters* counters) {
  const char* markerPath = paths.commitMarker.text;
  bool found = false;
  const MarkerVerdict verdict = ReadMarker(paths, &found);
  if (!found) return true;
  const bool mixed = !verdict.readable || !(verdict.allPacked || verdict.allPrePack);
  const RecordedRunJudgement run = JudgeMarkerRun(verdict);
  // A run that lost its lock may still be in its commit: its marker is its own,
  // and its mix may be a commit under way.
  if (verdict.recorded && !HasEnded(run)) {
    Tee("Commit marker:       %s\n", markerPath);
    PrintMarkerRun(verdict, run);
    return ReportError(counters,
                       "SAFETY ABORT: the run that wrote the commit marker may still be in its "
                       "commit; the marker is left as it is. Let that run finish, then run "
                       "again.\n");
  }
  if (mixed) return AbortOnMixedDatabase(markerPath, verdict, counters);
  if (!HasEnded(run)) {
    Tee("Commit marker:       %s\n", markerPath);
    PrintMarkerRun(verdict, run);
    return ReportError(counters,
                       "SAFETY ABORT: the commit marker does not show that its run has ended; it "
                       "is left as it is. Delete it by hand only when no QVCULLDB32 run is "
                       "going on.\n");
  }
  // Removed only under this run's own lock.
  if (!IsSharedLockHeld()) {
    return ReportError(counters,
                       "ERROR: shared QVLINK.BSY ownership was lost; the commit marker %s is left "
                       "as it is.\n",
                       markerPath);
  }
  Tee("Commit marker:       %s\n", markerPath);
  PrintMarkerRun(verdict, run);
  Tee("An earlier pack's commit was cut short, but the database is whole: %s\n",
      verdict.allPacked ? "every file it replaces holds its packed content (the pack completed)"
                        : "every file it replaces holds its pre-pack content (nothing was replaced)");
  const uint32_t error = RemoveCommitMarker(markerPath);
  if (error != 0) {
    return ReportError(counters, "ERROR: cannot remove the commit marker %s%s.\n", markerPath,
                       CauseOf(error).text);
  }
  Tee("Commit marker removed.\n");
  return true;
}
