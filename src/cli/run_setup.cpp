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
  g_reportStream = platform::OpenReportForAppend(paths->report.text);
  if (g_reportStream == nullptr) {
    printf("ERROR: cannot append %s: %s\n", paths->report.text, strerror(errno));
    return false;
  }
  // From here an interrupt leaves its notice at the end of the report too.
  SetInterruptReport(g_reportStream);
  InstallCleanupOnInterrupt();
  return true;
}

void CloseRunReport() {
  PrintHeldInterruptNotice();
  SetInterruptReport(nullptr);
  fclose(g_reportStream);
  g_reportStream = nullptr;
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

bool TakeRunLock(const char* lockPath, RunCounters* counters) {
  Tee("\n======================= SAFETY =======================\n");
  Tee("Shared lock file:    %s\n", lockPath);
  MessageBuffer reason = {};
  const LockResult acquired = AcquireSharedLock(lockPath, &reason);
  if (acquired == LockResult::Acquired) {
    Tee("Shared QVLINK.BSY lock: ACQUIRED - QVLink32 and cooperating tools are blocked for this run.\n");
    return true;
  }
  if (acquired == LockResult::AlreadyExists) {
    Tee("SAFETY ABORT: QVLINK.BSY already exists. Another cooperating Quorvex maintenance utility may be active, or a stale lock remains.\n");
    return ReportError(counters, "QVCULLDB32 did not create or remove the existing lock.\n");
  }
  return ReportError(counters, "SAFETY ERROR: cannot acquire shared QVLINK.BSY lock: %s\n",
                     reason.text);
}

void ReleaseRunLock(RunCounters* counters) {
  if (!SharedLockOwned()) return;
  if (ReleaseSharedLock()) {
    Tee("Shared QVLINK.BSY lock: RELEASED.\n");
    return;
  }
  ReportError(counters,
              "ERROR: QVCULLDB32 could not fully release its QVLINK.BSY lock. Manual cleanup may "
              "be required: %s\n",
              SharedLockPath());
}
