// The staged QVPURGED.USR: the existing audit log, copied and verified, plus
// one block naming every caller this pack removes.
#include <cstring>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
#include "base/run_options.h"
#include "platform/platform.h"
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

// Both streams of the step. When the step fails the staged file goes too, even
// when it holds only the verified copy of the old log.
struct AuditStreams {
  StagingStreams all;
  StagingStream* users;
  StagingStream* staged;
};

bool BuildPurgedLogPaths(const char* workDir, PackContext* pack) {
  if (!JoinPath(&pack->purgedLogPath, workDir, "QVPURGED.USR")) {
    pack->purgedLogPath.text[0] = '\0';
    return false;
  }
  return StagedPathFor(&pack->stagedPurgedLogPath, pack->purgedLogPath.text);
}

// The old log is carried over byte for byte into the staged file, proved equal
// to its snapshot through the staged file's own stream, which then stands at
// its end for the new block.
bool CopyExistingLog(PackContext* pack, FILE* staged) {
  if (!TakeSnapshot(pack->purgedLogPath.text, &pack->purgedLogSnapshot)) return false;
  FILE* old = nullptr;
  if (platform::OpenRegularForReading(pack->purgedLogPath.text, &old) != 0) return false;
  const bool copied = CopyStream(old, staged);
  const bool closed = fclose(old) == 0;
  FileSnapshot copy = {};
  return copied && closed && fflush(staged) == 0 && HashStream(staged, &copy) &&
         copy.size == pack->purgedLogSnapshot.size && copy.hash == pack->purgedLogSnapshot.hash &&
         fseek(staged, 0, SEEK_END) == 0;
}

bool OpenAuditStreams(const char* usersDat, PackContext* pack, AuditStreams* streams,
                      RunCounters* counters) {
  streams->users = OpenStagingInput(&streams->all, usersDat);
  // A new log is one more file of the user database: it gets QVUSERS.DAT's owner and
  // mode, never those of the account that runs the pack.
  const char* accessModel = pack->purgedLogExisted ? pack->purgedLogPath.text : usersDat;
  streams->staged =
      OpenStagingOutput(&streams->all, pack->stagedPurgedLogPath.text, accessModel);
  // With an existing log the staged file is its verified copy: not made, it is that copy that failed.
  if (pack->purgedLogExisted && streams->staged->file == nullptr) {
    return ReportError(counters,
                       "ERROR: cannot create verified staged copy of existing QVPURGED.USR.\n");
  }
  if (streams->users->file == nullptr || streams->staged->file == nullptr) {
    return ReportError(counters, "ERROR: cannot open files while staging QVPURGED.USR%s.\n",
                       OpenFailureText(&streams->all));
  }
  if (pack->purgedLogExisted && !CopyExistingLog(pack, streams->staged->file)) {
    return ReportError(counters,
                       "ERROR: cannot create verified staged copy of existing QVPURGED.USR.\n");
  }
  UseStagingBuffer(streams->users);
  return true;
}

bool WriteAuditHeading(FILE* staged, const char* runDate, const char* runTime,
                       RunCounters* counters) {
  char heading[kAuditTextSize];
  // A heading that did not fit is not written at all: a cut one would read as
  // a complete block.
  const int result = FormatBounded(heading, sizeof heading, kAuditHeadingFormat, kProgramName,
                                   kProgramVersion, runDate, runTime);
  if (!FormatComplete(result, sizeof heading) || !WriteString(staged, heading)) {
    // A cut heading is no failed call: it has no cause to name.
    return ReportError(counters, "ERROR: cannot write QVPURGED.USR heading%s.\n",
                       FormatComplete(result, sizeof heading) ? CauseOfStreamFailure().text : "");
  }
  return true;
}

bool HasValidAuditFields(const UserRecord& user) {
  return UserName(user).length <= kNameCapacity &&
         CallingFrom(user).length <= kCallingFromCapacity &&
         TimeDate(user).length <= kTimeDateCapacity;
}

