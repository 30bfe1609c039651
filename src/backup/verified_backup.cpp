// The verified backup: every file the pack may change, and QVWHOSON.DAT, copied
// into a new timestamped directory and proved equal to its pre-pack snapshot
// before any live file is touched.
#include "backup/verified_backup.h"
#include "base/interrupt_hold.h"

#include <cinttypes>
#include <cstring>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/parallel_jobs.h"
#include "base/paths.h"
#include "backup/backup_identity.h"
#include "backup/backup_manifest.h"
#include "backup/backup_store.h"
#include "backup/space_check.h"
#include "platform/platform.h"
#include "safety/path_trust.h"

namespace {

constexpr unsigned kLastDirectorySuffix = 999;
constexpr size_t kRestoreWarningSize = 2048;
constexpr size_t kDirectoryNameSize = 64;

constexpr const char* kRestoreWarningFormat =
    "QVCULLDB32 %s IMMEDIATE-ROLLBACK BACKUP\r\n"
    "\r\n"
    "This backup is intended for immediate rollback before the BBS is reopened.\r\n"
    "After callers return, restoring it discards newer user-database and\r\n"
    "last-message-read progress.\r\n"
    "\r\n"
    "Restore WORK\\QVUSERS.DAT, WORK\\QVUSERS.PTR, and every\r\n"
    "MESSAGE\\QVMSGxx.LMR file together as one matched set.\r\n"
    "Restore WORK\\QVPURGED.USR only when it existed before the pack.\r\n";

// Added to the warning of a backup made before a restore over a mixed database.
constexpr const char* kMixedWarning =
    "\r\n"
    "DO NOT RESTORE THIS BACKUP. It was made before a restore over a database\r\n"
    "that a pack cut short in its commit had left a mix of packed and pre-pack\r\n"
    "files. The restore program refuses it; its copies are kept for an expert.\r\n";

bool IsDirectory(const char* path) {
  platform::PathAttributes attributes;
  return platform::GetPathAttributes(path, &attributes) && attributes.isDirectory;
}

// The copies alone; the space check adds the margin every check adds.
uint64_t BackupBytes(const LiveSnapshots* live, const LmrInventory* inventory,
                     const PackContext* pack) {
  uint64_t needed = live->usersDat.size + live->usersPtr.size + live->whosOn.size;
  for (uint32_t i = 0; i < inventory->count; ++i) {
    needed += inventory->entries[i].liveSnapshot.size;
  }
  if (pack->purgedLogExisted) needed += pack->purgedLogSnapshot.size;
  return needed;
}


// The backup's directories, held open while it is made: every entry below the
// root is made relative to them, so that nothing renamed on the way after the
// root's check can redirect a copy.
struct BackupTree {
  platform::FileHandle root = platform::kInvalidHandle;
  platform::FileHandle dir = platform::kInvalidHandle;
  platform::FileHandle work = platform::kInvalidHandle;
  platform::FileHandle message = platform::kInvalidHandle;
  PathBuffer workPath{};
  PathBuffer messagePath{};

