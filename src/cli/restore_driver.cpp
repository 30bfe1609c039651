// The restore program's run: switches, report section, and the three actions.
// A restore goes through the packer's own steps: the lock, the caller check, a
// verified backup of the live files it replaces, staged copies proved against
// the manifest, the final gate and the commit section with its marker.
#include "cli/restore_driver.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
#include "base/run_options.h"
#include "cli/file_validation.h"
#include "cli/run_driver.h"
#include "cli/run_setup.h"
#include "commit/backup_manifest.h"
#include "commit/commit.h"
#include "commit/verified_backup.h"
#include "platform/platform.h"
#include "safety/caller_status.h"
#include "staging/staging.h"
#include "userdb/user_records.h"

namespace {

constexpr const char* kRestoreName = "QVRESTORE";
constexpr uint32_t kMaxListed = 4096;
constexpr const char* kCallerRefusal =
    "QVRESTORE will not restore the database while a caller may be active.\n";

constexpr const char* kUsage =
    "QVRESTORE - checks a QVCULLDB32 backup and restores it as one verified set.\n"
    "\n"
    "  QVRESTORE /LIST [/BACKUP=path]\n"
    "  QVRESTORE /CHECK=dir\n"
    "  QVRESTORE /RESTORE=dir [/BACKUP=path]\n"
    "  QVRESTORE /HELP | /? | /VERSION\n"
    "\n"
    "  /LIST         lists the backups under the backup root, newest first.\n"
    "  /CHECK=dir    verifies one backup against this home; changes nothing.\n"
    "  /RESTORE=dir  checks the backup, backs up the live files it replaces, and\n"
    "                restores QVUSERS.DAT, QVUSERS.PTR, QVPURGED.USR and every\n"
    "                QVMSGxx.LMR together. QVWHOSON.DAT is never restored.\n"
    "  /BACKUP=path  the backup root (default QVCULLDB-BACKUPS in the home\n"
    "                directory); with /RESTORE, where the pre-restore backup goes.\n"
    "\n"
    "Run it in the BBS home directory with every node closed. A relative dir or\n"
    "path is taken from the home directory. Exit codes: 0 done and verified,\n"
    "2 failed (read QVCULLDB32_REPORT.TXT), 3 usage.\n";

enum class RestoreAction { None, List, Check, Restore, Help, Version };

struct RestoreState {
  int argc;
  char* const* argv;
  RestoreAction action;
  PathBuffer backupArgument;  // /CHECK= or /RESTORE= as given
  RunOptions options;         // backupGiven and backupRoot, as the packer takes them
  RunCounters counters;
  RunPaths paths;
  RunClock clock;
  PathBuffer backupDir;  // the backup to check or restore, resolved
  BackupManifest manifest;
  LiveSnapshots live;
  LmrInventory inventory;
  PackContext pack;
  bool markerFound;
  bool restored;
};

// ---- Switches ---------------------------------------------------------------

// The value after name when argument (past its leader) starts with it, else null.
const char* ValueAfter(const char* argument, const char* name) {
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (UpperAscii(argument[i]) != name[i]) return nullptr;
  }
  return name[i - 1] == '=' || argument[i] == '\0' ? argument + i : nullptr;
}

bool SetAction(RestoreState* run, RestoreAction action, const char* value,
               MessageBuffer* message) {
  const bool informational = action == RestoreAction::Help || action == RestoreAction::Version;
  if (informational) {
    if (run->action == RestoreAction::None || run->action == RestoreAction::Version) {
      run->action = action;
    }
    return true;
  }
  if (run->action == RestoreAction::Help || run->action == RestoreAction::Version) return true;
  if (run->action != RestoreAction::None) {
    return FailWith(message, "Give only one of /LIST, /CHECK=dir and /RESTORE=dir.");
  }
  run->action = action;
  if (value == nullptr) return true;
  if (value[0] == '\0' || !CopyPath(&run->backupArgument, value)) {
    return FailWith(message, "Invalid backup directory.");
  }
  TrimTrailingSeparators(run->backupArgument.text);
  return true;
}

bool ParseRestoreArgument(const char* argument, RestoreState* run, MessageBuffer* message) {
  if (argument[0] != '/' && argument[0] != '-') {
    return FailWith(message, "Unknown argument: %s", argument);
  }
  const char* rest = argument + 1;
  const char* value = nullptr;
  if ((value = ValueAfter(rest, "BACKUP=")) != nullptr) {
    if (run->options.backupGiven) return FailWith(message, "Duplicate /BACKUP switch.");
    if (value[0] == '\0' || !CopyPath(&run->options.backupRoot, value)) {
      return FailWith(message, "Invalid /BACKUP path.");
    }
    TrimTrailingSeparators(run->options.backupRoot.text);
    run->options.backupGiven = true;
    return true;
  }
  const struct {
    const char* name;
    RestoreAction action;
  } kActions[] = {{"LIST", RestoreAction::List},       {"CHECK=", RestoreAction::Check},
                  {"RESTORE=", RestoreAction::Restore}, {"HELP", RestoreAction::Help},
                  {"?", RestoreAction::Help},          {"VERSION", RestoreAction::Version}};
  for (const auto& known : kActions) {
    if ((value = ValueAfter(rest, known.name)) == nullptr) continue;
    const bool takesValue = known.name[strlen(known.name) - 1] == '=';
    return SetAction(run, known.action, takesValue ? value : nullptr, message);
  }
  return FailWith(message, "Unknown switch: %s", argument);
}

