#include "cli/file_validation.h"

#include <cinttypes>

#include "base/output.h"
#include "platform/platform.h"
#include "safety/caller_status.h"
#include "safety/snapshot_checks.h"
#include "userdb/user_records.h"

namespace {

constexpr uint64_t kFourGiB = 4294967296ULL;

}  // namespace

namespace {

// A file with a second name (a hard link) would keep its old bytes under that
// name after the pack replaced this one, as a symbolic link's target would.
bool CheckOneName(const char* path, const char* name, RunCounters* counters) {
  uint32_t links = 0;
  const uint32_t error = platform::CountNames(path, &links);
  if (error != 0) {
    return ReportError(counters, "ERROR: cannot count the names of %s%s: %s\n", name,
                       CauseOf(error).text, path);
  }
  if (links <= 1) return true;
  return ReportError(counters,
                     "ERROR: %s has %lu names (hard links); it must have only its own, or the "
                     "others keep the old bytes: %s\n",
                     name, static_cast<unsigned long>(links), path);
}

// Reports and counts what makes the entry at path unfit to be replaced: a link,
// a name that cannot be examined and, with onlyFiles, anything but a regular file.
bool CheckEntry(const char* path, const char* name, bool onlyFiles, RunCounters* counters) {
  platform::EntryKind kind = platform::EntryKind::Missing;
  const uint32_t error = platform::ExamineEntry(path, &kind);
  if (error != 0) {
    return ReportError(counters, "ERROR: cannot examine %s%s: %s\n", name, CauseOf(error).text,
                       path);
  }
  const char* what = kind == platform::EntryKind::SymbolicLink ? "a symbolic link"
                     : !onlyFiles                              ? nullptr
                     : kind == platform::EntryKind::Directory  ? "a directory"
                     : kind == platform::EntryKind::Other      ? "a FIFO, device or socket"
                                                               : nullptr;
  if (what != nullptr) {
    return ReportError(counters, "ERROR: %s is %s; it must be a regular file: %s\n", name, what,
                       path);
  }
  return kind != platform::EntryKind::RegularFile || CheckOneName(path, name, counters);
}

}  // namespace

bool CheckNotLink(const char* path, const char* name, RunCounters* counters) {
  return CheckEntry(path, name, false, counters);
}

bool CheckRegularOrAbsent(const char* path, const char* name, RunCounters* counters) {
  return CheckEntry(path, name, true, counters);
}

namespace {

// A user file that is missing, a link or too large stops validation at once.
bool SizeUserFile(const char* path, const char* name, uint64_t* size, RunCounters* counters) {
  if (!CheckNotLink(path, name, counters)) return false;
  if (!GetRegularFileSize(path, size)) {
    return ReportError(counters, "ERROR: %s not found: %s\n", name, path);
  }
  return true;
}

bool CheckBelowFourGiB(uint64_t size, const char* name, RunCounters* counters) {
  if (size < kFourGiB) return true;
  return ReportError(counters, "ERROR: %s is too large for this 32-bit maintenance utility.\n",
                     name);
}

// The size lines and the structural checks that are all listed before stopping.
void CheckUserFileShapes(uint64_t datSize, uint64_t ptrSize, RunCounters* counters) {
  uint64_t users = datSize / kUserRecordSize;
  uint64_t pointers = ptrSize / kPointerRecordSize;
  unsigned datRemainder = static_cast<unsigned>(datSize % kUserRecordSize);
  unsigned ptrRemainder = static_cast<unsigned>(ptrSize % kPointerRecordSize);
  counters->userRecords = users;
  Tee("QVUSERS.DAT:        %" PRIu64 " bytes = %" PRIu64 " x %u, remainder %u\n", datSize, users,
      kUserRecordSize, datRemainder);
  Tee("QVUSERS.PTR:        %" PRIu64 " bytes = %" PRIu64 " x %u, remainder %u\n", ptrSize, pointers,
      kPointerRecordSize, ptrRemainder);
  if (datRemainder != 0) {
    ReportError(counters, "ERROR: QVUSERS.DAT is not aligned to %u-byte user records.\n",
                kUserRecordSize);
  }
  if (ptrRemainder != 0) {
    ReportError(counters, "ERROR: QVUSERS.PTR is not aligned to %u-byte pointer records.\n",
                kPointerRecordSize);
  }
  if (datSize < kUserRecordSize) {
    ReportError(counters, "ERROR: QVUSERS.DAT contains no complete user records.\n");
  }
  if (pointers != users) {
    ReportError(counters, "ERROR: DAT/PTR user-count mismatch: DAT=%" PRIu64 " PTR=%" PRIu64 ".\n",
                users, pointers);
  }
}

}  // namespace