  BackupTree() = default;
  BackupTree(const BackupTree&) = delete;
  BackupTree& operator=(const BackupTree&) = delete;
  ~BackupTree() {
    for (platform::FileHandle handle : {message, work, dir, root}) platform::CloseDirectory(handle);
  }
};

// Creates path unless it is a directory already; true when it is one afterwards.
bool MakeDirectoryIfMissing(const char* path) {
  if (IsDirectory(path)) return true;
  return EnsureDirectory(path) && IsDirectory(path);
}

// Applies action to every directory of the root that may be created (never a
// drive root, a UNC server or share), outermost first, then to the root itself.
bool ForEachRootDirectory(const char* root, bool (*action)(const char* dir)) {
  PathBuffer buffer;
  if (!CopyPath(&buffer, root)) return false;
  char* prefix = buffer.text;
  for (size_t i = FirstCreatableIndex(root); prefix[i] != '\0'; ++i) {
    if (!IsSeparator(prefix[i])) continue;
    const char separator = prefix[i];
    prefix[i] = '\0';
    const bool ok = prefix[0] == '\0' || action(prefix);
    prefix[i] = separator;
    if (!ok) return false;
  }
  return action(prefix);
}

// Creates every missing directory of the root, outermost first.
bool CreateDirectoryChain(const char* root) {
  return ForEachRootDirectory(root, MakeDirectoryIfMissing);
}

// The backup must survive a crash during the commit, so the directory entries
// of every copy, of the timestamped directory and of the root chain reach the
// disk too, not only the files' contents.
bool FlushBackupDirectories(const PackContext* pack, const char* workDir,
                            const char* messageDir) {
  return platform::FlushDirectoryToDisk(workDir) && platform::FlushDirectoryToDisk(messageDir) &&
         platform::FlushDirectoryToDisk(pack->backupDirPath.text) &&
         ForEachRootDirectory(pack->backupRootPath.text, platform::FlushDirectoryToDisk);
}

// From the moment the backup directory exists until its manifest is written,
// an interrupt names it as left behind.
void NameBackupInInterruptNotice(const PackContext* pack, const RunOptions* options) {
  static LeftBehindLine interruptLine;
  SetInterruptLeftBehind(nullptr);
  if (!pack->backupBegun) return;
  FormatIncompleteBackupLine(pack, options, &interruptLine);
  SetInterruptLeftBehind(interruptLine.text);
}

// A new directory named after the start time, made in the open root; a taken
// name gets the first free suffix -001 to -999, so a backup directory never
// holds two runs' files.
bool CreateTimestampedDirectory(const struct tm* startTime, platform::FileHandle root,
                                const RunOptions* options, PackContext* pack) {
  char name[kDirectoryNameSize];
  if (strftime(name, sizeof name, "QVCULLDB-%Y%m%d-%H%M%S", startTime) == 0) return false;
  if (!JoinPath(&pack->backupDirPath, pack->backupRootPath.text, name)) return false;
  // Interrupts wait until the directory made is named in the interrupt notice.
  const InterruptHold hold;
  uint32_t error = platform::MakeDirectory({pack->backupDirPath.text, root});
  for (unsigned suffix = 1; error == platform::kErrorAlreadyExists &&
                            suffix <= kLastDirectorySuffix;
       ++suffix) {
    char suffixed[kDirectoryNameSize];
    if (!FormatComplete(FormatBounded(suffixed, sizeof suffixed, "%s-%03u", name, suffix),
                        sizeof suffixed) ||
        !JoinPath(&pack->backupDirPath, pack->backupRootPath.text, suffixed)) {
      return false;
    }
    error = platform::MakeDirectory({pack->backupDirPath.text, root});
  }
  pack->backupBegun = error == 0;
  NameBackupInInterruptNotice(pack, options);
  return error == 0;
}

// A directory this run makes inside an open one, opened in turn.
bool MakeAndOpenDirectory(const char* path, platform::FileHandle parent,
                          platform::FileHandle* opened) {
  return platform::MakeDirectory({path, parent}) == 0 &&
         platform::OpenDirectory({path, parent}, opened) == 0;
}

bool CreateBackupDirectory(const struct tm* startTime, const RunOptions* options,
                           PackContext* pack, BackupTree* tree) {
  return platform::OpenDirectory({pack->backupRootPath.text, platform::kInvalidHandle},
                                 &tree->root) == 0 &&
         CreateTimestampedDirectory(startTime, tree->root, options, pack) &&
         platform::OpenDirectory({pack->backupDirPath.text, tree->root}, &tree->dir) == 0;
}

bool CreateBackupAreas(const PackContext* pack, BackupTree* tree) {
  return JoinPath(&tree->workPath, pack->backupDirPath.text, "WORK") &&
         JoinPath(&tree->messagePath, pack->backupDirPath.text, "MESSAGE") &&
         MakeAndOpenDirectory(tree->workPath.text, tree->dir, &tree->work) &&
         MakeAndOpenDirectory(tree->messagePath.text, tree->dir, &tree->message);
}

// One verified copy into the backup, readable by its owner alone.
// Copies source into the backup as name; false with *error the cause (0: none known).
bool BackupFile(const char* source, const char* backupArea, platform::FileHandle area,
                const char* name, const FileSnapshot* expected, uint32_t* error) {
  PathBuffer destination;
  FileSnapshot copy{};
  const bool copied = JoinPath(&destination, backupArea, name) &&
                      CopyFileVerified(source, {destination.text, area}, expected, &copy);
  *error = copy.error;
  return copied;
}

struct BackupCopies {
  const char* whosOnPath;
  const LiveSnapshots* live;
  const LmrInventory* inventory;
  const PackContext* pack;
  const BackupTree* tree;
};

// Steps 0 to 2 copy the WORK database files, step 3 the audit log (when there
// is one), step i the LMR file i-4.
bool CopyOneStep(uint32_t index, void* context, RunCounters* counters) {
  const BackupCopies* c = static_cast<const BackupCopies*>(context);
  const char* work = c->tree->workPath.text;
  const platform::FileHandle workDir = c->tree->work;
  const LiveSnapshots* live = c->live;
  uint32_t error = 0;
  const FileSnapshot* workFiles[3] = {&live->usersDat, &live->usersPtr, &live->whosOn};
  const char* workNames[3] = {"QVUSERS.DAT", "QVUSERS.PTR", "QVWHOSON.DAT"};
  if (index < 3) {
    const char* source = index == 2 ? c->whosOnPath : workFiles[index]->path.text;
    return BackupFile(source, work, workDir, workNames[index], workFiles[index], &error) ||
           ReportError(counters, "ERROR: verified backup failed for WORK database files%s.\n",
                       CauseOf(error).text);
  }
  if (index == 3) {
    if (!c->pack->purgedLogExisted) return true;
    return BackupFile(c->pack->purgedLogPath.text, work, workDir, "QVPURGED.USR",
                      &c->pack->purgedLogSnapshot, &error) ||
           ReportError(counters, "ERROR: verified backup failed for QVPURGED.USR%s.\n",
                       CauseOf(error).text);
  }
  const LmrFileEntry* entry = &c->inventory->entries[index - 4];
  return BackupFile(entry->path.text, c->tree->messagePath.text, c->tree->message, entry->name,
                    &entry->liveSnapshot, &error) ||
         ReportError(counters, "ERROR: verified backup failed for %s%s.\n", entry->name,
                     CauseOf(error).text);
}

// The copies are made side by side; the first failure, in this order, is the one reported.
bool CopyDatabaseFiles(const char* whosOnPath, const LiveSnapshots* live,
                       const LmrInventory* inventory, const PackContext* pack,
                       const BackupTree* tree, RunCounters* counters) {
  BackupCopies copies{whosOnPath, live, inventory, pack, tree};
  // Each file is read, and its copy read back: twice its size.
  const uint64_t bytes = 2 * BackupBytes(live, inventory, pack);
  return RunJobsInOrder({inventory->count + 4, CopyOneStep, &copies, AfterFailure::StopThere,
                         kWritingThreads, "Backup", bytes},
                        counters);
}

// Writes text as the whole content of a new file and flushes it to disk; a file
// that failed is removed.
bool WriteTextFileFlushed(const platform::NewEntry& entry, const char* text) {
  platform::FileIdentity identity{};
  FILE* stream = CreateFreshFile(entry, &identity);
  if (stream == nullptr) return false;
  FileSnapshot written;
  if (WriteString(stream, text) && SealWrittenFile(stream, entry.path, identity, &written)) {
    return true;
  }
  RemoveFileOrLink(entry.path);
  return false;
}

// The backup's first file: whose it is, when it was begun and its id.
bool WriteIdentity(const char* homeDir, PackContext* pack, const BackupTree* tree,
                   RunCounters* counters) {
  BackupIdentity identity;
  NewBackupIdentity(homeDir, &identity);
  IdentityText text;
  FormatIdentityText(identity, &text);
  PathBuffer path;
  if (!JoinPath(&path, pack->backupDirPath.text, kIdentityName) ||
      !WriteTextFileFlushed({path.text, tree->dir}, text.text)) {
    return ReportError(counters, "ERROR: cannot write the backup's IDENTITY.TXT.\n");
  }
  platform::CopyBounded(pack->backupId, sizeof pack->backupId, identity.id);
  return true;
}

bool WriteRestoreWarning(const PackContext* pack, const BackupTree* tree,
                         RunCounters* counters) {
  PathBuffer path;
  char text[kRestoreWarningSize];
  if (!JoinPath(&path, pack->backupDirPath.text, "RESTORE_WARNING.TXT") ||
      !FormatComplete(FormatBounded(text, sizeof text, kRestoreWarningFormat, kProgramVersion),
                      sizeof text) ||
      (pack->backupKind == BackupKind::BeforeRestoreOfMix &&
       !FormatComplete(FormatBounded(text + strlen(text), sizeof text - strlen(text), "%s",
                                     kMixedWarning),
                       sizeof text - strlen(text))) ||
      !WriteTextFileFlushed({path.text, tree->dir}, text)) {
    return ReportError(counters, "ERROR: cannot create backup restore warning.\n");
  }
  return true;
}

bool WriteManifest(const LiveSnapshots* live, const LmrInventory* inventory,
                   const PackContext* pack, const BackupTree* tree, RunCounters* counters) {
  PathBuffer path;
  if (!JoinPath(&path, pack->backupDirPath.text, "MANIFEST.TXT")) {
    return ReportError(counters, "ERROR: backup manifest path is too long.\n");
  }
  platform::FileIdentity identity{};
  FILE* stream = CreateFreshFile({path.text, tree->dir}, &identity);
  if (stream == nullptr) return ReportError(counters, "ERROR: cannot write backup manifest.\n");
  if (!WriteManifestText(stream, live, inventory, pack, counters)) {
    fclose(stream);
    return false;
  }
  FileSnapshot written;
  if (!SealWrittenFile(stream, path.text, identity, &written)) {
    return ReportError(counters, "ERROR: cannot finalize backup manifest.\n");
  }
  return true;
}

}  // namespace