bool ParseRestoreSwitches(RestoreState* run, MessageBuffer* message) {
  for (int i = 1; i < run->argc; ++i) {
    if (!ParseRestoreArgument(run->argv[i], run, message)) return false;
  }
  if (run->action == RestoreAction::None) {
    return FailWith(message, "Give one of /LIST, /CHECK=dir and /RESTORE=dir.");
  }
  if (run->options.backupGiven && run->action == RestoreAction::Check) {
    return FailWith(message, "/BACKUP is valid only with /LIST or /RESTORE.");
  }
  return true;
}

// ---- Report section -----------------------------------------------------------

const char* ActionName(RestoreAction action) {
  return action == RestoreAction::List ? "LIST" : action == RestoreAction::Check ? "CHECK" : "RESTORE";
}

void PrintRestoreHeader(const RestoreState* run) {
  Tee("\n############################################################\n");
  Tee("%s REPORT RUN - restore program of %s\n", kRestoreName, kProgramName);
  Tee("Started:             %s\n", run->clock.startStamp);
  Tee("Version:             %s\n", kProgramVersion);
  Tee("Command line:        ");
  for (int i = 0; i < run->argc; ++i) Tee("%s%s", i == 0 ? "" : " ", run->argv[i]);
  Tee("\n############################################################\n");
  Tee("MODE: %s\n", ActionName(run->action));
  Tee("Home directory:      %s\n", run->paths.home.text);
  Tee("Report file:         %s\n", run->paths.report.text);
}

int PrintRestoreSummary(const RestoreState* run, bool succeeded) {
  const int exitCode = succeeded ? kExitClean : kExitFailed;
  Tee("\n======================= SUMMARY =======================\n");
  Tee("Warnings:            %" PRIu64 "\n", run->counters.warnings);
  Tee("Errors:              %" PRIu64 "\n", run->counters.errors);
  if (run->action == RestoreAction::Restore) {
    Tee("Backup restored:     %s\n", run->restored ? run->backupDir.text : "NO");
    Tee("Pre-restore backup:  %s\n", run->pack.backupDone ? run->pack.backupDirPath.text : "NO");
    if (run->pack.rollbackStarted) {
      Tee("Rollback status:     %s\n", run->pack.rollbackOk ? "PASS" : "FAILED");
    }
  }
  Tee("Result status:       %s\n",
      succeeded ? "COMPLETE - verified."
                : "FAILED - keep nodes offline until the report is reviewed.");
  Tee("Exit code:           %d\n", exitCode);
  Tee("############################################################\n");
  return exitCode;
}

// ---- /LIST ----------------------------------------------------------------------

struct ListedName {
  char name[64];
};

int CompareNewestFirst(const void* a, const void* b) {
  return strcmp(static_cast<const ListedName*>(b)->name, static_cast<const ListedName*>(a)->name);
}

