// The restore program's run: report section, and its actions (list, check,
// restore, prune); its switches are read by restore_switches.
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
#include "base/live_state.h"
#include "base/output.h"
#include "base/paths.h"
#include "base/run_options.h"
#include "cli/file_validation.h"
#include "cli/leftovers.h"
#include "cli/run_driver.h"
#include "cli/database_state.h"
#include "cli/restore_switches.h"
#include "cli/run_setup.h"
#include "backup/backup_manifest.h"
#include "backup/backup_prune.h"
#include "backup/backup_store.h"
#include "backup/space_check.h"
#include "commit/commit.h"
#include "commit/commit_marker.h"
#include "backup/verified_backup.h"
#include "platform/platform.h"
#include "safety/caller_status.h"
#include "safety/path_trust.h"
#include "staging/staging.h"
#include "userdb/user_records.h"

namespace {

constexpr const char* kRestoreName = "QVRESTORE";
constexpr const char* kCallerRefusal =
    "@ will not restore the database while a caller may be active.\n";

struct RestoreState {
  int argc;
  char* const* argv;
  RestoreSwitches sw;
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
  LockRefusal lockRefusal;
  EndOfRunLines closing;  // decided while the lock is still held
  NamedText callerRefusal;  // kept for the commit section, which refers to it
  platform::TrustedAccounts accounts;  // whose backups may be read
  platform::FileHandle backupHandle;   // the backup checked or restored, held open
  char backupId[kBackupIdSize];        // its IDENTITY.TXT's id ("" when it has none)
};

// ---- Report section -----------------------------------------------------------

const char* ActionName(RestoreAction action) {
  switch (action) {
    case RestoreAction::List:
      return "LIST";
    case RestoreAction::Check:
      return "CHECK";
    case RestoreAction::Prune:
      return "PRUNE";
    default:
      return "RESTORE";
  }
}

void PrintRestoreHeader(const RestoreState* run) {
  Tee("\n############################################################\n");
  Tee("%s REPORT RUN - restore program of %s\n", kRestoreName, kProgramName);
  Tee("Started:             %s\n", run->clock.startStamp);
  Tee("Version:             %s\n", kProgramVersion);
  Tee("Command line:        ");
  for (int i = 0; i < run->argc; ++i) Tee("%s%s", i == 0 ? "" : " ", run->argv[i]);
  Tee("\n############################################################\n");
  Tee("MODE: %s\n", ActionName(run->sw.action));
  Tee("Home directory:      %s\n", run->paths.home.text);
  Tee("Report file:         %s\n", run->paths.report.text);
}

// The state line and the next step; a restore's were decided under its lock.
void PrintRestoreClosingLines(const RestoreState* run, bool succeeded) {
  if (run->sw.action == RestoreAction::Restore && run->closing.state[0] != '\0') {
    Tee("%s%s%s%s", run->closing.state, run->closing.nextStep, run->closing.leftBehind[0],
        run->closing.leftBehind[1]);
    return;
  }
  Tee("Database state:      NOT WRITTEN - %s\n",
      run->sw.action == RestoreAction::Restore
          ? "this run stopped before it read the live database files."
          : "this action reads backups and writes no live file.");
  Tee("Next step:           %s\n", succeeded ? "none for the live database."
                                              : "correct what the errors above say, then run "
                                                "again.");
}

int PrintRestoreSummary(const RestoreState* run, bool succeeded) {
  const int exitCode = succeeded ? kExitClean : kExitFailed;
  BeginSection("\n======================= SUMMARY =======================\n");
  Tee("Warnings:            %" PRIu64 "\n", run->counters.warnings);
  Tee("Errors:              %" PRIu64 "\n", run->counters.errors);
  if (run->sw.action == RestoreAction::Restore) {
    Tee("Backup restored:     %s\n", run->restored ? run->backupDir.text : "NO");
    Tee("Pre-restore backup:  %s\n", run->pack.backupDone ? run->pack.backupDirPath.text : "NO");
    if (run->pack.rollbackStarted) {
      Tee("Rollback status:     %s\n", run->pack.rollbackOk ? "PASS" : "FAILED");
    }
  }
  const char* done = run->sw.action == RestoreAction::List    ? "COMPLETE - listed; sizes checked only."
                     : run->sw.action != RestoreAction::Prune ? "COMPLETE - verified."
                     : run->sw.dryRun                         ? "COMPLETE - nothing removed (dry run)."
                                                           : "COMPLETE - pruned.";
  // A run that never wrote a live file leaves the database as it was: nothing to keep offline for.
  const LiveState state = CurrentLiveState();
  const bool untouched =
      state == LiveState::NotRead || state == LiveState::Read || state == LiveState::Snapshotted;
  const char* failed = untouched
                           ? "FAILED - the live database was not changed; see the errors above."
                           : "FAILED - keep nodes offline until the report is reviewed.";
  Tee("Result status:       %s\n", succeeded ? done : failed);
  PrintRestoreClosingLines(run, succeeded);
  Tee("Exit code:           %d\n", exitCode);
  Tee("############################################################\n");
  return exitCode;
}

// ---- /LIST ----------------------------------------------------------------------

// The backup root, as the packer resolves it.
bool ResolveBackupRootOf(RestoreState* run) {
  return ResolveBackupRoot(run->paths.home.text, &run->sw.options, &run->pack, &run->counters);
}

// One listing line; adds a whole backup's size to *total.
void ListOneBackup(const RestoreState* run, const ListedBackup& item, uint64_t* total) {
  const char* name = item.name;
  char stamp[32];
  PathBuffer dir;
  if (!StampOfName(name, stamp, sizeof stamp) || !JoinPath(&dir, run->pack.backupRootPath.text, name)) {
    return;
  }
  BackupManifest manifest;
  MessageBuffer reason;
  if (!BackupTreeTrusted(dir.text, run->accounts, &reason)) {
    Tee("%-28s %s  UNTRUSTED: %s\n", name, stamp, reason.text);
    return;
  }
  const ManifestState state = ReadBackupManifest(dir.text, &manifest, &reason);
  if (state != ManifestState::Complete) {
    Tee("%-28s %s  %s: %s\n", name, stamp,
        state == ManifestState::Invalid      ? "NOT RESTORABLE"
        : state == ManifestState::Unreadable ? "UNREADABLE"
                                             : "INCOMPLETE",
        reason.text);
    return;
  }
  uint64_t bytes = 0;
  unsigned lmrFiles = 0;
  for (uint32_t i = 0; i < manifest.count; ++i) {
    const ManifestEntry& entry = manifest.entries[i];
    uint64_t size = 0;
    if (!GetRegularFileSize(entry.copy.text, &size) || size != entry.source.size) {
      Tee("%-28s %s  INCOMPLETE: %s is missing or not its listed size\n", name, stamp, entry.name);
      return;
    }
    bytes += entry.source.size;
    lmrFiles += strcmp(entry.area, "MESSAGE") == 0;
  }
  const ManifestEntry* dat = FindManifestEntry(&manifest, "WORK", "QVUSERS.DAT");
  const uint64_t users = dat != nullptr ? dat->source.size / kUserRecordSize : 0;
  Tee("%-28s %s  %-11s %7" PRIu64 " users  %3u LMR files  %12" PRIu64 " bytes%s\n", name, stamp,
      BackupKindWord(manifest.kind), users, lmrFiles, bytes,
      item.identified ? "" : "  (no IDENTITY.TXT)");
  *total += bytes;
}

bool ListBackups(RestoreState* run) {
  if (!ResolveBackupRootOf(run)) return false;
  const char* root = run->pack.backupRootPath.text;
  BeginSection("\n======================= BACKUPS =======================\n");
  Tee("Backup root:         %s\n", root);
  BackupList list;
  if (!ListBackupStore(root, &list)) {
    return ReportError(&run->counters, "ERROR: cannot list the backup root.\n");
  }
  const uint32_t count = list.count;
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) ListOneBackup(run, list.items[i], &total);
  Tee("Backups found:       %u, %" PRIu64 " bytes in the complete ones\n", count, total);
  Tee("Made before:         pre-pack = a pack, pre-restore = a restore, MIXED = a restore over\n"
      "                     a database a pack left mixed (never restorable)\n");
  Tee("Order:               newest first, by the time IDENTITY.TXT records (UTC); backups\n"
      "                     without it (made by an earlier release) last, by name\n");
  Tee("Checked:             sizes only; %s /CHECK=<backup> verifies every hash.\n",
      platform::kRestoreProgramName);
  Tee("Other roots:         listed with /BACKUP=path.\n");
  if (list.failed) {
    return ReportError(&run->counters, "ERROR: the listing of %s stopped after %u backup(s); it is not complete.\n",
                       root, count);
  }
  return true;
}