bool BackupRootOf(const char* homeDir, const RunOptions* options, PathBuffer* root) {
  const char* given = options->backupRoot.text;
  if (!options->backupGiven) {
    if (!JoinPath(root, homeDir, "QVCULLDB-BACKUPS")) return false;
  } else if (IsAbsolutePath(given) ? !CopyPath(root, given) : !JoinPath(root, homeDir, given)) {
    return false;
  }
  TrimTrailingSeparators(root->text);
  return true;
}

bool ResolveBackupRoot(const char* homeDir, const RunOptions* options, PackContext* pack,
                       RunCounters* counters) {
  if (BackupRootOf(homeDir, options, &pack->backupRootPath)) return true;
  if (options->backupGiven) return ReportError(counters, "ERROR: /BACKUP path is too long.\n");
  return ReportError(counters, "ERROR: default backup path is too long.\n");
}

void FormatPruneCommand(const char* root, const RunOptions* options, PruneCommand* command) {
  const char* quote = strchr(root, ' ') != nullptr ? "\"" : "";
  if (!options->backupGiven) {
    FormatBounded(command->text, sizeof command->text, "%s /PRUNE",
                  platform::kRestoreProgramName);
  } else {
    FormatBounded(command->text, sizeof command->text, "%s /PRUNE %s/BACKUP=%s%s",
                  platform::kRestoreProgramName, quote, root, quote);
  }
}

