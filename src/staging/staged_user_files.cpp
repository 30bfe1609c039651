// The staged QVUSERS.DAT and QVUSERS.PTR, and the removal of staged files that
// are left at the end of a write run.
#include <cstdint>
#include <cstring>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
#include "safety/file_snapshot.h"
#include "staging/staging.h"
#include "staging/staging_streams.h"
#include "userdb/user_records.h"

namespace {

// The four streams of the rebuild, in the order they are opened.
struct UserFileStreams {
  StagingStreams all;
  StagingStream* dat;
  StagingStream* ptr;
  StagingStream* stagedDat;
  StagingStream* stagedPtr;
};

void RemoveStagedUserFiles(const PackContext* pack) {
  DiscardStagedFile(pack->stagedDatPath.text);
  DiscardStagedFile(pack->stagedPtrPath.text);
}

// Attempts all four opens, so that a failure leaves no doubt which were tried.
bool OpenUserFileStreams(const char* usersDat, const char* usersPtr, const PackContext* pack,
                         UserFileStreams* streams, RunCounters* counters) {
  streams->dat = OpenStagingInput(&streams->all, usersDat);
  streams->ptr = OpenStagingInput(&streams->all, usersPtr);
  streams->stagedDat = OpenStagingOutput(&streams->all, pack->stagedDatPath.text, usersDat);
  streams->stagedPtr = OpenStagingOutput(&streams->all, pack->stagedPtrPath.text, usersPtr);
  bool opened = true;
  for (StagingStream* stream :
       {streams->dat, streams->ptr, streams->stagedDat, streams->stagedPtr}) {
    opened = stream->file != nullptr && opened;
    UseStagingBuffer(stream);
  }
  if (opened) return true;
  return ReportError(counters, "ERROR: cannot open QVUSERS source or staged files%s.\n",
                     OpenFailureText(&streams->all));
}

// Copies every retained user record and rebuilds its pointer record from the
// user record itself, so the pair written is consistent by construction.
bool CopyRetainedUsers(UserFileStreams* streams, const PackContext* pack, uint32_t* written,
                       RunCounters* counters) {
  UserRecord user{};
  UserPointerRecord pointer{};
  for (uint32_t i = 0; i < pack->userCount; ++i) {
    if (!ReadExactly(streams->dat, user.bytes, sizeof user.bytes) ||
        !ReadExactly(streams->ptr, pointer.bytes, sizeof pointer.bytes)) {
      return ReportError(
          counters, "ERROR: short read while building staged QVUSERS files at record %u.\n", i + 1);
    }
    // Purged users are checked too: a mismatch anywhere means the pair of files
    // is not what validation saw, and no part of it may be trusted.
    if (!RecordsCorrespond(user, pointer)) {
      return ReportError(
          counters, "ERROR: QVUSERS.DAT/PTR name mismatch or invalid Pascal string at user %u.\n",
          i + 1);
    }
    if (pack->purgeMap[i] != 0) continue;
    if (!WriteStaged(streams->stagedDat, user.bytes, kUserRecordSize) ||
        !WriteStaged(streams->stagedPtr, user.bytes, kPointerRecordSize)) {
      return ReportError(counters, "ERROR: write failure while building staged QVUSERS files%s.\n",
                         CauseOfStreamFailure().text);
    }
    ++*written;
  }
  return true;
}

bool SnapshotStagedUserFiles(UserFileStreams* streams, PackContext* pack) {
  return SnapshotStagedOutput(streams->stagedDat, &pack->stagedDatSnapshot) &&
         SnapshotStagedOutput(streams->stagedPtr, &pack->stagedPtrSnapshot);
}

bool StagedUserFileSizesMatch(const PackContext* pack) {
  const uint64_t retained = pack->retainedCount;
  return pack->stagedDatSnapshot.size == retained * kUserRecordSize &&
         pack->stagedPtrSnapshot.size == retained * kPointerRecordSize;
}

void RemoveStagedFile(const char* path) {
  if (path[0] != '\0') DiscardStagedFile(path);
}

}  // namespace

bool BuildStagedUserFiles(const char* usersDat, const char* usersPtr, PackContext* pack,
                          RunCounters* counters) {
  if (!StagedPathFor(&pack->stagedDatPath, usersDat) ||
      !StagedPathFor(&pack->stagedPtrPath, usersPtr)) {
    return ReportError(counters, "ERROR: staged QVUSERS path is too long.\n");
  }
  // A staged file of an earlier run goes when its name is made afresh below;
  // anything else of that name (a directory) is left alone and fails the create.
  RegisterCleanup(pack->stagedDatPath.text);
  RegisterCleanup(pack->stagedPtrPath.text);

  UserFileStreams streams;
  uint32_t written = 0;
  if (!OpenUserFileStreams(usersDat, usersPtr, pack, &streams, counters) ||
      !CopyRetainedUsers(&streams, pack, &written, counters)) {
    return false;
  }
  if (written != pack->retainedCount) {
    return ReportError(counters,
                       "ERROR: staged retained-user count mismatch: expected %u, wrote %u.\n",
                       pack->retainedCount, written);
  }
  if (!FinishStagingStreams(&streams.all)) {
    return ReportError(counters, "ERROR: I/O error while finalizing staged QVUSERS files%s.\n",
                       CauseOfStreamFailure().text);
  }
  if (!SnapshotStagedUserFiles(&streams, pack) || !CloseStagingStreams(&streams.all)) {
    ReportError(counters, "ERROR: cannot flush or hash staged QVUSERS files.\n");
    RemoveStagedUserFiles(pack);
    return false;
  }
  if (!StagedUserFileSizesMatch(pack)) {
    // The files stay for the end-of-run cleanup.
    return ReportError(counters, "ERROR: staged QVUSERS file size verification failed.\n");
  }
  Tee("Staged QVUSERS.DAT: %u retained record(s), verified.\n", pack->retainedCount);
  Tee("Staged QVUSERS.PTR: %u rebuilt pointer record(s), verified.\n", pack->retainedCount);
  return true;
}

void RemoveStagedFiles(const PackContext* pack, const LmrInventory* inventory) {
  RemoveStagedFile(pack->stagedDatPath.text);
  RemoveStagedFile(pack->stagedPtrPath.text);
  RemoveStagedFile(pack->stagedPurgedLogPath.text);
  if (inventory == nullptr || inventory->entries == nullptr) return;
  for (uint32_t i = 0; i < inventory->count; ++i) {
    RemoveStagedFile(inventory->entries[i].stagedPath.text);
  }
}
