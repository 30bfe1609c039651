// The staged QVPURGED.USR: the existing audit log, copied and verified, plus
// one block naming every caller this pack removes.
#include <cstring>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
#include "base/run_options.h"
#include "safety/file_snapshot.h"
#include "staging/staging.h"
#include "staging/staging_streams.h"
#include "userdb/user_records.h"

namespace {

constexpr size_t kAuditTextSize = 512;

constexpr const char* kAuditHeadingFormat =
    "\r\n%s %s packed on %s at %s\r\n"
    "CALLER NAME                    SECURITY  LAST CALLED     CALLING FROM\r\n"
    "-------------------------------------------------------------------------------\r\n";
constexpr const char* kAuditLineFormat = "%-30s  %8d  %-14s  %s\r\n";

char g_usersStreamBuffer[kStagingStreamBufferSize];

// Both streams of the step; null while not open.
struct AuditStreams {
  FILE* users;
  FILE* staged;
};

// The common failure exit: the message has been printed already. The staged
// file goes too, even when it holds only the verified copy of the old log.
bool FailPurgedLog(AuditStreams* streams, const PackContext* pack, RunCounters* counters) {
  counters->errors++;
  CloseIfOpen(&streams->users);
  CloseIfOpen(&streams->staged);
  DiscardStagedFile(pack->stagedPurgedLogPath.text);
  return false;
}

bool BuildPurgedLogPaths(const char* workDir, PackContext* pack) {
  if (!JoinPath(&pack->purgedLogPath, workDir, "QVPURGED.USR")) {
    pack->purgedLogPath.text[0] = '\0';
    return false;
  }
  return StagedPathFor(&pack->stagedPurgedLogPath, pack->purgedLogPath.text);
}

// The old log is carried over byte for byte, proved equal to its snapshot.
bool StageExistingLog(PackContext* pack) {
  return TakeSnapshot(pack->purgedLogPath.text, &pack->purgedLogSnapshot) &&
         CopyFileVerified(pack->purgedLogPath.text, pack->stagedPurgedLogPath.text,
                          &pack->purgedLogSnapshot);
}

bool OpenAuditStreams(const char* usersDat, const PackContext* pack, AuditStreams* streams) {
  int firstError = 0;
  streams->users = OpenStagingStream(usersDat, "rb", &firstError);
  streams->staged = OpenStagingStream(pack->stagedPurgedLogPath.text,
                                      pack->purgedLogExisted ? "ab" : "wb", &firstError);
  if (streams->users == nullptr || streams->staged == nullptr) {
    Tee("ERROR: cannot open files while staging QVPURGED.USR: %s\n", strerror(firstError));
    return false;
  }
  UseStagingBuffer(streams->users, g_usersStreamBuffer);
  return true;
}

bool WriteAuditHeading(FILE* staged, const char* runDate, const char* runTime) {
  char heading[kAuditTextSize];
  // A heading that did not fit is not written at all: a cut one would read as
  // a complete block.
  const int result = FormatBounded(heading, sizeof heading, kAuditHeadingFormat, kProgramName,
                                   kProgramVersion, runDate, runTime);
  if (!FormatComplete(result, sizeof heading) || !WriteString(staged, heading)) {
    Tee("ERROR: cannot write QVPURGED.USR heading.\n");
    return false;
  }
  return true;
}

bool HasValidAuditFields(const UserRecord& user) {
  return UserName(user).length <= kNameCapacity &&
         CallingFrom(user).length <= kCallingFromCapacity &&
         TimeDate(user).length <= kTimeDateCapacity;
}

// One line for a purged user; userNumber names it in the messages.
bool WriteAuditLine(FILE* staged, const UserRecord& user, uint32_t userNumber) {
  char name[kNameCapacity + 1];
  char timeDate[kTimeDateCapacity + 1];
  char callingFrom[kCallingFromCapacity + 1];
  DisplayText(UserName(user), kNameCapacity, name);
  DisplayText(TimeDate(user), kTimeDateCapacity, timeDate);
  DisplayText(CallingFrom(user), kCallingFromCapacity, callingFrom);
  if (!HasValidAuditFields(user)) {
    Tee("ERROR: invalid Pascal string while staging purge audit for user %u.\n", userNumber);
    return false;
  }
  char line[kAuditTextSize];
  const int result = FormatBounded(line, sizeof line, kAuditLineFormat, name,
                                   static_cast<int>(Security(user)), timeDate, callingFrom);
  if (!FormatComplete(result, sizeof line) || !WriteString(staged, line)) {
    Tee("ERROR: cannot append purge-audit entry for user %u.\n", userNumber);
    return false;
  }
  return true;
}

// Reads every record of QVUSERS.DAT and lists the purged ones in user order.
bool WriteAuditEntries(AuditStreams* streams, const PackContext* pack) {
  UserRecord user;
  for (uint32_t i = 0; i < pack->userCount; ++i) {
    if (!ReadExactly(streams->users, user.bytes, sizeof user.bytes)) {
      Tee("ERROR: short read while staging QVPURGED.USR.\n");
      return false;
    }
    if (pack->purgeMap[i] == 0) continue;
    if (!WriteAuditLine(streams->staged, user, i + 1)) return false;
  }
  return true;
}

bool FinalizeAuditStreams(AuditStreams* streams) {
  if (ferror(streams->users) != 0 || fflush(streams->staged) != 0) {
    Tee("ERROR: I/O error while finalizing staged QVPURGED.USR.\n");
    return false;
  }
  return true;
}

bool CloseAuditStreams(AuditStreams* streams) {
  const bool usersClosed = CloseStream(&streams->users);
  const bool stagedClosed = CloseStream(&streams->staged);
  return usersClosed && stagedClosed;
}

}  // namespace

bool BuildStagedPurgedLog(const char* usersDat, const char* workDir, const char* runDate,
                          const char* runTime, PackContext* pack, RunCounters* counters) {
  if (!BuildPurgedLogPaths(workDir, pack)) {
    return ReportError(counters, "ERROR: QVPURGED.USR path is too long.\n");
  }
  pack->purgedLogExisted = IsRegularFile(pack->purgedLogPath.text);
  memset(&pack->purgedLogSnapshot, 0, sizeof pack->purgedLogSnapshot);
  RemoveIfRegularFile(pack->stagedPurgedLogPath.text);
  RegisterCleanup(pack->stagedPurgedLogPath.text);
  if (pack->purgedLogExisted && !StageExistingLog(pack)) {
    // A copy that was written but does not match stays for the end-of-run cleanup.
    return ReportError(counters,
                       "ERROR: cannot create verified staged copy of existing QVPURGED.USR.\n");
  }

  AuditStreams streams = {};
  if (!OpenAuditStreams(usersDat, pack, &streams)) return FailPurgedLog(&streams, pack, counters);
  if (!WriteAuditHeading(streams.staged, runDate, runTime) ||
      !WriteAuditEntries(&streams, pack) || !FinalizeAuditStreams(&streams)) {
    return FailPurgedLog(&streams, pack, counters);
  }
  if (!CloseAuditStreams(&streams)) {
    DiscardStagedFile(pack->stagedPurgedLogPath.text);
    return false;
  }
  if (!FlushFileToDisk(pack->stagedPurgedLogPath.text) ||
      !TakeSnapshot(pack->stagedPurgedLogPath.text, &pack->stagedPurgedLogSnapshot)) {
    ReportError(counters, "ERROR: staged QVPURGED.USR verification failed.\n");
    DiscardStagedFile(pack->stagedPurgedLogPath.text);
    return false;
  }
  Tee("Staged QVPURGED.USR: audit entries appended and verified.\n");
  return true;
}
