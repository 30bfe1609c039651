// The commit marker: written before the first rename, removed once the database
// is whole again, and checked by every run that finds it.
#include "commit/commit_marker.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
#include "platform/platform.h"

namespace {

constexpr const char* kMarkerTitle = "QVCULLDB32 COMMIT MARKER\r\n";
constexpr const char* kBackupKey = "backup=";
constexpr const char* kMarkerEnd = "END\r\n";
constexpr size_t kMarkerLineSize = kPathBufferSize + 128;

// One line per replaced file: pre-pack size and hash ("- -" when the file did
// not exist), packed size and hash, live path. The path comes last: it may hold blanks.
bool WriteMarkerFile(FILE* stream, const FileSnapshot* before, const FileSnapshot* after,
                     const char* livePath) {
  char line[kMarkerLineSize];
  char old[64] = "- -";
  if (before != nullptr) {
    FormatBounded(old, sizeof old, "%" PRIu64 " %016" PRIX64, before->size, before->hash);
  }
  const int result = FormatBounded(line, sizeof line, "%s %" PRIu64 " %016" PRIX64 " %s\r\n", old,
                                   after->size, after->hash, livePath);
  return FormatComplete(result, sizeof line) && WriteString(stream, line);
}

bool WriteMarkerText(FILE* stream, const LiveSnapshots* live, const LmrInventory* inventory,
                     const PackContext* pack) {
  char line[kMarkerLineSize];
  bool written = WriteString(stream, kMarkerTitle) &&
                 FormatComplete(FormatBounded(line, sizeof line, "%s%s\r\n", kBackupKey,
                                              pack->backupDirPath.text),
                                sizeof line) &&
                 WriteString(stream, line);
  for (uint32_t i = 0; written && i < inventory->count; ++i) {
    const LmrFileEntry* entry = &inventory->entries[i];
    written = WriteMarkerFile(stream, &entry->liveSnapshot, &entry->stagedSnapshot,
                              entry->path.text);
  }
  return written &&
         WriteMarkerFile(stream, &live->usersDat, &pack->stagedDatSnapshot,
                         live->usersDat.path.text) &&
         WriteMarkerFile(stream, &live->usersPtr, &pack->stagedPtrSnapshot,
                         live->usersPtr.path.text) &&
         WriteMarkerFile(stream, pack->purgedLogExisted ? &pack->purgedLogSnapshot : nullptr,
                         &pack->stagedPurgedLogSnapshot, pack->purgedLogPath.text) &&
         WriteString(stream, kMarkerEnd);
}

// What the live files are, against the marker's lines.
struct MarkerVerdict {
  bool readable = false;
  bool allPacked = true;
  bool allPrePack = true;
  PathBuffer backupDir = {};
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
  if (strcmp(sizeText, "-") == 0) return !IsRegularFile(path) && !IsSymbolicLink(path);
  uint64_t size = 0;
  uint64_t hash = 0;
  return HashFileFnv1a64(path, &size, &hash) && strtoull(sizeText, nullptr, 10) == size &&
         strtoull(hashText, nullptr, 16) == hash;
}

// Compares one file line with the live file; false when the line is malformed.
bool JudgeFileLine(const char* line, MarkerVerdict* verdict) {
  char oldSize[24], oldHash[24], newSize[24], newHash[24];
  int pathStart = 0;
  if (sscanf(line, "%23s %23s %23s %23s %n", oldSize, oldHash, newSize, newHash, &pathStart) != 4 ||
      pathStart == 0 || line[pathStart] == '\0') {
    return false;
  }
  const char* path = line + pathStart;
  verdict->allPacked = FileIsAsListed(path, newSize, newHash) && verdict->allPacked;
  verdict->allPrePack = FileIsAsListed(path, oldSize, oldHash) && verdict->allPrePack;
  return true;
}

MarkerVerdict JudgeMarker(FILE* stream) {
  MarkerVerdict verdict;
  char line[kMarkerLineSize];
  if (fgets(line, sizeof line, stream) == nullptr || strcmp(line, kMarkerTitle) != 0 ||
      fgets(line, sizeof line, stream) == nullptr || !TrimLineEnd(line) ||
      strncmp(line, kBackupKey, strlen(kBackupKey)) != 0 ||
      !CopyPath(&verdict.backupDir, line + strlen(kBackupKey))) {
    return verdict;
  }
  while (fgets(line, sizeof line, stream) != nullptr) {
    if (strcmp(line, kMarkerEnd) == 0) {
      verdict.readable = ferror(stream) == 0 && fgetc(stream) == EOF;
      return verdict;
    }
    if (!TrimLineEnd(line) || !JudgeFileLine(line, &verdict)) return verdict;
  }
  return verdict;
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
                       "Restore the pre-pack database with: QVRESTORE /RESTORE=<that directory>\n"
                       "Keep all nodes offline until it is restored.\n");
  }
  Tee("Its verified backup: %s\n", verdict.backupDir.text);
  return ReportError(counters,
                     "Restore the pre-pack database with: QVRESTORE /RESTORE=%s\n"
                     "Keep all nodes offline until it is restored.\n",
                     verdict.backupDir.text);
}

}  // namespace