// ---- /PRUNE --------------------------------------------------------------------

// Lets the root's lock go; a name that stays is said and counted.
void SayIfRootLockStays(RestoreState* run, RootLock* lock) {
  if (ReleaseRootLock(lock)) return;
  char line[kPathBufferSize + 128];
  FormatRootLockLeft(*lock, line, sizeof line);
  Tee("%s", line);
  ++run->counters.warnings;
}

struct PruneTally {
  uint32_t kept;  // backups that pass the check, kept as the newest
  uint32_t removed;
  uint64_t freed;
};

// The last component of path.
const char* LastName(const char* path) {
  const char* name = path + strlen(path);
  while (name > path && !IsSeparator(name[-1])) --name;
  return name;
}

bool SameHome(const char* a, const char* b) {
  return platform::kNamesIgnoreCase ? SameNameIgnoringCase(a, b) : strcmp(a, b) == 0;
}

// The marker names a backup by its id; a marker of an earlier release by its
// directory (in any spelling of the root: its name alone is enough to keep it).
bool MarkerNames(const ListedBackup& item, const PathBuffer& named,
                 const char* namedId) {
  if (namedId[0] != '\0') return item.identified && strcmp(item.identity.id, namedId) == 0;
  return named.text[0] != '\0' && SameNameIgnoringCase(item.name, LastName(named.text));
}

