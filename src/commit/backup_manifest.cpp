// A verified backup read back and checked against this home.
#include "commit/backup_manifest.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "staging/staging.h"
#include "userdb/user_records.h"

namespace {

constexpr const char* kManifestTitle = "QVCULLDB32 VERIFIED BACKUP MANIFEST\r\n";
constexpr size_t kManifestLineSize = 1400;
constexpr const char* const kWorkFiles[] = {"QVUSERS.DAT", "QVUSERS.PTR", "QVWHOSON.DAT"};

// One "AREA NAME size=N fnv1a64=H source=PATH" line, its line end removed.
bool ParseEntry(char* line, const char* dir, ManifestEntry* entry) {
  *entry = {};
  int sourceStart = 0;
  if (sscanf(line, "%15s %127s size=%" SCNu64 " fnv1a64=%" SCNx64 " source=%n", entry->area,
             entry->name, &entry->source.size, &entry->source.hash, &sourceStart) != 4 ||
      sourceStart == 0 || line[sourceStart] == '\0' ||
      !(strcmp(entry->area, "WORK") == 0 || strcmp(entry->area, "MESSAGE") == 0)) {
    return false;
  }
  PathBuffer areaDir;
  entry->source.ok = true;
  return CopyPath(&entry->source.path, line + sourceStart) &&
         JoinPath(&areaDir, dir, entry->area) && JoinPath(&entry->copy, areaDir.text, entry->name);
}

// Removes the CR LF that ends every line; false for a line cut short.
bool TrimLineEnd(char* line) {
  const size_t length = strlen(line);
  if (length < 2 || strcmp(line + length - 2, "\r\n") != 0) return false;
  line[length - 2] = '\0';
  return true;
}

bool ReadEntries(FILE* stream, const char* dir, BackupManifest* manifest, MessageBuffer* reason) {
  char line[kManifestLineSize];
  if (fgets(line, sizeof line, stream) == nullptr || strcmp(line, kManifestTitle) != 0) {
    return FailWith(reason, "MANIFEST.TXT has no manifest title line");
  }
  while (fgets(line, sizeof line, stream) != nullptr) {
    if (manifest->count >= kMaxManifestEntries) return FailWith(reason, "MANIFEST.TXT is too long");
    if (!TrimLineEnd(line) || !ParseEntry(line, dir, &manifest->entries[manifest->count])) {
      return FailWith(reason, "MANIFEST.TXT line %u is malformed or cut short",
                      manifest->count + 2);
    }
    ++manifest->count;
  }
  if (ferror(stream) != 0) return FailWith(reason, "MANIFEST.TXT cannot be read");
  return true;
}

void PrintEntry(const ManifestEntry* entry, const char* verdict, const char* detail) {
  Tee("%-6s %-8s %-20s %s\n", verdict, entry->area, entry->name, detail);
}

// The copy as listed, and its source the live file of that name in this home.
bool CheckEntry(const ManifestEntry* entry, const RunPaths* paths, RunCounters* counters) {
  PathBuffer live;
  const char* areaDir = strcmp(entry->area, "WORK") == 0 ? paths->work.text : paths->message.text;
  if (!JoinPath(&live, areaDir, entry->name) || strcmp(live.text, entry->source.path.text) != 0) {
    PrintEntry(entry, "BAD", "its source= is not this home's live file");
    return ReportError(counters, "ERROR: %s was backed up from %s, not from %s.\n", entry->name,
                       entry->source.path.text, live.text);
  }
  if (!FileMatchesSnapshot(entry->copy.text, &entry->source)) {
    PrintEntry(entry, "BAD", "copy missing, or not the size and hash the manifest lists");
    return ReportError(counters, "ERROR: backup copy of %s does not match MANIFEST.TXT.\n",
                       entry->name);
  }
  char detail[96];
  FormatBounded(detail, sizeof detail, "%" PRIu64 " bytes, fnv1a64=%016" PRIX64,
                entry->source.size, entry->source.hash);
  PrintEntry(entry, "OK", detail);
  return true;
}

bool CheckRequiredWorkFiles(const BackupManifest* manifest, RunCounters* counters) {
  bool present = true;
  for (const char* name : kWorkFiles) {
    if (FindManifestEntry(manifest, "WORK", name) != nullptr) continue;
    present = ReportError(counters, "ERROR: MANIFEST.TXT lists no WORK %s.\n", name);
  }
  return present;
}

// The backup holds exactly this home's LMR files: one left out would keep the
// packed numbering after the users are restored.
bool CheckLmrSet(const BackupManifest* manifest, const LmrInventory* live,
                 RunCounters* counters) {
  bool matched = true;
  for (uint32_t i = 0; i < live->count; ++i) {
    if (FindManifestEntry(manifest, "MESSAGE", live->entries[i].name) != nullptr) continue;
    matched = ReportError(counters, "ERROR: live %s has no copy in this backup.\n",
                          live->entries[i].name);
  }
  for (uint32_t i = 0; i < manifest->count; ++i) {
    const ManifestEntry* entry = &manifest->entries[i];
    if (strcmp(entry->area, "MESSAGE") != 0) continue;
    bool found = false;
    for (uint32_t k = 0; k < live->count && !found; ++k) {
      found = SameNameIgnoringCase(live->entries[k].name, entry->name);
    }
    if (!found) {
      matched = ReportError(counters, "ERROR: backup copy %s has no live file in this home.\n",
                            entry->name);
    }
  }
  return matched;
}

// Every user record of the backup's QVUSERS.DAT with its pointer record.
bool UserPairCorresponds(const char* datPath, const char* ptrPath, uint64_t datSize,
                         uint64_t ptrSize) {
  const uint64_t users = datSize / kUserRecordSize;
  if (datSize % kUserRecordSize != 0 || ptrSize != users * kPointerRecordSize) return false;
  FILE* dat = fopen(datPath, "rb");
  FILE* ptr = fopen(ptrPath, "rb");
  bool corresponds = dat != nullptr && ptr != nullptr;
  UserRecord user;
  UserPointerRecord pointer;
  for (uint64_t i = 0; corresponds && i < users; ++i) {
    corresponds = fread(user.bytes, 1, sizeof user.bytes, dat) == sizeof user.bytes &&
                  fread(pointer.bytes, 1, sizeof pointer.bytes, ptr) == sizeof pointer.bytes &&
                  RecordsCorrespond(user, pointer);
  }
  if (dat != nullptr) fclose(dat);
  if (ptr != nullptr) fclose(ptr);
  return corresponds;
}

bool CheckUserPair(const BackupManifest* manifest, RunCounters* counters) {
  const ManifestEntry* dat = FindManifestEntry(manifest, "WORK", "QVUSERS.DAT");
  const ManifestEntry* ptr = FindManifestEntry(manifest, "WORK", "QVUSERS.PTR");
  if (dat == nullptr || ptr == nullptr ||
      UserPairCorresponds(dat->copy.text, ptr->copy.text, dat->source.size, ptr->source.size)) {
    return true;
  }
  return ReportError(counters,
                     "ERROR: the backup's QVUSERS.DAT and QVUSERS.PTR are not a matching pair.\n");
}

}  // namespace