bool WriteCommitMarker(const char* markerPath, const LiveSnapshots* live,
                       const LmrInventory* inventory, const PackContext* pack,
                       RunCounters* counters) {
  PathBuffer staged;
  platform::FileIdentity identity{};
  FILE* stream = nullptr;
  if (StagedPathFor(&staged, markerPath)) {
    RegisterCleanup(staged.text);
    stream = CreateFreshFile({staged.text, platform::kInvalidHandle}, &identity);
  }
  FileSnapshot written;
  const bool complete = stream != nullptr && WriteMarkerText(stream, live, inventory, pack);
  if (stream != nullptr && !complete) fclose(stream);
  if (complete && SealWrittenFile(stream, staged.text, identity, &written) &&
      platform::ReplaceFileDurably(staged.text, markerPath, identity) == 0) {
    UnregisterCleanup(staged.text);
    return true;
  }
  if (staged.text[0] != '\0') {
    RemoveFileOrLink(staged.text);
    UnregisterCleanup(staged.text);
  }
  // A rename that happened before its directory flush failed must not leave a
  // marker for a commit that never began.
  RemoveFileOrLink(markerPath);
  return ReportError(counters, "ERROR: cannot write the commit marker %s.\n", markerPath);
}

bool RemoveCommitMarker(const char* markerPath, const char* workDir) {
  return platform::RemoveFile(markerPath) && platform::FlushDirectoryToDisk(workDir);
}

bool ResolveEarlierCommit(const char* markerPath, const char* workDir, RunCounters* counters) {
  platform::EntryKind kind = platform::EntryKind::Missing;
  if (platform::ExamineEntry(markerPath, &kind) == 0 && kind == platform::EntryKind::Missing) {
    return true;
  }
  MarkerVerdict verdict;
  FILE* stream = kind == platform::EntryKind::RegularFile ? fopen(markerPath, "rb") : nullptr;
  if (stream != nullptr) {
    verdict = JudgeMarker(stream);
    fclose(stream);
  }
  if (!verdict.readable || !(verdict.allPacked || verdict.allPrePack)) {
    return AbortOnMixedDatabase(markerPath, verdict, counters);
  }
  Tee("Commit marker:       %s\n", markerPath);
  Tee("An earlier pack's commit was cut short, but the database is whole: %s\n",
      verdict.allPacked ? "every file it replaces holds its packed content (the pack completed)"
                        : "every file it replaces holds its pre-pack content (nothing was replaced)");
  if (!RemoveCommitMarker(markerPath, workDir)) {
    return ReportError(counters, "ERROR: cannot remove the commit marker %s.\n", markerPath);
  }
  Tee("Commit marker removed.\n");
  return true;
}