// What is known of one backup, as the decision needs it; *reason says why a
// fact is false where that is worth saying.
PruneFacts GatherFacts(const RestoreState* run, const ListedBackup& item, const char* dir,
                       const PathBuffer& named, const char* namedId, BackupManifest* manifest,
                       MessageBuffer* reason) {
  PruneFacts facts = {};
  facts.identified = item.identified;
  facts.empty = item.empty;
  facts.ofThisHome = item.identified && SameHome(item.identity.home.text, run->paths.home.text);
  facts.markerNames = MarkerNames(item, named, namedId);
  facts.examined = item.identityState != IdentityState::Unreadable;
  if (!item.identified) *reason = item.unidentified;
  if (!facts.identified || !facts.ofThisHome || facts.markerNames) return facts;
  uint64_t bytes = 0;
  bool unexamined = false;
  facts.trusted = BackupTreeTrusted(dir, run->accounts, reason, &unexamined);
  facts.onlyBackupFiles =
      facts.trusted && BackupHoldsOnlyItsFiles(run->pack.backupRootPath.text, item.name, &bytes,
                                               reason, &unexamined);
  facts.examined = !unexamined;
  if (!facts.onlyBackupFiles) return facts;
  facts.manifest = ReadBackupManifest(dir, manifest, reason);
  facts.examined = facts.manifest != ManifestState::Unreadable;
  facts.mixed = facts.manifest == ManifestState::Complete &&
                manifest->kind == BackupKind::BeforeRestoreOfMix;
  return facts;
}

const char* KeepText(PruneDecision decision) {
  switch (decision) {
    case PruneDecision::KeepNotOurs:
      return "not a backup this release made, left alone";
    case PruneDecision::KeepOtherHome:
      return "it is a backup of another home";
    case PruneDecision::KeepMarkerNames:
      return "the commit marker names it";
    case PruneDecision::KeepUntrusted:
      return "it cannot be trusted";
    case PruneDecision::KeepForeignFiles:
      return "not all of it is a backup";
    case PruneDecision::KeepUnreadable:
      return "its manifest is not one this program writes";
    case PruneDecision::KeepMixed:
      return "it holds a mix of packed and pre-pack files; only you remove it";
    case PruneDecision::KeepUnexamined:
      return "it cannot be examined now";
    case PruneDecision::KeepOrderUnsure:
      return "older, but kept while another backup cannot be examined";
    default:
      return "complete; /PRUNE=n removes complete backups";
  }
}

