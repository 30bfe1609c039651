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

// The four streams of the rebuild; null while not open.
struct UserFileStreams {
  FILE* dat;
  FILE* ptr;
  FILE* stagedDat;
  FILE* stagedPtr;
  WritebackPacer datPacer;
  WritebackPacer ptrPacer;
};

// stdio buffers of the four streams, in the order of UserFileStreams.
char g_streamBuffers[4][kStagingStreamBufferSize];

void RemoveStagedUserFiles(const PackContext* pack) {
  DiscardStagedFile(pack->stagedDatPath.text);
  DiscardStagedFile(pack->stagedPtrPath.text);
}

// The common failure exit: the message has been printed already.
bool FailUserFiles(UserFileStreams* streams, const PackContext* pack, RunCounters* counters) {
  counters->errors++;
  CloseIfOpen(&streams->dat);
  CloseIfOpen(&streams->ptr);
  CloseIfOpen(&streams->stagedDat);
  CloseIfOpen(&streams->stagedPtr);
  RemoveStagedUserFiles(pack);
  return false;
}

// Attempts all four opens, so that a failure leaves no doubt which were tried.
bool OpenUserFileStreams(const char* usersDat, const char* usersPtr, const PackContext* pack,
                         UserFileStreams* streams) {
  int firstError = 0;
  streams->dat = OpenStagingStream(usersDat, "rb", &firstError);
  streams->ptr = OpenStagingStream(usersPtr, "rb", &firstError);
  streams->stagedDat = CreateReplacementStream(pack->stagedDatPath.text, &firstError);
  streams->stagedPtr = CreateReplacementStream(pack->stagedPtrPath.text, &firstError);
  FILE* all[4] = {streams->dat, streams->ptr, streams->stagedDat, streams->stagedPtr};
  bool opened = true;
  for (int i = 0; i < 4; ++i) {
    if (all[i] == nullptr) {
      opened = false;
    } else {
      UseStagingBuffer(all[i], g_streamBuffers[i]);
    }
  }
  if (!opened) Tee("ERROR: cannot open QVUSERS source or staged files: %s\n", strerror(firstError));
  return opened;
}

// Copies every retained user record and rebuilds its pointer record from the
// user record itself, so the pair written is consistent by construction.
bool CopyRetainedUsers(UserFileStreams* streams, const PackContext* pack, uint32_t* written) {
  UserRecord user;
  UserPointerRecord pointer;
  for (uint32_t i = 0; i < pack->userCount; ++i) {
    if (!ReadExactly(streams->dat, user.bytes, sizeof user.bytes) ||
        !ReadExactly(streams->ptr, pointer.bytes, sizeof pointer.bytes)) {
      Tee("ERROR: short read while building staged QVUSERS files at record %u.\n", i + 1);
      return false;
    }
    // Purged users are checked too: a mismatch anywhere means the pair of files
    // is not what validation saw, and no part of it may be trusted.
    if (!RecordsCorrespond(user, pointer)) {
      Tee("ERROR: QVUSERS.DAT/PTR name mismatch or invalid Pascal string at user %u.\n", i + 1);
      return false;
    }
    if (pack->purgeMap[i] != 0) continue;
    if (!WriteExactly(streams->stagedDat, user.bytes, kUserRecordSize) ||
        !WriteExactly(streams->stagedPtr, user.bytes, kPointerRecordSize)) {
      Tee("ERROR: write failure while building staged QVUSERS files.\n");
      return false;
    }
    PaceWriteback(streams->stagedDat, &streams->datPacer, kUserRecordSize);
    PaceWriteback(streams->stagedPtr, &streams->ptrPacer, kPointerRecordSize);
    ++*written;
  }
  return true;
}

bool FinalizeUserFileStreams(UserFileStreams* streams) {
  if (ferror(streams->dat) != 0 || ferror(streams->ptr) != 0 ||
      fflush(streams->stagedDat) != 0 || fflush(streams->stagedPtr) != 0) {
    Tee("ERROR: I/O error while finalizing staged QVUSERS files.\n");
    return false;
  }
  return true;
}

// Closes all four, whatever happens to the first ones.
bool CloseUserFileStreams(UserFileStreams* streams) {
  bool closed = CloseStream(&streams->dat);
  closed = CloseStream(&streams->ptr) && closed;
  closed = CloseStream(&streams->stagedDat) && closed;
  closed = CloseStream(&streams->stagedPtr) && closed;
  return closed;
}

bool FlushAndSnapshotStagedUserFiles(PackContext* pack) {
  return FlushFileToDisk(pack->stagedDatPath.text) && FlushFileToDisk(pack->stagedPtrPath.text) &&
         TakeSnapshot(pack->stagedDatPath.text, &pack->stagedDatSnapshot) &&
         TakeSnapshot(pack->stagedPtrPath.text, &pack->stagedPtrSnapshot);
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
  // A staged file of an earlier run is ours to replace; anything else of that
  // name (a directory) is left alone and makes the open below fail.
  RemoveStagedUserFiles(pack);
  RegisterCleanup(pack->stagedDatPath.text);
  RegisterCleanup(pack->stagedPtrPath.text);

  UserFileStreams streams = {};
  if (!OpenUserFileStreams(usersDat, usersPtr, pack, &streams)) {
    return FailUserFiles(&streams, pack, counters);
  }
  uint32_t written = 0;
  if (!CopyRetainedUsers(&streams, pack, &written)) return FailUserFiles(&streams, pack, counters);
  if (written != pack->retainedCount) {
    Tee("ERROR: staged retained-user count mismatch: expected %u, wrote %u.\n",
        pack->retainedCount, written);
    return FailUserFiles(&streams, pack, counters);
  }
  if (!FinalizeUserFileStreams(&streams)) return FailUserFiles(&streams, pack, counters);
  if (!CloseUserFileStreams(&streams)) {
    RemoveStagedUserFiles(pack);
    return false;
  }
  if (!FlushAndSnapshotStagedUserFiles(pack)) {
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

void DiscardStagedFile(const char* path) {
  RemoveIfRegularFile(path);
  UnregisterCleanup(path);
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