// One line for a purged user; userNumber names it in the messages.
bool WriteAuditLine(FILE* staged, const UserRecord& user, uint32_t userNumber,
                    RunCounters* counters) {
  char name[kNameCapacity + 1];
  char timeDate[kTimeDateCapacity + 1];
  char callingFrom[kCallingFromCapacity + 1];
  DisplayText(UserName(user), kNameCapacity, name);
  DisplayText(TimeDate(user), kTimeDateCapacity, timeDate);
  DisplayText(CallingFrom(user), kCallingFromCapacity, callingFrom);
  if (!HasValidAuditFields(user)) {
    return ReportError(counters,
                       "ERROR: invalid Pascal string while staging purge audit for user %u.\n",
                       userNumber);
  }
  char line[kAuditTextSize];
  const int result = FormatBounded(line, sizeof line, kAuditLineFormat, name,
                                   static_cast<int>(Security(user)), timeDate, callingFrom);
  if (!FormatComplete(result, sizeof line) || !WriteString(staged, line)) {
    return ReportError(counters, "ERROR: cannot append purge-audit entry for user %u%s.\n",
                       userNumber,
                       FormatComplete(result, sizeof line) ? CauseOfStreamFailure().text : "");
  }
  return true;
}

// Reads every record of QVUSERS.DAT and lists the purged ones in user order.
bool WriteAuditEntries(AuditStreams* streams, const PackContext* pack, RunCounters* counters) {
  UserRecord user;
  for (uint32_t i = 0; i < pack->userCount; ++i) {
    if (!ReadExactly(streams->users, user.bytes, sizeof user.bytes)) {
      return ReportError(counters, "ERROR: short read while staging QVPURGED.USR.\n");
    }
    if (pack->purgeMap[i] == 0) continue;
    if (!WriteAuditLine(streams->staged->file, user, i + 1, counters)) return false;
  }
  return true;
}

// The heading and every entry written, the streams finished, the staged file
// hashed and closed.
bool WriteStagedLog(const char* usersDat, const char* runDate, const char* runTime,
                    PackContext* pack, RunCounters* counters) {
  AuditStreams streams;
  if (!OpenAuditStreams(usersDat, pack, &streams, counters) ||
      !WriteAuditHeading(streams.staged->file, runDate, runTime, counters) ||
      !WriteAuditEntries(&streams, pack, counters)) {
    return false;
  }
  if (!FinishStagingStreams(&streams.all)) {
    return ReportError(counters, "ERROR: I/O error while finalizing staged QVPURGED.USR%s.\n",
                       CauseOfStreamFailure().text);
  }
  if (!SnapshotStagedOutput(streams.staged, &pack->stagedPurgedLogSnapshot) ||
      !CloseStagingStreams(&streams.all)) {
    return ReportError(counters, "ERROR: staged QVPURGED.USR verification failed.\n");
  }
  return true;
}

}  // namespace

uint64_t AuditBlockBytesAtMost(uint32_t purgeCount) {
  // kAuditLineFormat's fields at their widest: a security level fits in 8 digits.
  constexpr uint64_t kLineBytes = kNameCapacity + 2 + 8 + 2 + kTimeDateCapacity + 2 +
                                  kCallingFromCapacity + 2;
  return kAuditTextSize + purgeCount * kLineBytes;
}

bool BuildStagedPurgedLog(const char* usersDat, const char* workDir, const char* runDate,
                          const char* runTime, PackContext* pack, RunCounters* counters) {
  if (!BuildPurgedLogPaths(workDir, pack)) {
    return ReportError(counters, "ERROR: QVPURGED.USR path is too long.\n");
  }
  pack->purgedLogExisted = IsRegularFile(pack->purgedLogPath.text);
  pack->purgedLogSnapshot = {};
  RegisterCleanup(pack->stagedPurgedLogPath.text);
  if (!WriteStagedLog(usersDat, runDate, runTime, pack, counters)) return false;
  Tee("Staged QVPURGED.USR: audit entries appended and verified.\n");
  return true;
}