// "QVCULLDB-YYYYMMDD-HHMMSS[-NNN]" read as a date and time, or null.
bool StampOfName(const char* name, char* stamp, size_t size) {
  int y, mo, d, h, mi, s;
  if (strlen(name) < 24 || sscanf(name, "QVCULLDB-%4d%2d%2d-%2d%2d%2d", &y, &mo, &d, &h, &mi, &s) != 6) {
    return false;
  }
  FormatBounded(stamp, size, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return true;
}

void ListOneBackup(const char* root, const char* name) {
  char stamp[32];
  PathBuffer dir;
  if (!StampOfName(name, stamp, sizeof stamp) || !JoinPath(&dir, root, name)) return;
  BackupManifest manifest;
  MessageBuffer reason;
  if (!ReadBackupManifest(dir.text, &manifest, &reason)) {
    Tee("%-28s %s  INCOMPLETE: %s\n", name, stamp, reason.text);
    return;
  }
  uint64_t total = 0;
  unsigned lmrFiles = 0;
  for (uint32_t i = 0; i < manifest.count; ++i) {
    const ManifestEntry& entry = manifest.entries[i];
    uint64_t size = 0;
    // Sizes only: /CHECK also proves every hash.
    if (!GetRegularFileSize(entry.copy.text, &size) || size != entry.source.size) {
      Tee("%-28s %s  INCOMPLETE: %s is missing or not its listed size\n", name, stamp, entry.name);
      return;
    }
    total += entry.source.size;
    lmrFiles += strcmp(entry.area, "MESSAGE") == 0;
  }
  const ManifestEntry* dat = FindManifestEntry(&manifest, "WORK", "QVUSERS.DAT");
  const uint64_t users = dat != nullptr ? dat->source.size / kUserRecordSize : 0;
  Tee("%-28s %s  %7" PRIu64 " users  %3u LMR files  %12" PRIu64 " bytes\n", name, stamp, users,
      lmrFiles, total);
}

bool ListBackups(RestoreState* run) {
  PathBuffer* root = &run->pack.backupRootPath;
  const char* given = run->options.backupRoot.text;
  if (!(run->options.backupGiven ? IsAbsolutePath(given) ? CopyPath(root, given)
                                                          : JoinPath(root, run->paths.home.text, given)
                                 : JoinPath(root, run->paths.home.text, "QVCULLDB-BACKUPS"))) {
    return ReportError(&run->counters, "ERROR: backup root path is too long.\n");
  }
  Tee("\n======================= BACKUPS =======================\n");
  Tee("Backup root:         %s\n", root->text);
  ListedName* names = static_cast<ListedName*>(calloc(kMaxListed, sizeof(ListedName)));
  PathBuffer pattern;
  platform::DirectorySearch search;
  platform::DirectoryEntry found;
  uint32_t count = 0;
  if (names == nullptr || !JoinPath(&pattern, root->text, "QVCULLDB-*")) {
    free(names);
    return ReportError(&run->counters, "ERROR: cannot list the backup root.\n");
  }
  for (bool more = platform::FindFirstEntry(pattern.text, &search, &found); more && count < kMaxListed;
       more = platform::FindNextEntry(&search, &found)) {
    if (found.isDirectory) platform::CopyBounded(names[count++].name, sizeof names[0].name, found.name);
  }
  platform::EndSearch(&search);
  qsort(names, count, sizeof(ListedName), CompareNewestFirst);
  for (uint32_t i = 0; i < count; ++i) ListOneBackup(root->text, names[i].name);
  free(names);
  Tee("Backups found:       %u\n", count);
  if (search.failed) return ReportError(&run->counters, "ERROR: cannot list %s.\n", root->text);
  return true;
}

// ---- /CHECK and /RESTORE ------------------------------------------------------

// The live LMR files, each a regular file, and the backup checked against them.
bool CheckBackup(RestoreState* run) {
  const char* given = run->backupArgument.text;
  if (IsAbsolutePath(given) ? !CopyPath(&run->backupDir, given)
                            : !JoinPath(&run->backupDir, run->paths.home.text, given)) {
    return ReportError(&run->counters, "ERROR: backup directory path is too long.\n");
  }
  Tee("\n===================== BACKUP CHECK =====================\n");
  Tee("Backup directory:    %s\n", run->backupDir.text);
  MessageBuffer reason;
  if (!ReadBackupManifest(run->backupDir.text, &run->manifest, &reason)) {
    ReportError(&run->counters, "ERROR: %s.\n", reason.text);
  } else if (!AllocateLmrInventory(&run->inventory)) {
    ReportError(&run->counters, "ERROR: out of memory allocating LMR inventory.\n");
  } else if (BuildLmrInventory(run->paths.message.text, &run->inventory, &run->counters)) {
    CheckBackupSet(&run->manifest, &run->paths, &run->inventory, &run->counters);
  }
  if (run->counters.errors == 0) {
    Tee("Backup check: PASS - a complete, matched set for this home.\n");
    return true;
  }
  Tee("Backup check: FAILED - this backup cannot be restored as it is.\n");
  return false;
}

// Every file the restore replaces is a regular file, and its pre-restore state is recorded.
bool SnapshotLiveSet(RestoreState* run) {
  RunPaths& p = run->paths;
  bool regular = CheckNotLink(p.usersDat.text, "QVUSERS.DAT", &run->counters);
  regular = CheckNotLink(p.usersPtr.text, "QVUSERS.PTR", &run->counters) && regular;
  regular = CheckNotLink(p.purgedLog.text, "QVPURGED.USR", &run->counters) && regular;
  for (uint32_t i = 0; i < run->inventory.count; ++i) {
    const LmrFileEntry& entry = run->inventory.entries[i];
    regular = CheckNotLink(entry.path.text, entry.name, &run->counters) && regular;
  }
  if (!regular) return false;
  run->pack.purgedLogPath = p.purgedLog;
  run->pack.purgedLogExisted = IsRegularFile(p.purgedLog.text);
  if (TakeSnapshot(p.whosOn.text, &run->live.whosOn) &&
      TakeSnapshot(p.usersDat.text, &run->live.usersDat) &&
      TakeSnapshot(p.usersPtr.text, &run->live.usersPtr) &&
      (!run->pack.purgedLogExisted || TakeSnapshot(p.purgedLog.text, &run->pack.purgedLogSnapshot))) {
    return true;
  }
  return ReportError(&run->counters, "ERROR: cannot hash the live database files.\n");
}

bool RestoreSteps(RestoreState* run) {
  if (!TakeRunLock(run->paths.lockFile.text, &run->counters)) return false;
  run->markerFound = IsRegularFile(run->paths.commitMarker.text);
  if (run->markerFound) {
    Tee("Commit marker:       %s - an earlier commit was cut short; this restore replaces it.\n",
        run->paths.commitMarker.text);
  }
  if (!CheckCallerStatus(run->paths.whosOn.text, &run->counters, kCallerRefusal) ||
      !CheckBackup(run) ||
      !SnapshotLiveSet(run)) {
    return false;
  }
  Tee("\n=================== VERIFIED BACKUP =======================\n");
  if (!CreateVerifiedBackup(run->paths.home.text, run->paths.whosOn.text, &run->live,
                            &run->inventory, &run->options, &run->clock.startTime, &run->pack,
                            &run->counters)) {
    return false;
  }
  Tee("\n================== STAGE RESTORED SET =====================\n");
  if (!StageBackupSet(&run->manifest, &run->live, &run->inventory, &run->pack, &run->counters)) {
    return false;
  }
  Tee("\n================== FINAL SAFETY GATE ======================\n");
  if (!CheckCallerStatus(run->paths.whosOn.text, &run->counters, kCallerRefusal) ||
      !RunFinalSafetyGate(&run->live, &run->inventory, &run->pack, &run->counters)) {
    return false;
  }
  Tee("Final pre-commit safety result: PASS\n");
  // The marker names the backup being restored: a restore cut short is finished
  // by running it again. Over a flagged mix, no state before it counts as whole.
  const CommitSection section{run->paths.commitMarker.text, run->paths.whosOn.text,
                              run->paths.usersDat.text,     run->paths.usersPtr.text,
                              run->backupDir.text,          !run->markerFound,
                              &run->live,                   &run->inventory,
                              &run->pack,                   &run->counters,
                              kCallerRefusal};
  if (!CommitHoldingInterrupts(section)) return false;
  run->restored = true;
  Tee("RESTORE RESULT: SUCCESS - %s restored and verified.\n", run->backupDir.text);
  Tee("Pre-restore backup:  %s\n", run->pack.backupDirPath.text);
  return true;
}

bool RunAction(RestoreState* run) {
  if (!ResolveRunPaths(&run->paths, &run->counters)) return false;
  switch (run->action) {
    case RestoreAction::List:
      return ListBackups(run);
    case RestoreAction::Check:
      return CheckBackup(run);
    default:
      break;
  }
  const bool restored = RestoreSteps(run);
  RemoveStagedFiles(&run->pack, &run->inventory);
  ReleaseRunLock(&run->counters);
  // As for the packer, a lock that could not be released is reported, and the
  // verified restore stands.
  return restored;
}

// Help, version and rejected command lines end the run before anything is opened.
bool AnswerWithoutRun(RestoreState* run, int* exitCode) {
  MessageBuffer message = {};
  if (!ParseRestoreSwitches(run, &message)) {
    printf("ERROR: %s\n\n%s", message.text, kUsage);
    *exitCode = kExitUsage;
    return true;
  }
  if (run->action == RestoreAction::Help) fputs(kUsage, stdout);
  if (run->action == RestoreAction::Version) printf("%s %s\n", kRestoreName, kProgramVersion);
  *exitCode = kExitClean;
  return run->action == RestoreAction::Help || run->action == RestoreAction::Version;
}

}  // namespace

int RestoreDriver(int argc, char* const* argv) {
  RestoreState* run = new (std::nothrow) RestoreState();
  if (run == nullptr) return kExitFailed;
  run->argc = argc;
  run->argv = argv;
  int exitCode = kExitClean;
  if (!AnswerWithoutRun(run, &exitCode)) {
    SetInterruptNotice(
        "\nINTERRUPTED: QVRESTORE was stopped. The live database files were not changed.\n");
    if (!OpenRunReport(&run->paths)) {
      exitCode = kExitFailed;
    } else {
      ReadRunClock(&run->clock);
      PrintRestoreHeader(run);
      exitCode = PrintRestoreSummary(run, RunAction(run));
      CloseRunReport();
    }
  }
  delete run;
  // An interrupt held back during the commit ends the process now, as it would have.
  platform::EndByHeldInterrupt();
  return exitCode;
}