void FormatIncompleteBackupLine(const PackContext* pack, const RunOptions* options,
                                LeftBehindLine* line) {
  PruneCommand prune;
  FormatPruneCommand(pack->backupRootPath.text, options, &prune);
  FormatBounded(line->text, sizeof line->text,
                "Left behind:         %s - an incomplete backup without a complete manifest; %s "
                "removes it.\n",
                pack->backupDirPath.text, prune.text);
}

// The backup is the only copy of the pre-pack user base.
bool BackupRootTrusted(const char* root, const char* usersDatPath, RunCounters* counters) {
  platform::TrustedAccounts accounts;
  platform::TrustedAccountsOf(usersDatPath, &accounts);
  PathVerdict verdict;
  if (PathIsTrusted(root, true, accounts, &verdict)) return true;
  char why[kMessageBufferSize];
  DescribeUntrustedPath(verdict, true, why, sizeof why);
  return ReportError(counters, "ERROR: backup root cannot be trusted, %s\n", why);
}

bool EnsureDirectory(const char* path) {
  const uint32_t error = platform::MakeDirectory({path, platform::kInvalidHandle});
  return error == 0 || error == platform::kErrorAlreadyExists;
}

namespace {

bool MakeBackupUnderLock(const char* homeDir, const char* whosOnPath, const LiveSnapshots* live,
                         const LmrInventory* inventory, const RunOptions* options,
                         const struct tm* startTime, PackContext* pack, RunCounters* counters) {
  const uint64_t needed = SpaceWithMargin(BackupBytes(live, inventory, pack));

  uint64_t available = 0;
  if (!platform::FreeBytesAvailable(pack->backupRootPath.text, &available)) {
    return ReportError(counters, "ERROR: cannot determine free space at backup root: %s\n",
                       pack->backupRootPath.text);
  }
  if (available < needed) {
    return ReportError(counters,
                       "ERROR: insufficient backup space. Need at least %" PRIu64
                       " bytes; available %" PRIu64 ".\n",
                       needed, available);
  }

  BackupTree tree;
  if (!CreateBackupDirectory(startTime, options, pack, &tree)) {
    return ReportError(counters,
                       "ERROR: cannot create timestamped backup directory tree under %s.\n",
                       pack->backupRootPath.text);
  }
  // Written first, so that even a backup cut short at its next step is known as ours.
  if (!WriteIdentity(homeDir, pack, &tree, counters)) return false;
  if (!CreateBackupAreas(pack, &tree)) {
    return ReportError(counters,
                       "ERROR: cannot create timestamped backup directory tree under %s.\n",
                       pack->backupRootPath.text);
  }
  if (!CopyDatabaseFiles(whosOnPath, live, inventory, pack, &tree, counters) ||
      !WriteRestoreWarning(pack, &tree, counters) ||
      !WriteManifest(live, inventory, pack, &tree, counters)) {
    return false;
  }
  if (!FlushBackupDirectories(pack, tree.workPath.text, tree.messagePath.text)) {
    return ReportError(counters, "ERROR: cannot finalize backup manifest.\n");
  }

  pack->backupDone = true;
  SetInterruptLeftBehind(nullptr);
  return true;
}

}  // namespace