// A backup kept for a fault in it, rather than by design, needs the sysop: an error.
bool KeptForAFault(PruneDecision decision) {
  return decision == PruneDecision::KeepUntrusted || decision == PruneDecision::KeepForeignFiles ||
         decision == PruneDecision::KeepUnreadable || decision == PruneDecision::KeepUnexamined;
}

// Keeps or removes one backup (newest first), says which and why.
bool PruneOne(RestoreState* run, const ListedBackup& item, const PathBuffer& named,
              const char* namedId, bool orderUnsure, PruneTally* tally) {
  const char* name = item.name;
  PathBuffer dir;
  if (!JoinPath(&dir, run->pack.backupRootPath.text, name)) {
    return ReportError(&run->counters, "ERROR: backup path is too long: %s\n", name);
  }
  MessageBuffer reason = {};
  BackupManifest manifest;
  PruneFacts facts = GatherFacts(run, item, dir.text, named, namedId, &manifest, &reason);
  facts.orderUnsure = orderUnsure;
  PruneDecision decision = DecidePrune(facts, run->sw.keep, &tally->kept);
  MessageBuffer fault = {};
  if (decision == PruneDecision::NeedsCheck) {
    facts.checked = true;
    BackupVerdict verdict;
    facts.passes = InspectBackup(&manifest, &run->paths, false, &run->inventory, run->accounts, &verdict);
    if (!facts.passes) FirstFault(verdict, &fault);
    decision = DecidePrune(facts, run->sw.keep, &tally->kept);
  }
  switch (decision) {
    case PruneDecision::KeepVerified:
      Tee("KEEP    %-28s %-11s verified\n", name, BackupKindWord(manifest.kind));
      return true;
    case PruneDecision::KeepFailing:
      Tee("KEEP    %-28s %-11s fails the check (%s); kept until %u newer ones pass\n", name,
          BackupKindWord(manifest.kind), fault.text, run->sw.keep);
      return ReportError(&run->counters, "ERROR: %s fails the check; look at it.\n", name);
    case PruneDecision::RemoveEmpty:
      Tee("REMOVE  %-28s empty (a removal cut short)\n", name);
      if (!run->sw.dryRun) {
        const uint32_t error = RemoveEmptyBackupDirectory(run->pack.backupRootPath.text, name);
        if (error != 0) {
          return ReportError(&run->counters, "ERROR: %s was not removed%s.\n", name,
                             CauseOf(error).text);
        }
      }
      ++tally->removed;
      return true;
    case PruneDecision::RemoveIncomplete:
    case PruneDecision::RemoveOlder:
      break;
    default: {
      const char* detail =
          decision == PruneDecision::KeepOtherHome ? item.identity.home.text : reason.text;
      Tee("KEEP    %-28s %s%s%s\n", name, KeepText(decision), detail[0] != '\0' ? ": " : "", detail);
      return !KeptForAFault(decision) ||
             ReportError(&run->counters, "ERROR: %s is kept for what is wrong with it; look at it.\n",
                         name);
    }
  }
  const bool incomplete = decision == PruneDecision::RemoveIncomplete;
  Tee("REMOVE  %-28s %s\n", name, incomplete ? "incomplete" : "older than the backups kept");
  uint64_t freed = 0;
  const bool done = run->sw.dryRun
                        ? BackupHoldsOnlyItsFiles(run->pack.backupRootPath.text, name, &freed, &reason)
                        : RemoveBackup(run->pack.backupRootPath.text, name, &freed, &reason);
  if (!done) return ReportError(&run->counters, "ERROR: %s was not removed: %s.\n", name, reason.text);
  ++tally->removed;
  tally->freed += freed;
  return true;
}

