// A verified backup's manifest, written and read back, and the backup checked
// against this home.
#include "backup/backup_manifest.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/parallel_jobs.h"
#include "safety/path_trust.h"
#include "staging/staging.h"
#include "userdb/user_records.h"

namespace {

constexpr const char* kManifestTitle = "QVCULLDB32 VERIFIED BACKUP MANIFEST\r\n";
constexpr const char* kManifestName = "MANIFEST.TXT";
constexpr size_t kManifestLineSize = 1400;
// The names a WORK copy may bear; the first three are in every backup.
constexpr const char* const kWorkFiles[] = {"QVUSERS.DAT", "QVUSERS.PTR", "QVWHOSON.DAT",
                                            "QVPURGED.USR"};
constexpr unsigned kRequiredWorkFiles = 3;

// The KIND line's words, in BackupKind order.
constexpr const char* const kKindWords[] = {"BEFORE-PACK", "BEFORE-RESTORE",
                                            "BEFORE-RESTORE-OF-MIXED-DATABASE"};
constexpr const char* const kKindListed[] = {"pre-pack", "pre-restore", "MIXED"};

// ---- Writing ----------------------------------------------------------------

bool WriteManifestEntry(FILE* stream, const char* area, const char* name,
                        const FileSnapshot* snapshot) {
  char line[kManifestLineSize];
  const int result = FormatBounded(
      line, sizeof line, "%-8s %-20s size=%" PRIu64 " fnv1a64=%016" PRIX64 " source=%s\r\n", area,
      name, snapshot->size, snapshot->hash, snapshot->path.text);
  return FormatComplete(result, sizeof line) && WriteString(stream, line);
}

// "KIND <word>", the line after the title.
bool WriteKindLine(FILE* stream, BackupKind kind) {
  char line[64];
  FormatBounded(line, sizeof line, "KIND %s\r\n", kKindWords[static_cast<int>(kind)]);
  return WriteString(stream, line);
}

// "END <count of entry lines>", written last.
bool WriteEndLine(FILE* stream, uint32_t count) {
  char line[32];
  FormatBounded(line, sizeof line, "END %u\r\n", count);
  return WriteString(stream, line);
}

// ---- Reading ----------------------------------------------------------------

// Removes the CR LF that ends every line; false for a line without one.
bool TrimLineEnd(char* line) {
  const size_t length = strlen(line);
  if (length < 2 || strcmp(line + length - 2, "\r\n") != 0) return false;
  line[length - 2] = '\0';
  return true;
}

bool SameFileName(const char* a, const char* b) {
  return platform::kNamesIgnoreCase ? SameNameIgnoringCase(a, b) : strcmp(a, b) == 0;
}

// One "AREA NAME size=N fnv1a64=H source=PATH" line, its line end removed.
bool ParseEntry(char* line, const char* dir, ManifestEntry* entry) {
  *entry = {};
  int sourceStart = 0;
  if (sscanf(line, "%15s %127s size=%" SCNu64 " fnv1a64=%" SCNx64 " source=%n", entry->area,
             entry->name, &entry->source.size, &entry->source.hash, &sourceStart) != 4 ||
      sourceStart == 0 || line[sourceStart] == '\0' || !BackupMayHold(entry->area, entry->name)) {
    return false;
  }
  PathBuffer areaDir;
  entry->source.ok = true;
  return CopyPath(&entry->source.path, line + sourceStart) &&
         JoinPath(&areaDir, dir, entry->area) && JoinPath(&entry->copy, areaDir.text, entry->name);
}

// An earlier entry of the same file: two lines for one file, or, where the file
// system ignores letter case, two names it would take for one.
bool ListedBefore(const BackupManifest* manifest, const ManifestEntry* entry) {
  for (uint32_t i = 0; i < manifest->count; ++i) {
    const ManifestEntry* earlier = &manifest->entries[i];
    if (strcmp(earlier->area, entry->area) == 0 && SameFileName(earlier->name, entry->name)) {
      return true;
    }
  }
  return false;
}

// Reads one line into line; CutShort at the end of the file or on a line without
// its line end there, Invalid for an overlong line.
ManifestState ReadLine(FILE* stream, char* line, size_t size, unsigned number,
                       MessageBuffer* reason) {
  if (fgets(line, static_cast<int>(size), stream) == nullptr) {
    if (ferror(stream) != 0) {
      FailWith(reason, "MANIFEST.TXT cannot be read");
      return ManifestState::Unreadable;
    }
    FailWith(reason, "MANIFEST.TXT ends before its END line (cut short)");
    return ManifestState::CutShort;
  }
  if (TrimLineEnd(line)) return ManifestState::Complete;
  if (feof(stream) != 0) {
    FailWith(reason, "MANIFEST.TXT line %u is cut short", number);
    return ManifestState::CutShort;
  }
  FailWith(reason, "MANIFEST.TXT line %u is malformed", number);
  return ManifestState::Invalid;
}

ManifestState Invalid(MessageBuffer* reason, const char* format, unsigned number) {
  FailWith(reason, format, number);
  return ManifestState::Invalid;
}

bool ParseKind(const char* line, BackupKind* kind) {
  for (unsigned k = 0; k < sizeof kKindWords / sizeof kKindWords[0]; ++k) {
    char expected[64];
    FormatBounded(expected, sizeof expected, "KIND %s", kKindWords[k]);
    if (strcmp(line, expected) == 0) {
      *kind = static_cast<BackupKind>(k);
      return true;
    }
  }
  return false;
}

// The END line: the count of entries, and nothing after it.
ManifestState CheckEnd(FILE* stream, const char* line, uint32_t count, unsigned number,
                       MessageBuffer* reason) {
  char expected[32];
  FormatBounded(expected, sizeof expected, "END %u", count);
  if (strcmp(line, expected) != 0) {
    return Invalid(reason, "MANIFEST.TXT line %u is an END line that does not count its lines", number);
  }
  if (fgetc(stream) != EOF) {
    return Invalid(reason, "MANIFEST.TXT has lines after its END line (line %u)", number);
  }
  return ManifestState::Complete;
}

ManifestState ReadManifestLines(FILE* stream, const char* dir, BackupManifest* manifest,
                                MessageBuffer* reason) {
  char line[kManifestLineSize];
  ManifestState state = ReadLine(stream, line, sizeof line, 1, reason);
  if (state != ManifestState::Complete) return state;
  if (strncmp(line, kManifestTitle, strlen(kManifestTitle) - 2) != 0 ||
      strlen(line) != strlen(kManifestTitle) - 2) {
    return Invalid(reason, "MANIFEST.TXT line %u is not the manifest title", 1);
  }
  if ((state = ReadLine(stream, line, sizeof line, 2, reason)) != ManifestState::Complete) return state;
  if (!ParseKind(line, &manifest->kind)) {
    return Invalid(reason, "MANIFEST.TXT line %u does not say what the backup was made before", 2);
  }
  for (unsigned number = 3;; ++number) {
    if ((state = ReadLine(stream, line, sizeof line, number, reason)) != ManifestState::Complete) {
      return state;
    }
    if (strncmp(line, "END ", 4) == 0) return CheckEnd(stream, line, manifest->count, number, reason);
    if (manifest->count >= kMaxManifestEntries) {
      return Invalid(reason, "MANIFEST.TXT is too long at line %u", number);
    }
    ManifestEntry* entry = &manifest->entries[manifest->count];
    if (!ParseEntry(line, dir, entry)) {
      return Invalid(reason, "MANIFEST.TXT line %u names no file a backup holds, or is malformed",
                     number);
    }
    if (ListedBefore(manifest, entry)) {
      return Invalid(reason, "MANIFEST.TXT line %u lists a file a line before it lists", number);
    }
    ++manifest->count;
  }
}

// ---- Checking -----------------------------------------------------------------

// One line of what the check found, in the order found; a fault counts.
QV_PRINTF(3, 4) bool Note(BackupVerdict* verdict, bool fault, const char* format, ...) {
  if (verdict->count >= kMaxVerdictLines) {
    verdict->faults += fault ? 1 : 0;
    return !fault;
  }
  VerdictLine* line = &verdict->lines[verdict->count++];
  line->fault = fault;
  va_list args;
  va_start(args, format);
  vsnprintf(line->text, sizeof line->text, format, args);
  va_end(args);
  verdict->faults += fault ? 1 : 0;
  return !fault;
}

void PrintEntry(BackupVerdict* verdict, const ManifestEntry* entry, const char* word,
                const char* detail) {
  Note(verdict, false, "%-6s %-8s %-20s %s\n", word, entry->area, entry->name, detail);
}

// What is wrong with a copy, if anything.
enum class CopyFault { None, Missing, Untrusted, Unreadable, WrongSize, WrongHash };
struct CopyState {
  CopyFault fault;
  platform::EntryTrust trust;
  uint64_t size;
  uint64_t hash;
};

// The copy is a trusted regular file of the listed size and hash, or which of these it is not.
CopyState ExamineCopy(const ManifestEntry* entry, const platform::TrustedAccounts& accounts) {
  CopyState state{CopyFault::None, platform::CheckEntryTrust(entry->copy.text, false, accounts), 0, 0};
  if (state.trust == platform::EntryTrust::Missing) {
    state.fault = CopyFault::Missing;
  } else if (state.trust != platform::EntryTrust::Trusted) {
    state.fault = CopyFault::Untrusted;
  } else if (!HashFileFnv1a64(entry->copy.text, &state.size, &state.hash)) {
    state.fault = CopyFault::Unreadable;
  } else if (state.size != entry->source.size) {
    state.fault = CopyFault::WrongSize;
  } else if (state.hash != entry->source.hash) {
    state.fault = CopyFault::WrongHash;
  }
  return state;
}

constexpr const char* const kCopyFaultText[] = {"", "copy missing", "copy cannot be trusted",
                                                "copy cannot be read", "copy has the wrong size",
                                                "copy has the wrong hash"};

// Prints the copy's fault, if any, and counts it.
bool CheckCopy(const ManifestEntry* entry, const platform::TrustedAccounts& accounts,
               BackupVerdict* verdict) {
  const CopyState state = ExamineCopy(entry, accounts);
  if (state.fault == CopyFault::None) return true;
  PrintEntry(verdict, entry, "BAD", kCopyFaultText[static_cast<int>(state.fault)]);
  switch (state.fault) {
    case CopyFault::Missing:
      return Note(verdict, true, "ERROR: backup copy of %s is missing.\n", entry->name);
    case CopyFault::Untrusted:
      return Note(verdict, true, "ERROR: backup copy of %s cannot be trusted, %s.\n", entry->name,
                         TrustFailureText(state.trust, false));
    case CopyFault::WrongSize:
      return Note(verdict, true,
                         "ERROR: backup copy of %s is %" PRIu64 " bytes; MANIFEST.TXT lists %" PRIu64
                         ".\n",
                         entry->name, state.size, entry->source.size);
    case CopyFault::WrongHash:
      return Note(verdict, true,
                         "ERROR: backup copy of %s has fnv1a64=%016" PRIX64
                         "; MANIFEST.TXT lists %016" PRIX64 ".\n",
                         entry->name, state.hash, entry->source.hash);
    default:
      return Note(verdict, true, "ERROR: backup copy of %s cannot be read.\n", entry->name);
  }
}

// The copy as listed, and its source the live file of that name in this home.
bool CheckEntry(const ManifestEntry* entry, const RunPaths* paths, bool moved,
                const platform::TrustedAccounts& accounts, BackupVerdict* verdict) {
  PathBuffer live;
  const char* areaDir = strcmp(entry->area, "WORK") == 0 ? paths->work.text : paths->message.text;
  // A moved board's copies came from its old directories: their names alone must match.
  if (!JoinPath(&live, areaDir, entry->name) ||
      (!moved && strcmp(live.text, entry->source.path.text) != 0)) {
    PrintEntry(verdict, entry, "BAD", "its source= is not this home's live file");
    return Note(verdict, true, "ERROR: %s was backed up from %s, not from %s.\n", entry->name,
                       entry->source.path.text, live.text);
  }
  if (!CheckCopy(entry, accounts, verdict)) return false;
  char detail[96];
  FormatBounded(detail, sizeof detail, "%" PRIu64 " bytes, fnv1a64=%016" PRIX64,
                entry->source.size, entry->source.hash);
  PrintEntry(verdict, entry, "OK", detail);
  return true;
}

bool CheckRequiredWorkFiles(const BackupManifest* manifest, BackupVerdict* verdict) {
  bool present = true;
  for (unsigned i = 0; i < kRequiredWorkFiles; ++i) {
    if (FindManifestEntry(manifest, "WORK", kWorkFiles[i]) != nullptr) continue;
    present = Note(verdict, true, "ERROR: MANIFEST.TXT lists no WORK %s.\n", kWorkFiles[i]);
  }
  return present;
}

// A backup whose QVUSERS.DAT came from another path is another home's: one
// error says so, instead of one for every file.
bool MadeOfThisHome(const BackupManifest* manifest, const RunPaths* paths, bool moved,
                    BackupVerdict* verdict) {
  const ManifestEntry* dat = FindManifestEntry(manifest, "WORK", "QVUSERS.DAT");
  if (dat == nullptr || strcmp(dat->source.path.text, paths->usersDat.text) == 0) return true;
  if (moved) {
    Note(verdict, false,
         "Moved from:          its QVUSERS.DAT was backed up from %s (/MOVED: the same BBS, moved)\n",
         dat->source.path.text);
    return true;
  }
  return Note(verdict, true,
                     "ERROR: this is a backup of another home: its QVUSERS.DAT was backed up from "
                     "%s, not from %s. If this is the same BBS, moved, add /MOVED.\n",
                     dat->source.path.text, paths->usersDat.text);
}

// The backup holds exactly this home's LMR files: one left out would keep the
// packed numbering after the users are restored.
bool CheckLmrSet(const BackupManifest* manifest, const LmrInventory* live,
                 BackupVerdict* verdict) {
  bool matched = true;
  for (uint32_t i = 0; i < live->count; ++i) {
    if (FindManifestEntry(manifest, "MESSAGE", live->entries[i].name) != nullptr) continue;
    matched = Note(verdict, true, "ERROR: live %s has no copy in this backup.\n",
                          live->entries[i].name);
  }
  for (uint32_t i = 0; i < manifest->count; ++i) {
    const ManifestEntry* entry = &manifest->entries[i];
    if (strcmp(entry->area, "MESSAGE") != 0) continue;
    bool found = false;
    for (uint32_t k = 0; k < live->count && !found; ++k) {
      found = SameFileName(live->entries[k].name, entry->name);
    }
    if (!found) {
      matched = Note(verdict, true, "ERROR: backup copy %s has no live file in this home.\n",
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
  FILE* dat = nullptr;
  FILE* ptr = nullptr;
  platform::OpenRegularForReading(datPath, &dat);
  platform::OpenRegularForReading(ptrPath, &ptr);
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

bool CheckUserPair(const BackupManifest* manifest, BackupVerdict* verdict) {
  const ManifestEntry* dat = FindManifestEntry(manifest, "WORK", "QVUSERS.DAT");
  const ManifestEntry* ptr = FindManifestEntry(manifest, "WORK", "QVUSERS.PTR");
  if (dat == nullptr || ptr == nullptr ||
      UserPairCorresponds(dat->copy.text, ptr->copy.text, dat->source.size, ptr->source.size)) {
    return true;
  }
  return Note(verdict, true,
                     "ERROR: the backup's QVUSERS.DAT and QVUSERS.PTR are not a matching pair.\n");
}

}  // namespace

bool BackupMayHold(const char* area, const char* name) {
  if (strcmp(area, "MESSAGE") == 0) return IsLmrFileName(name);
  if (strcmp(area, "WORK") != 0) return false;
  for (const char* file : kWorkFiles) {
    if (strcmp(name, file) == 0) return true;
  }
  return false;
}

bool WriteManifestText(FILE* stream, const LiveSnapshots* live, const LmrInventory* inventory,
                       const PackContext* pack, RunCounters* counters) {
  uint32_t count = 3;
  if (!WriteString(stream, kManifestTitle) ||
      !WriteKindLine(stream, pack->backupKind) ||
      !WriteManifestEntry(stream, "WORK", "QVUSERS.DAT", &live->usersDat) ||
      !WriteManifestEntry(stream, "WORK", "QVUSERS.PTR", &live->usersPtr) ||
      !WriteManifestEntry(stream, "WORK", "QVWHOSON.DAT", &live->whosOn)) {
    return ReportError(counters, "ERROR: cannot write backup manifest.\n");
  }
  if (pack->purgedLogExisted) {
    if (!WriteManifestEntry(stream, "WORK", "QVPURGED.USR", &pack->purgedLogSnapshot)) {
      return ReportError(counters, "ERROR: cannot write QVPURGED.USR manifest entry.\n");
    }
    ++count;
  }
  for (uint32_t i = 0; i < inventory->count; ++i, ++count) {
    const LmrFileEntry* entry = &inventory->entries[i];
    if (!WriteManifestEntry(stream, "MESSAGE", entry->name, &entry->liveSnapshot)) {
      return ReportError(counters, "ERROR: cannot write %s manifest entry.\n", entry->name);
    }
  }
  if (!WriteEndLine(stream, count)) {
    return ReportError(counters, "ERROR: cannot write backup manifest.\n");
  }
  return true;
}

ManifestState ReadBackupManifest(const char* dir, BackupManifest* manifest, MessageBuffer* reason) {
  manifest->count = 0;
  manifest->kind = BackupKind::BeforePack;
  manifest->entries.reset(new (std::nothrow) ManifestEntry[kMaxManifestEntries]);
  if (!manifest->entries) {
    FailWith(reason, "out of memory reading MANIFEST.TXT");
    return ManifestState::Unreadable;
  }
  PathBuffer path;
  if (!JoinPath(&path, dir, kManifestName)) {
    FailWith(reason, "the path of its MANIFEST.TXT is too long");
    return ManifestState::Invalid;
  }
  // Missing only when the system says so: a failed look says nothing.
  platform::EntryKind kind = platform::EntryKind::Missing;
  const uint32_t examineError = platform::ExamineEntry(path.text, &kind);
  if (examineError != 0) {
    FailWith(reason, "its MANIFEST.TXT cannot be examined%s", CauseOf(examineError).text);
    return ManifestState::Unreadable;
  }
  if (kind == platform::EntryKind::Missing) {
    FailWith(reason, "it has no MANIFEST.TXT");
    return ManifestState::Missing;
  }
  FILE* stream = nullptr;
  const uint32_t openError = kind == platform::EntryKind::RegularFile
                                 ? platform::OpenRegularForReading(path.text, &stream)
                                 : platform::kErrorNotRegularFile;
  if (openError == platform::kErrorNotRegularFile) {
    FailWith(reason, "its MANIFEST.TXT is not a regular file");
    return ManifestState::Invalid;
  }
  if (openError != 0) {
    FailWith(reason, "its MANIFEST.TXT cannot be opened%s", CauseOf(openError).text);
    return ManifestState::Unreadable;
  }
  const ManifestState state = ReadManifestLines(stream, dir, manifest, reason);
  fclose(stream);
  return state;
}

const char* BackupKindWord(BackupKind kind) { return kKindListed[static_cast<int>(kind)]; }

const ManifestEntry* FindManifestEntry(const BackupManifest* manifest, const char* area,
                                       const char* name) {
  for (uint32_t i = 0; i < manifest->count; ++i) {
    const ManifestEntry* entry = &manifest->entries[i];
    if (strcmp(entry->area, area) == 0 && SameFileName(entry->name, name)) return entry;
  }
  return nullptr;
}

bool BackupTreeTrusted(const char* dir, const platform::TrustedAccounts& accounts,
                       MessageBuffer* reason, bool* unexamined) {
  bool ignored = false;
  if (unexamined == nullptr) unexamined = &ignored;
  *unexamined = false;
  PathVerdict verdict;
  if (!PathIsTrusted(dir, true, accounts, &verdict)) {
    *unexamined = verdict.trust == platform::EntryTrust::Unknown;
    char why[kMessageBufferSize];
    DescribeUntrustedPath(verdict, true, why, sizeof why);
    return FailWith(reason, "%s", why);
  }
  const struct {
    const char* name;
    bool isDirectory;
  } kParts[] = {{"WORK", true}, {"MESSAGE", true}, {kManifestName, false}, {"IDENTITY.TXT", false}};
  for (const auto& part : kParts) {
    PathBuffer path;
    if (!JoinPath(&path, dir, part.name)) return FailWith(reason, "its path is too long");
    const platform::EntryTrust trust = platform::CheckEntryTrust(path.text, part.isDirectory, accounts);
    // A missing part is an incomplete backup, which reading it says.
    if (trust != platform::EntryTrust::Trusted && trust != platform::EntryTrust::Missing) {
      *unexamined = trust == platform::EntryTrust::Unknown;
      return FailWith(reason, "%s: %s", TrustFailureText(trust, part.isDirectory), path.text);
    }
  }
  return true;
}

bool InspectBackup(const BackupManifest* manifest, const RunPaths* paths, bool moved,
                   const LmrInventory* live, const platform::TrustedAccounts& accounts,
                   BackupVerdict* verdict) {
  verdict->count = 0;
  verdict->faults = 0;
  verdict->lines.reset(new (std::nothrow) VerdictLine[kMaxVerdictLines]);
  if (!verdict->lines) {
    verdict->faults = 1;
    return false;
  }
  if (manifest->kind == BackupKind::BeforeRestoreOfMix) {
    return Note(verdict, true, "ERROR: this backup holds a mix of packed and pre-pack files.\n");
  }
  if (!MadeOfThisHome(manifest, paths, moved, verdict)) return false;
  bool restorable = true;
  for (uint32_t i = 0; i < manifest->count; ++i) {
    restorable = CheckEntry(&manifest->entries[i], paths, moved, accounts, verdict) && restorable;
  }
  restorable = CheckRequiredWorkFiles(manifest, verdict) && restorable;
  restorable = CheckLmrSet(manifest, live, verdict) && restorable;
  // The pair is read only from copies that are as listed: a bad copy is reported already.
  return restorable && CheckUserPair(manifest, verdict);
}

void FirstFault(const BackupVerdict& verdict, MessageBuffer* fault) {
  for (uint32_t i = 0; i < verdict.count; ++i) {
    if (!verdict.lines[i].fault) continue;
    const char* text = verdict.lines[i].text;
    if (strncmp(text, "ERROR: ", 7) == 0) text += 7;
    FailWith(fault, "%s", text);
    // Without the sentence's end: it goes inside another line.
    size_t length = strlen(fault->text);
    while (length > 0 && (fault->text[length - 1] == '\n' || fault->text[length - 1] == '.')) {
      fault->text[--length] = '\0';
    }
    return;
  }
  FailWith(fault, "%s", verdict.faults > 0 ? "it cannot be checked" : "");
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

namespace {

struct RestoreStaging {
  const BackupManifest* manifest;
  const LiveSnapshots* live;
  LmrInventory* inventory;
  PackContext* pack;
  const ManifestEntry* log;  // the audit log's copy, or null
};

// Step 0 stages QVUSERS.DAT, step 1 QVUSERS.PTR, step i the LMR file i-2, and the
// last step the audit log (when the backup has one).
bool StageOneCopy(uint32_t index, void* context, RunCounters* counters) {
  RestoreStaging* s = static_cast<RestoreStaging*>(context);
  PackContext* pack = s->pack;
  if (index == 0) {
    return StageCopy(FindManifestEntry(s->manifest, "WORK", "QVUSERS.DAT"),
                     s->live->usersDat.path.text, &pack->stagedDatPath, &pack->stagedDatSnapshot,
                     counters);
  }
  if (index == 1) {
    return StageCopy(FindManifestEntry(s->manifest, "WORK", "QVUSERS.PTR"),
                     s->live->usersPtr.path.text, &pack->stagedPtrPath, &pack->stagedPtrSnapshot,
                     counters);
  }
  if (index - 2 < s->inventory->count) {
    LmrFileEntry* entry = &s->inventory->entries[index - 2];
    return StageCopy(FindManifestEntry(s->manifest, "MESSAGE", entry->name), entry->path.text,
                     &entry->stagedPath, &entry->stagedSnapshot, counters);
  }
  return s->log == nullptr || StageCopy(s->log, pack->purgedLogPath.text,
                                        &pack->stagedPurgedLogPath,
                                        &pack->stagedPurgedLogSnapshot, counters);
}

}  // namespace

// The copies are staged side by side as a list, as the pack stages its files: an
// interrupt is held while staged files are made, stops the copies under way between
// blocks, and its clean-up then removes every staged file, none of them open.
bool StageBackupSet(const BackupManifest* manifest, const LiveSnapshots* live,
                    LmrInventory* inventory, PackContext* pack, RunCounters* counters) {
  RestoreStaging staging{manifest, live, inventory, pack,
                         FindManifestEntry(manifest, "WORK", "QVPURGED.USR")};
  pack->removePurgedLog = staging.log == nullptr;
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < manifest->count; ++i) bytes += manifest->entries[i].source.size;
  const JobList jobs{inventory->count + 3, StageOneCopy, &staging, AfterFailure::StopThere,
                     kWritingThreads, "Staging", bytes};
  return RunJobsInOrder(jobs, counters);
}
