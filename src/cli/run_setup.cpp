// The steps every run of either program begins and ends with.
#include "cli/run_setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "platform/platform.h"
#include "safety/shared_lock.h"

void ReadRunClock(RunClock* clock) {
  time_t now = time(nullptr);
  const struct tm* local = localtime(&now);
  if (local != nullptr) clock->startTime = *local;
  strftime(clock->startStamp, sizeof clock->startStamp, "%Y-%m-%d %H:%M:%S", &clock->startTime);
  strftime(clock->runDate, sizeof clock->runDate, "%Y-%m-%d", &clock->startTime);
  strftime(clock->runTime, sizeof clock->runTime, "%H:%M:%S", &clock->startTime);
}

bool OpenRunReport(RunPaths* paths) {
  const char* failure = nullptr;
  if (!FindHomeAndReport(paths, &failure)) {
    fputs(failure, stdout);
    return false;
  }
  FILE* report = platform::OpenReportForAppend(paths->report.text);
  if (report == nullptr) {
    printf("ERROR: cannot append %s%s.\n", paths->report.text, CauseOfStreamFailure().text);
    return false;
  }
  SetReportStream(report);
  // From here an interrupt leaves its notice at the end of the report too.
  SetInterruptReport(report);
  InstallCleanupOnInterrupt();
  return true;
}

void CloseRunReport() {
  PrintHeldInterruptNotice();
  FILE* report = ReportStream();
  SetReportStream(nullptr);
  SetInterruptReport(nullptr);
  if (report != nullptr) fclose(report);
}

bool ResolveRunPaths(RunPaths* paths, RunCounters* counters) {
  MessageBuffer reason;
  if (!ResolveDatabaseDirectories(paths, &reason)) {
    return ReportError(counters, "SAFETY ERROR: %s\n", reason.text);
  }
  Tee("Work directory:      %s\n", paths->work.text);
  Tee("Message directory:   %s\n", paths->message.text);
  if (!BuildRunFilePaths(paths)) {
    return ReportError(counters, "SAFETY ERROR: one or more database paths are too long.\n");
  }
  return true;
}

namespace {

// After a refusal at the lock: whether a cut-short commit waits for the next run
// (the marker's name is looked at, never its content: the lock's owner may be writing it).
void DescribeCommitMarker(const char* markerPath) {
  platform::EntryKind kind = platform::EntryKind::Missing;
  if (platform::ExamineEntry(markerPath, &kind) != 0) {
    Tee("Commit marker:       %s cannot be looked at.\n", markerPath);
  } else if (kind == platform::EntryKind::Missing) {
    Tee("Commit marker:       none - no commit was cut short.\n");
  } else {
    Tee("Commit marker:       FOUND - %s: a commit was cut short or is under way; the next run "
        "that takes the lock checks it first.\n", markerPath);
  }
}

}  // namespace

bool TakeRunLock(const RunPaths& paths, const RunClock& clock, RunCounters* counters,
                 LockRefusal* refusal) {
  *refusal = LockRefusal::None;
  const char* lockPath = paths.lockFile.text;
  BeginSection("\n======================= SAFETY =======================\n");
  Tee("Shared lock file:    %s\n", lockPath);
  MessageBuffer reason = {};
  const LockResult acquired = AcquireSharedLock(lockPath, clock.startStamp, &reason);
  if (acquired == LockResult::Acquired) {
    Tee("Shared QVLINK.BSY lock: ACQUIRED - QVLink32 and cooperating tools are blocked for this run.\n");
    return true;
  }
  if (acquired == LockResult::AlreadyExists) {
    Tee("SAFETY ABORT: QVLINK.BSY already exists. Another cooperating Quorvex maintenance utility may be active, or a stale lock remains.\n");
    ReportError(counters, "QVCULLDB32 did not create or remove the existing lock.\n");
    *refusal = DescribeFoundLock(lockPath);
    DescribeCommitMarker(paths.commitMarker.text);
    return false;
  }
  return ReportError(counters, "SAFETY ERROR: cannot acquire shared QVLINK.BSY lock: %s\n",
                     reason.text);
}

void ReleaseRunLock(RunCounters* counters) {
  if (!SharedLockOwned()) return;
  switch (ReleaseSharedLock()) {
    case LockRelease::Released:
      Tee("Shared QVLINK.BSY lock: RELEASED.\n");
      return;
    case LockRelease::Replaced:
      // Another program's lock now: removing it would let its users in while it works.
      ReportError(counters,
                  "ERROR: QVLINK.BSY was replaced during the run; QVCULLDB32 left the lock now "
                  "at %s in place.\n", SharedLockPath());
      return;
    case LockRelease::Failed:
      ReportError(counters,
                  "ERROR: QVCULLDB32 could not fully release its QVLINK.BSY lock. Manual cleanup "
                  "may be required: %s\n", SharedLockPath());
      return;
  }
}