bool ReadBackupManifest(const char* dir, BackupManifest* manifest, MessageBuffer* reason) {
  manifest->count = 0;
  manifest->entries.reset(new (std::nothrow) ManifestEntry[kMaxManifestEntries]);
  if (!manifest->entries) return FailWith(reason, "out of memory reading MANIFEST.TXT");
  PathBuffer path;
  if (!JoinPath(&path, dir, "MANIFEST.TXT")) return FailWith(reason, "the path is too long");
  FILE* stream = fopen(path.text, "rb");
  if (stream == nullptr) return FailWith(reason, "it has no MANIFEST.TXT (an incomplete backup)");
  const bool read = ReadEntries(stream, dir, manifest, reason);
  fclose(stream);
  return read;
}

const ManifestEntry* FindManifestEntry(const BackupManifest* manifest, const char* area,
                                       const char* name) {
  for (uint32_t i = 0; i < manifest->count; ++i) {
    const ManifestEntry* entry = &manifest->entries[i];
    if (strcmp(entry->area, area) == 0 && SameNameIgnoringCase(entry->name, name)) return entry;
  }
  return nullptr;
}

bool CheckBackupSet(const BackupManifest* manifest, const RunPaths* paths,
                    const LmrInventory* live, RunCounters* counters) {
  bool restorable = true;
  for (uint32_t i = 0; i < manifest->count; ++i) {
    restorable = CheckEntry(&manifest->entries[i], paths, counters) && restorable;
  }
  restorable = CheckRequiredWorkFiles(manifest, counters) && restorable;
  restorable = CheckLmrSet(manifest, live, counters) && restorable;
  // The pair is read only from copies that are as listed: a bad copy is reported already.
  return restorable && CheckUserPair(manifest, counters);
}

namespace {

// One copy to its staged name, registered for the interrupt clean-up.
bool StageCopy(const ManifestEntry* entry, const char* livePath, PathBuffer* staged,
               FileSnapshot* snapshot, RunCounters* counters) {
  if (entry != nullptr && StagedPathFor(staged, livePath)) {
    RegisterCleanup(staged->text);
    if (CopyFileVerified(entry->copy.text, {staged->text, platform::kInvalidHandle},
                         &entry->source, snapshot)) {
      Tee("Staged %-16s %" PRIu64 " bytes from the backup, verified.\n", entry->name,
          snapshot->size);
      return true;
    }
    DiscardStagedFile(staged->text);
  }
  return ReportError(counters, "ERROR: cannot stage a verified copy of %s.\n",
                     entry != nullptr ? entry->name : livePath);
}

}  // namespace

bool StageBackupSet(const BackupManifest* manifest, const LiveSnapshots* live,
                    LmrInventory* inventory, PackContext* pack, RunCounters* counters) {
  if (!StageCopy(FindManifestEntry(manifest, "WORK", "QVUSERS.DAT"), live->usersDat.path.text,
                 &pack->stagedDatPath, &pack->stagedDatSnapshot, counters) ||
      !StageCopy(FindManifestEntry(manifest, "WORK", "QVUSERS.PTR"), live->usersPtr.path.text,
                 &pack->stagedPtrPath, &pack->stagedPtrSnapshot, counters)) {
    return false;
  }
  for (uint32_t i = 0; i < inventory->count; ++i) {
    LmrFileEntry* entry = &inventory->entries[i];
    if (!StageCopy(FindManifestEntry(manifest, "MESSAGE", entry->name), entry->path.text,
                   &entry->stagedPath, &entry->stagedSnapshot, counters)) {
      return false;
    }
  }
  const ManifestEntry* log = FindManifestEntry(manifest, "WORK", "QVPURGED.USR");
  pack->removePurgedLog = log == nullptr;
  return log == nullptr || StageCopy(log, pack->purgedLogPath.text, &pack->stagedPurgedLogPath,
                                     &pack->stagedPurgedLogSnapshot, counters);
}