bool PruneStore(RestoreState* run) {
  const char* root = run->pack.backupRootPath.text;
  PathBuffer named = {};
  char namedId[40] = {};
  if (!BackupNamedByCommitMarker(run->paths, &named, namedId, sizeof namedId)) {
    return ReportError(&run->counters,
                       "ERROR: the commit marker %s cannot be read: nothing is removed while it may "
                       "name a backup.\n",
                       run->paths.commitMarker.text);
  }
  BackupList list;
  // The check of a backup needs only the live LMR files' names.
  if (!AllocateLmrInventory(&run->inventory) ||
      !ListLmrFiles(run->paths.message.text, &run->inventory, &run->counters) ||
      !ListBackupStore(root, &list) || list.failed) {
    return ReportError(&run->counters, "ERROR: nothing is removed: the backups or the live LMR files cannot be listed.\n");
  }
  // A backup whose identity cannot be read may be the newest: nothing older is removed then.
  bool orderUnsure = false;
  for (uint32_t i = 0; i < list.count; ++i) {
    orderUnsure = orderUnsure || list.items[i].identityState == IdentityState::Unreadable;
  }
  PruneTally tally = {};
  bool pruned = true;
  for (uint32_t i = 0; i < list.count; ++i) {
    pruned = PruneOne(run, list.items[i], named, namedId, orderUnsure, &tally) && pruned;
  }
  Tee("%s %u backup(s), %" PRIu64 " bytes freed; %u verified backup(s) kept.\n",
      run->sw.dryRun ? "Would remove:       " : "Removed:            ", tally.removed, tally.freed,
      tally.kept);
  return pruned;
}

bool PruneUnderLock(RestoreState* run) {
  if (!ResolveBackupRootOf(run)) return false;
  const char* root = run->pack.backupRootPath.text;
  BeginSection("\n======================= PRUNE =========================\n");
  Tee("Backup root:         %s\n", root);
  if (run->sw.keep == 0) {
    Tee("Keeping:             every complete backup; only incomplete ones are removed\n");
  } else {
    Tee("Keeping:             the newest %u backup(s) that pass the check of /CHECK\n", run->sw.keep);
  }
  if (run->sw.dryRun) Tee("DRY RUN:             nothing is removed.\n");
  PathVerdict verdict;
  if (!PathIsTrusted(root, true, run->accounts, &verdict)) {
    char why[kMessageBufferSize];
    DescribeUntrustedPath(verdict, true, why, sizeof why);
    return ReportError(&run->counters, "ERROR: the backup root cannot be trusted, %s\n", why);
  }
  // No run of any home makes, reads or removes a backup here meanwhile.
  RootLock lock;
  MessageBuffer reason;
  if (!TakeRootLock(root, run->paths.home.text, RootUse::Prune, &lock, &reason)) {
    return ReportError(&run->counters, "ERROR: nothing is removed: %s.\n", reason.text);
  }
  const bool pruned = PruneStore(run);
  SayIfRootLockStays(run, &lock);
  return pruned;
}

bool PruneBackups(RestoreState* run) {
  if (!TakeRunLock(run->paths, run->clock, &run->counters, &run->lockRefusal)) return false;
  const bool pruned = PruneUnderLock(run);
  ReleaseRunLock(&run->counters);
  return pruned;
}

// ---- /CHECK and /RESTORE ------------------------------------------------------

bool HasEntry(const char* dir, const char* name) {
  PathBuffer path;
  platform::EntryKind kind = platform::EntryKind::Missing;
  return JoinPath(&path, dir, name) && platform::ExamineEntry(path.text, &kind) == 0 &&
         kind != platform::EntryKind::Missing;
}

bool IsDirectoryPath(const char* path) {
  platform::PathAttributes attributes;
  return platform::GetPathAttributes(path, &attributes) && attributes.isDirectory;
}

// The backup as given: a name as /LIST prints it, under the backup root, or a
// path (absolute, or from the home directory).
bool ResolveBackupArgument(RestoreState* run) {
  const char* given = run->sw.backupArgument.text;
  bool bareName = true;
  for (const char* c = given; *c != '\0'; ++c) bareName = bareName && !IsSeparator(*c);
  if (bareName && !ResolveBackupRootOf(run)) return false;
  PathBuffer underRoot;
  if (bareName && JoinPath(&underRoot, run->pack.backupRootPath.text, given) &&
      (IsDirectoryPath(underRoot.text) || !HasEntry(run->paths.home.text, given))) {
    run->backupDir = underRoot;
    return true;
  }
  if (IsAbsolutePath(given) ? !CopyPath(&run->backupDir, given)
                            : !JoinPath(&run->backupDir, run->paths.home.text, given)) {
    return ReportError(&run->counters, "ERROR: backup directory path is too long.\n");
  }
  return true;
}