bool CreateVerifiedBackup(const char* homeDir, const char* whosOnPath,
                          const LiveSnapshots* live, const LmrInventory* inventory,
                          const RunOptions* options, const struct tm* startTime,
                          PackContext* pack, RunCounters* counters) {
  if (!ResolveBackupRoot(homeDir, options, pack, counters)) return false;
  if (!CreateDirectoryChain(pack->backupRootPath.text)) {
    return ReportError(counters, "ERROR: cannot create or access backup root: %s\n",
                       pack->backupRootPath.text);
  }
  if (!BackupRootTrusted(pack->backupRootPath.text, live->usersDat.path.text, counters)) {
    return false;
  }
  // No prune or restore from any home works in the root while the backup is made.
  RootLock lock;
  MessageBuffer reason;
  if (!TakeRootLock(pack->backupRootPath.text, homeDir, RootUse::Make, &lock, &reason)) {
    return ReportError(counters, "ERROR: cannot make the backup: %s.\n", reason.text);
  }
  const bool made = MakeBackupUnderLock(homeDir, whosOnPath, live, inventory, options, startTime,
                                        pack, counters);
  if (!ReleaseRootLock(&lock)) {
    char line[kPathBufferSize + 128];
    FormatRootLockLeft(lock, line, sizeof line);
    Tee("%s", line);
    ++counters->warnings;
  }
  if (!made) return false;
  Tee("Backup root:        %s\n", pack->backupRootPath.text);
  Tee("Backup directory:   %s\n", pack->backupDirPath.text);
  Tee("Verified backup result: PASS\n");
  return true;
}