bool ValidateDatabaseFiles(const RunPaths* paths, RunCounters* counters, LmrInventory* inventory,
                           LiveSnapshots* live) {
  BeginSection("\n==================== FILE VALIDATION ==================\n");
  uint64_t datSize = 0;
  uint64_t ptrSize = 0;
  if (!SizeUserFile(paths->usersDat.text, "QVUSERS.DAT", &datSize, counters)) return false;
  if (!SizeUserFile(paths->usersPtr.text, "QVUSERS.PTR", &ptrSize, counters)) return false;
  if (!CheckBelowFourGiB(datSize, "QVUSERS.DAT", counters)) return false;
  if (!CheckBelowFourGiB(ptrSize, "QVUSERS.PTR", counters)) return false;
  CheckUserFileShapes(datSize, ptrSize, counters);
  if (!AllocateLmrInventory(inventory)) {
    return ReportError(counters, "ERROR: out of memory allocating LMR inventory.\n");
  }
  // The user files are hashed alongside the LMR files, while both are at hand.
  const UserFileSnapshots userFiles{paths->usersDat.text, paths->usersPtr.text, &live->usersDat,
                                    &live->usersPtr, datSize + ptrSize};
  if (!BuildLmrInventory(paths->message.text, inventory, counters, &userFiles)) return false;
  ReportLmrInventory(inventory, counters);
  // The commit would replace every other file first and fail on this one.
  CheckRegularOrAbsent(paths->purgedLog.text, "QVPURGED.USR", counters);
  for (uint32_t i = 0; i < inventory->count; ++i) {
    CheckNotLink(inventory->entries[i].path.text, inventory->entries[i].name, counters);
  }
  if (counters->errors != 0) {
    Tee("\nVALIDATION ABORT: structural errors prevent a trustworthy purge preview.\n");
    return false;
  }
  return true;
}

void VerifyReadOnlySnapshots(LiveSnapshots* live, LmrInventory* inventory,
                             const char* whosOnPath, RunCounters* counters) {
  BeginSection("\n================ SNAPSHOT VERIFICATION ================\n");
  const char* scanned =
      "ERROR: %s changed while it was being scanned. Results are not a consistent snapshot.\n";
  SnapshotCheckList checks{};
  checks.settledStampsVouch = true;
  AddSnapshotCheck(&checks, nullptr, &live->usersDat, "QVUSERS.DAT", scanned, &live->usersDat.read);
  AddSnapshotCheck(&checks, nullptr, &live->usersPtr, "QVUSERS.PTR", scanned, &live->usersPtr.read);
  for (uint32_t i = 0; i < inventory->count; ++i) {
    LmrFileEntry& entry = inventory->entries[i];
    AddSnapshotCheck(&checks, nullptr, &entry.liveSnapshot, entry.name,
                     "ERROR: %s changed during the scan. Results are not a consistent "
                     "snapshot.\n",
                     &entry.liveSnapshot.read);
  }
  AddSnapshotCheck(&checks, nullptr, &live->whosOn, "QVWHOSON.DAT",
                   "ERROR: %s changed during the scan.\n", &live->whosOn.read);
  const bool allMatch = CheckSnapshotsInOrder(&checks, "Verifying", counters);
  bool callersClear = CheckCallerStatus(whosOnPath, counters);
  if (allMatch && callersClear) {
    Tee("Read-only snapshot verification: PASS - all inventoried database files are unchanged.\n");
  }
}