// A directory is a backup, whole or not, when it bears a backup's name or holds
// what a backup holds.
bool LooksLikeBackup(const char* dir) {
  const char* name = LastName(dir);
  char stamp[32];
  return StampOfName(name, stamp, sizeof stamp) || HasEntry(dir, "MANIFEST.TXT") ||
         HasEntry(dir, "WORK") || HasEntry(dir, "MESSAGE");
}

// Finds, trusts and reads the backup; says exactly what it is when it is not
// one that can be checked.
bool ReadTrustedBackup(RestoreState* run) {
  const char* dir = run->backupDir.text;
  if (!IsDirectoryPath(dir)) return ReportError(&run->counters, "ERROR: %s does not exist.\n", dir);
  if (!LooksLikeBackup(dir)) {
    return ReportError(&run->counters,
                       "ERROR: %s is not a backup: it holds no MANIFEST.TXT, WORK or MESSAGE.\n",
                       dir);
  }
  MessageBuffer reason;
  if (!BackupTreeTrusted(dir, run->accounts, &reason)) {
    return ReportError(&run->counters, "ERROR: the backup cannot be trusted, %s.\n", reason.text);
  }
  // Opened once: the manifest and every copy are read in this directory, through
  // its anchor, whatever is renamed on the way to it from now on.
  if (platform::OpenDirectory({dir, platform::kInvalidHandle}, &run->backupHandle) != 0) {
    return ReportError(&run->counters, "ERROR: the backup directory %s cannot be opened.\n", dir);
  }
  PathBuffer anchor;
  platform::DirectoryAnchor(run->backupHandle, dir, anchor.text, sizeof anchor.text);
  BackupIdentity identity;
  MessageBuffer unidentified;
  if (ReadBackupIdentity(anchor.text, &identity, &unidentified) == IdentityState::Read) {
    platform::CopyBounded(run->backupId, sizeof run->backupId, identity.id);
  }
  const ManifestState state = ReadBackupManifest(anchor.text, &run->manifest, &reason);
  if (state == ManifestState::Missing || state == ManifestState::CutShort) {
    return ReportError(&run->counters,
                       "ERROR: this is an incomplete backup (a run stopped while making it): %s.\n",
                       reason.text);
  }
  if (state != ManifestState::Complete) {
    return ReportError(&run->counters, "ERROR: this backup cannot be restored: %s.\n", reason.text);
  }
  if (run->manifest.kind == BackupKind::BeforeRestoreOfMix) {
    return ReportError(&run->counters,
                       "ERROR: this backup holds a mix of packed and pre-pack files: it was made "
                       "before a restore over a pack cut short in its commit. It is never "
                       "restored; its copies stay for an expert.\n");
  }
  return true;
}

// Every line the check found; each fault counts as an error.
void PrintVerdict(const BackupVerdict& verdict, RunCounters* counters) {
  for (uint32_t i = 0; i < verdict.count; ++i) {
    Tee("%s", verdict.lines[i].text);
    counters->errors += verdict.lines[i].fault ? 1 : 0;
  }
  if (verdict.faults > verdict.count) counters->errors += verdict.faults - verdict.count;
}

