#include "cli/run_driver.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "base/cleanup_registry.h"
#include "base/live_state.h"
#include "base/output.h"
#include "base/parallel_jobs.h"
#include "base/paths.h"
#include "base/progress.h"
#include "base/run_counters.h"
#include "base/run_options.h"
#include "cli/database_state.h"
#include "cli/file_validation.h"
#include "cli/leftovers.h"
#include "cli/run_setup.h"
#include "cli/switches.h"
#include "commit/commit.h"
#include "commit/commit_marker.h"
#include "backup/space_check.h"
#include "backup/verified_backup.h"
#include "help/help.h"
#include "platform/platform.h"
#include "safety/caller_status.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "safety/open_file_check.h"
#include "safety/shared_lock.h"
#include "staging/pack_context.h"
#include "staging/staging.h"
#include "userdb/purge_scan.h"
#include "userdb/selection_profile.h"
#include "userdb/user_records.h"

namespace {

// Everything one run owns; the driver value-initialises it at the start.
struct RunState {
  int argc;
  char* const* argv;
  RunOptions options;
  RunCounters counters;
  RunPaths paths;
  bool nothingToWrite;
  Leftovers leftovers;  // what earlier runs left, named in the summary
  LockRefusal lockRefusal;
  RunClock clock;
  LiveSnapshots live;
  LmrInventory inventory;
  PackContext pack;
  std::unique_ptr<SelectionProfile> profile;  // complete once scanned is set
  bool scanned;  // the scan read every user record: the summary's counts are counted
};

void PrintHeader(const RunState* run) {
  ReportHeader header{
      run->clock.startStamp,       run->argc, run->argv, run->options.writeMode, run->paths.home.text,
      run->paths.report.text};
  PrintReportHeader(header);
}

void PrintOfflineWarning() {
  BeginSection("\n============================================================\n");
  Tee("WARNING: MANUAL OFFLINE MAINTENANCE REQUIRED\n");
  Tee("Close every Quorvex node and prevent caller access before continuing.\n");
  Tee("QVWHOSON.DAT can detect active callers, not idle node processes.\n");
  Tee("============================================================\n");
}

void WarnAboutLegacyCom(RunState* run) {
  if (!IsRegularFile(run->paths.legacyCom.text)) return;
  Tee("\nWARNING: legacy QVCULLDB.COM exists: %s\n", run->paths.legacyCom.text);
  Tee("DOS normally prefers .COM over .EXE when no extension is supplied.\n");
  Tee("Rename/remove the old COM and invoke QVCULLDB.EXE explicitly.\n");
  ++run->counters.warnings;
}

bool SnapshotWhosOn(RunState* run) {
  if (TakeSnapshot(run->paths.whosOn.text, &run->live.whosOn)) return true;
  return ReportError(&run->counters, "SAFETY ERROR: cannot hash QVWHOSON.DAT.\n");
}

// The snapshots were taken during validation, alongside the LMR files'.
bool CheckUserFileSnapshots(RunState* run) {
  if (run->live.usersDat.ok && run->live.usersPtr.ok) return true;
  return ReportError(
      &run->counters,
      "ERROR: could not hash QVUSERS.DAT/PTR for read-only snapshot verification.\n");
}

bool AllocatePurgeMap(RunState* run) {
  run->pack.userCount = static_cast<uint32_t>(run->counters.userRecords);
  run->pack.purgeMap.reset(new (std::nothrow) unsigned char[run->pack.userCount]());
  if (run->pack.purgeMap) return true;
  return ReportError(&run->counters, "ERROR: out of memory allocating purge map.\n");
}

// Its size is fixed, whatever the number of users.
bool AllocateProfile(RunState* run) {
  run->profile.reset(new (std::nothrow) SelectionProfile());
  if (run->profile) return true;
  return ReportError(&run->counters, "ERROR: out of memory allocating candidate profile.\n");
}

bool ScanUsers(RunState* run) {
  CalendarDate today = GetToday();
  PrintSelectionRules(run->options);
  bool writeMode = run->options.writeMode;
  if (writeMode && !AllocatePurgeMap(run)) return false;
  if (!AllocateProfile(run)) return false;
  BeginProgress("Scanning", run->live.usersDat.size);
  const ScanOutputs outputs{writeMode ? run->pack.purgeMap.get() : nullptr, run->profile.get()};
  run->scanned = PurgeScan(run->paths.usersDat.text, run->options, today,
                           run->counters.userRecords, &run->counters, outputs, writeMode);
  EndProgress();
  return run->scanned;
}

// Steps shared by both modes: paths, lock, callers, validation, snapshots, scan.
bool RunReadPhases(RunState* run) {
  if (!ResolveRunPaths(&run->paths, &run->counters)) return false;
  if (run->options.writeMode) PrintOfflineWarning();
  WarnAboutLegacyCom(run);
  if (!TakeRunLock(run->paths, run->clock, &run->counters, &run->lockRefusal)) {
    if (CommitMarkerMayExist(run->paths)) AdvanceLiveState(LiveEvent::MarkerFound);
    return false;
  }
  if (!ResolveEarlierCommit(run->paths, &run->counters)) {
    AdvanceLiveState(LiveEvent::MarkerFound);
    return false;
  }
  if (!CheckCallerStatus(run->paths.whosOn.text, &run->counters)) return false;
  if (!SnapshotWhosOn(run)) return false;
  AdvanceLiveState(LiveEvent::ReadBegins);
  if (!ValidateDatabaseFiles(&run->paths, &run->counters, &run->inventory, &run->live)) {
    return false;
  }
  if (!CheckUserFileSnapshots(run)) return false;
  AdvanceLiveState(LiveEvent::SnapshotsTaken);
  FindEarlierLeftovers(&run->paths, &run->options, &run->counters, &run->leftovers);
  return ScanUsers(run);
}

// Room on every volume and a trusted backup root, before the first staged write.
bool CheckSpaceAndTrustFirst(RunState* run) {
  const WritePlaces places{run->paths.home.text, run->paths.work.text, run->paths.message.text,
                           run->paths.purgedLog.text, run->paths.usersDat.text, &run->options};
  return CheckSpaceAndTrust(places, &run->live, &run->inventory, &run->pack, &run->counters);
}

// Step 0 stages the user files, step i the LMR file i-1, the last step the audit log.
bool StageOneFile(uint32_t index, void* context, RunCounters* counters) {
  RunState* run = static_cast<RunState*>(context);
  if (index == 0) {
    return BuildStagedUserFiles(run->paths.usersDat.text, run->paths.usersPtr.text, &run->pack,
                                counters);
  }
  if (index <= run->inventory.count) {
    return BuildStagedLmrFile(&run->inventory.entries[index - 1], &run->pack, counters);
  }
  return BuildStagedPurgedLog(run->paths.usersDat.text, run->paths.work.text, run->clock.runDate,
                              run->clock.runTime, &run->pack, counters);
}

// What staging reads: every source, then every staged file back for its hash
// (the audit log's reading of QVUSERS.DAT included).
uint64_t StagingBytes(const RunState* run) {
  const uint64_t lmrBytes = LmrInventoryBytes(&run->inventory);
  const uint64_t userBytes = run->live.usersDat.size + run->live.usersPtr.size;
  return userBytes + run->live.usersDat.size + 2 * lmrBytes +
         static_cast<uint64_t>(run->pack.retainedCount) * (kUserRecordSize + kPointerRecordSize);
}

bool BuildStagedFiles(RunState* run) {
  // The audit log, printed last, reads QVUSERS.DAT whole: begun early, it ends with the rest.
  const JobList steps{run->inventory.count + 2, StageOneFile,     run,
                      AfterFailure::StopThere,  kWritingThreads, "Staging",
                      StagingBytes(run),        run->inventory.count + 1};
  if (!RunJobsInOrder(steps, &run->counters)) return false;
  Tee("Staged build and verification: PASS\n");
  return true;
}

bool MakeBackup(RunState* run) {
  BeginSection("\n=================== VERIFIED BACKUP =======================\n");
  return CreateVerifiedBackup(run->paths.home.text, run->paths.whosOn.text, &run->live,
                              &run->inventory, &run->options, &run->clock.startTime, &run->pack,
                              &run->counters);
}

bool PassFinalGate(RunState* run) {
  BeginSection("\n================== FINAL SAFETY GATE ======================\n");
  if (!CheckCallerStatus(run->paths.whosOn.text, &run->counters)) return false;
  if (!RunFinalSafetyGate(&run->live, &run->inventory, &run->pack, &run->counters)) return false;
  Tee("Final pre-commit safety result: PASS\n");
  return true;
}

// Write run after the scan: plan, staging, backup, gate, commit, verification.
void RunWritePhases(RunState* run) {
  run->pack.purgeCount = static_cast<uint32_t>(run->counters.purgeCandidates);
  run->pack.retainedCount = run->pack.userCount - run->pack.purgeCount;
  if (run->pack.purgeCount == 0) {
    Tee("\nWRITE PLAN: no records match the selected rules; no backup or database write is needed.\n");
    run->nothingToWrite = true;
    return;
  }
  BeginSection("\n================== BUILD AND VERIFY .NEW ==================\n");
  if (!CheckNoOtherHolders(&run->live, &run->inventory, run->paths.purgedLog.text,
                           &run->counters)) {
    return;
  }
  if (!CheckSpaceAndTrustFirst(run)) return;
  if (!BuildStagedFiles(run)) return;
  if (!MakeBackup(run)) return;
  if (!PassFinalGate(run)) return;
  const CommitSection section{run->paths.commitMarker.text, run->paths.whosOn.text,
                              run->paths.usersDat.text,     run->paths.usersPtr.text,
                              run->pack.backupDirPath.text, run->pack.backupId, true,
                              &run->live,                   &run->inventory,
                              &run->pack,                   &run->counters};
  if (!CommitHoldingInterrupts(section)) return;
  Tee("WRITE RESULT: SUCCESS - selected records committed and verified during manual offline maintenance.\n");
  Tee("Backup directory:   %s\n", run->pack.backupDirPath.text);
}

// A write succeeded when its commit is in place and verified, under its lock throughout.
bool WriteSucceeded(const RunState* run) {
  return CurrentLiveState() == LiveState::Committed && !run->pack.lockLost;
}

struct ResultText {
  char backupLine[kPathBufferSize + 64];
  char rollbackLine[64];
};

int DecideDryRunResult(const RunState* run, RunSummary* summary) {
  const RunCounters& c = run->counters;
  if (c.errors != 0) {
    summary->statusLine = "Result status:       ABORTED/UNTRUSTED - correct the reported errors and rerun.\n";
    return kExitFailed;
  }
  if (c.purgeCandidates != 0 || c.protectedUser1 != 0) {
    summary->statusLine = "Result status:       COMPLETE - purge candidates were found. Review every candidate above.\n";
    return kExitReview;
  }
  summary->statusLine = "Result status:       COMPLETE - no purge candidates were found.\n";
  return kExitClean;
}

int DecideWriteRunResult(const RunState* run, RunSummary* summary, ResultText* text) {
  const PackContext& pack = run->pack;
  if (WriteSucceeded(run)) {
    snprintf(text->backupLine, sizeof text->backupLine, "\nBackup created:      YES - %s\n",
             pack.backupDirPath.text);
    summary->resultLines[0] = text->backupLine;
    summary->resultLines[1] = "Restore warning:     immediate rollback only before callers return.\n";
    summary->statusLine = "Result status:       SUCCESS - manual-offline user pack committed and verified.\n";
    return kExitClean;
  }
  if (run->nothingToWrite && run->counters.errors == 0) {
    summary->resultLines[0] = "\nBackup created:      NO - no purge candidates required a write.\n";
    summary->statusLine = "Result status:       COMPLETE - no records matched the selected rules.\n";
    return kExitClean;
  }
  snprintf(text->backupLine, sizeof text->backupLine, "\nBackup created:      %s\n",
           pack.backupDone ? pack.backupDirPath.text : "NO");
  summary->resultLines[0] = text->backupLine;
  if (pack.rollbackStarted) {
    snprintf(text->rollbackLine, sizeof text->rollbackLine, "Rollback status:     %s\n",
             pack.rollbackOk ? "PASS" : "FAILED");
    summary->resultLines[1] = text->rollbackLine;
  }
  summary->statusLine = "Result status:       ABORTED/FAILED - keep nodes offline until the report is reviewed.\n";
  return kExitFailed;
}

int PrintRunSummary(const RunState* run, const EndOfRunLines* closing) {
  RunSummary summary{};
  summary.closingLines[0] = closing->state;
  summary.closingLines[1] = closing->nextStep;
  summary.closingLines[2] = closing->leftBehind[0];
  summary.closingLines[3] = closing->leftBehind[1];
  ResultText text{};
  summary.counters = &run->counters;
  summary.scanned = run->scanned;
  summary.printMore = [](const void* leftovers) {
    PrintLeftovers(*static_cast<const Leftovers*>(leftovers));
  };
  summary.moreContext = &run->leftovers;
  summary.writeMode = run->options.writeMode;
  int exitCode;
  if (summary.writeMode) {
    exitCode = DecideWriteRunResult(run, &summary, &text);
    const bool succeeded = WriteSucceeded(run);
    summary.purgedCommitted = succeeded ? run->pack.purgeCount : 0;
    summary.retainedAfterPack = succeeded ? run->pack.retainedCount
                                          : static_cast<uint32_t>(run->counters.retained);
    summary.retainedKnown = succeeded || run->nothingToWrite;
  } else {
    exitCode = DecideDryRunResult(run, &summary);
  }
  summary.exitCode = exitCode;
  PrintSummary(summary);
  return exitCode;
}

// Every run whose report is open ends here: staged files removed, lock
// released, summary printed, report closed.
int FinishRun(RunState* run) {
  if (run->options.writeMode) RemoveStagedFiles(&run->pack, &run->inventory);
  // Decided while the lock still keeps cooperating tools out.
  const EndOfRunFacts facts{&run->paths,
                            &run->options,
                            &run->live,
                            &run->inventory,
                            &run->pack,
                            false,
                            false,
                            run->counters.errors != 0,
                            run->counters.purgeCandidates != 0 || run->counters.protectedUser1 != 0,
                            run->lockRefusal};
  EndOfRunLines closing;
  DescribeEndOfRun(facts, &closing);
  ReleaseRunLock(&run->counters);
  if (run->scanned) PrintSelectionProfile(*run->profile, run->options);
  int exitCode = PrintRunSummary(run, &closing);
  CloseRunReport();
  return exitCode;
}

// Help, version and rejected command lines end the run before anything is opened.
bool AnswerWithoutRun(RunState* run, int* exitCode) {
  MessageBuffer message = {};
  switch (ParseSwitches(run->argc, run->argv, &run->options, &message)) {
    case ParseOutcome::Rejected:
      printf("ERROR: %s\n\n", message.text);
      PrintHelp();
      *exitCode = kExitUsage;
      return true;
    case ParseOutcome::Help:
      PrintHelp();
      *exitCode = kExitClean;
      return true;
    case ParseOutcome::Version:
      printf("%s %s\n", kProgramName, kProgramVersion);
      *exitCode = kExitClean;
      return true;
    case ParseOutcome::Run:
      break;
  }
  return false;
}

}  // namespace

int RunDriver(int argc, char* const* argv) {
  RunState run{};
  SetCallerNamer(NameUserBeside);
  run.argc = argc;
  run.argv = argv;
  int exitCode = kExitClean;
  if (AnswerWithoutRun(&run, &exitCode)) return exitCode;
  StartLiveState(kProgramName);
  if (!OpenRunReport(&run.paths)) return kExitFailed;
  ReadRunClock(&run.clock);
  PrintHeader(&run);
  if (RunReadPhases(&run)) {
    if (run.options.writeMode) {
      RunWritePhases(&run);
    } else {
      VerifyReadOnlySnapshots(&run.live, &run.inventory, run.paths.whosOn.text, &run.counters);
    }
  }
  exitCode = FinishRun(&run);
  FlushOutput();
  // An interrupt held back during the commit ends the process now, as it would have.
  platform::EndByHeldInterrupt();
  return exitCode;
}