// The live LMR files, each a regular file, and the backup checked against them.
bool CheckBackup(RestoreState* run) {
  if (!ResolveBackupArgument(run)) return false;
  BeginSection("\n===================== BACKUP CHECK =====================\n");
  Tee("Backup directory:    %s\n", run->backupDir.text);
  if (ReadTrustedBackup(run)) {
    Tee("Made before:         %s\n", BackupKindWord(run->manifest.kind));
    if (!AllocateLmrInventory(&run->inventory)) {
      ReportError(&run->counters, "ERROR: out of memory allocating LMR inventory.\n");
    } else if (BuildLmrInventory(run->paths.message.text, &run->inventory, &run->counters)) {
      BackupVerdict verdict;
      InspectBackup(&run->manifest, &run->paths, run->sw.moved, &run->inventory, run->accounts, &verdict);
      PrintVerdict(verdict, &run->counters);
    }
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

// Room, volume by volume, for the pre-restore backup of the live files and the
// backup's files staged beside them, by the packer's one rule, before either is begun.
bool CheckRestoreSpace(RestoreState* run) {
  SpaceNeeds needs = {};
  for (uint32_t i = 0; i < run->manifest.count; ++i) {
    const ManifestEntry& entry = run->manifest.entries[i];
    const bool work = strcmp(entry.area, "WORK") == 0;
    if (work && strcmp(entry.name, "QVWHOSON.DAT") == 0) continue;  // never restored
    (work ? needs.work : needs.message) += entry.source.size;
  }
  const LiveSnapshots& live = run->live;
  needs.backup = live.usersDat.size + live.usersPtr.size + live.whosOn.size +
                 (run->pack.purgedLogExisted ? run->pack.purgedLogSnapshot.size : 0) +
                 LmrInventoryBytes(&run->inventory);
  const RunPaths& p = run->paths;
  const WritePlaces places{p.home.text,      p.work.text,     p.message.text,
                           p.purgedLog.text, p.usersDat.text, &run->sw.options};
  return CheckSpaceForNeeds(places, needs, "restore", &run->pack, &run->counters);
}

bool RestoreFromBackup(RestoreState* run) {
  if (!CheckCallerStatus(run->paths.whosOn.text, &run->counters, run->callerRefusal.text)) {
    return false;
  }
  AdvanceLiveState(LiveEvent::ReadBegins);
  if (!CheckBackup(run) || !SnapshotLiveSet(run)) return false;
  AdvanceLiveState(LiveEvent::SnapshotsTaken);
  // A backup of a mix must never pass for a whole database later.
  run->pack.backupKind = run->markerFound && CommitMarkerShowsMix(run->paths)
                             ? BackupKind::BeforeRestoreOfMix
                             : BackupKind::BeforeRestore;
  if (!CheckRestoreSpace(run)) return false;
  BeginSection("\n=================== VERIFIED BACKUP =======================\n");
  if (!CreateVerifiedBackup(run->paths.home.text, run->paths.whosOn.text, &run->live,
                            &run->inventory, &run->sw.options, &run->clock.startTime, &run->pack,
                            &run->counters)) {
    return false;
  }
  BeginSection("\n================== STAGE RESTORED SET =====================\n");
  if (!StageBackupSet(&run->manifest, &run->live, &run->inventory, &run->pack, &run->counters)) {
    return false;
  }
  // A pack cut short may have left its staged audit log: nothing restores it.
  PathBuffer stagedLog;
  if (run->pack.removePurgedLog && StagedPathFor(&stagedLog, run->pack.purgedLogPath.text) &&
      (IsRegularFile(stagedLog.text) || IsSymbolicLink(stagedLog.text))) {
    RemoveFileOrLink(stagedLog.text);
    Tee("Removed:             %s, a pack's staged audit log this restore does not use.\n",
        stagedLog.text);
  }
  if (run->pack.removePurgedLog && run->pack.purgedLogExisted) {
    Tee("QVPURGED.USR:        not in this backup (the pack made it): the restore removes it;\n"
        "                     the pre-restore backup %s keeps it.\n",
        run->pack.backupDirPath.text);
  }
  BeginSection("\n================== FINAL SAFETY GATE ======================\n");
  if (!CheckCallerStatus(run->paths.whosOn.text, &run->counters, run->callerRefusal.text) ||
      !RunFinalSafetyGate(&run->live, &run->inventory, &run->pack, &run->counters)) {
    return false;
  }
  Tee("Final pre-commit safety result: PASS\n");
  // The marker names the backup being restored: a restore cut short is finished
  // by running it again. Over a flagged mix, no state before it counts as whole.
  const CommitSection section{run->paths.commitMarker.text, run->paths.whosOn.text,
                              run->paths.usersDat.text,     run->paths.usersPtr.text,
                              run->backupDir.text,          run->backupId,
                              !run->markerFound,
                              &run->live,                   &run->inventory,
                              &run->pack,                   &run->counters,
                              run->callerRefusal.text};
  const bool committed = CommitHoldingInterrupts(section);
  // In place and verified, also when the lock was lost meanwhile (then the run fails).
  run->restored = CurrentLiveState() == LiveState::Committed;
  if (!committed) return false;
  Tee("RESTORE RESULT: SUCCESS - %s restored and verified.\n", run->backupDir.text);
  Tee("Pre-restore backup:  %s\n", run->pack.backupDirPath.text);
  return true;
}

// The backup being restored stays as it is: no prune of any home removes it meanwhile.
bool RestoreUnderRootLock(RestoreState* run) {
  if (!ResolveBackupArgument(run)) return false;
  PathBuffer root;
  RootLock lock;
  MessageBuffer reason;
  if (ParentDirectory(run->backupDir.text, &root) && IsDirectoryPath(root.text) &&
      !TakeRootLock(root.text, run->paths.home.text, RootUse::Restore, &lock, &reason)) {
    return ReportError(&run->counters, "ERROR: the backup cannot be restored now: %s.\n", reason.text);
  }
  const bool restored = RestoreFromBackup(run);
  SayIfRootLockStays(run, &lock);
  return restored;
}

bool RestoreSteps(RestoreState* run) {
  if (!TakeRunLock(run->paths, run->clock, &run->counters, &run->lockRefusal)) return false;
  run->markerFound = IsRegularFile(run->paths.commitMarker.text);
  if (run->markerFound) {
    Tee("Commit marker:       %s - an earlier commit was cut short; this restore replaces it.\n",
        run->paths.commitMarker.text);
  }
  return RestoreUnderRootLock(run);
}

// The closing lines of a restore, decided while its lock keeps other tools out.
void DescribeRestoreEnd(RestoreState* run) {
  const bool startedMixed = run->markerFound && CommitMarkerShowsMix(run->paths);
  const EndOfRunFacts facts{&run->paths, nullptr, &run->live, &run->inventory, &run->pack,
                            true, startedMixed && CurrentLiveState() != LiveState::Committed,
                            run->counters.errors != 0, false, run->lockRefusal};
  DescribeEndOfRun(facts, &run->closing);
}

bool RunAction(RestoreState* run) {
  if (!ResolveRunPaths(&run->paths, &run->counters)) return false;
  platform::TrustedAccountsOf(run->paths.usersDat.text, &run->accounts);
  switch (run->sw.action) {
    case RestoreAction::List:
      return ListBackups(run);
    case RestoreAction::Check: {
      const bool checked = CheckBackup(run);
      platform::CloseDirectory(run->backupHandle);
      run->backupHandle = platform::kInvalidHandle;
      return checked;
    }
    case RestoreAction::Prune:
      return PruneBackups(run);
    default:
      break;
  }
  const bool restored = RestoreSteps(run);
  platform::CloseDirectory(run->backupHandle);
  run->backupHandle = platform::kInvalidHandle;
  RemoveStagedFiles(&run->pack, &run->inventory);
  NameStagedLeftovers(&run->paths);
  DescribeRestoreEnd(run);
  ReleaseRunLock(&run->counters);
  // As for the packer, a lock that could not be released is reported, and the
  // verified restore stands.
  return restored;
}

// Help, version and rejected command lines end the run before anything is opened.
bool AnswerWithoutRun(RestoreState* run, int* exitCode) {
  MessageBuffer message = {};
  if (!ParseRestoreSwitches(run->argc, run->argv, &run->sw, &message)) {
    printf("ERROR: %s\n\n", message.text);
    fputs(RestoreUsage().text, stdout);
    *exitCode = kExitUsage;
    return true;
  }
  if (run->sw.action == RestoreAction::Help) fputs(RestoreUsage().text, stdout);
  if (run->sw.action == RestoreAction::Version) printf("%s %s\n", kRestoreName, kProgramVersion);
  *exitCode = kExitClean;
  return run->sw.action == RestoreAction::Help || run->sw.action == RestoreAction::Version;
}

}  // namespace

int RestoreDriver(int argc, char* const* argv) {
  RestoreState* run = new (std::nothrow) RestoreState();
  if (run == nullptr) return kExitFailed;
  run->argc = argc;
  run->argv = argv;
  run->callerRefusal = WithProgramName(kCallerRefusal);
  SetCallerNamer(NameUserBeside);
  run->backupHandle = platform::kInvalidHandle;
  int exitCode = kExitClean;
  if (!AnswerWithoutRun(run, &exitCode)) {
    StartLiveState("QVRESTORE");
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
  FlushOutput();
  // An interrupt held back during the commit ends the process now, as it would have.
  platform::EndByHeldInterrupt();
  return exitCode;
}
