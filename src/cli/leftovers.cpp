#include "cli/leftovers.h"

#include <cinttypes>
#include <cstring>

#include "base/output.h"
#include "backup/backup_store.h"
#include "backup/verified_backup.h"
#include "platform/platform.h"
#include "safety/file_snapshot.h"

namespace {

constexpr char kStagedSuffix[] = ".QVCNEW";

struct StagedLeftovers {
  uint32_t count;
  uint64_t bytes;
};

bool EndsWithStagedSuffix(const char* name) {
  const size_t length = strlen(name), suffix = sizeof kStagedSuffix - 1;
  return length > suffix && SameNameIgnoringCase(name + length - suffix, kStagedSuffix);
}

// A listing that breaks off is said, never taken for one that found nothing.
void WarnUnlisted(const char* dir, RunCounters* counters) {
  Tee("WARNING: cannot list %s for files earlier runs left.\n", dir);
  ++counters->warnings;
}

// The staged files in dir; one that cannot be sized counts no bytes.
void CountStagedFiles(const char* dir, StagedLeftovers* found, RunCounters* counters) {
  PathBuffer pattern;
  if (!JoinPath(&pattern, dir, "*.QVCNEW")) return;
  platform::DirectorySearch search;
  platform::DirectoryEntry entry;
  for (bool more = platform::FindFirstEntry(pattern.text, &search, &entry); more;
       more = platform::FindNextEntry(&search, &entry)) {
    PathBuffer path;
    uint64_t size = 0;
    if (entry.isDirectory || !EndsWithStagedSuffix(entry.name) ||
        !JoinPath(&path, dir, entry.name)) {
      continue;
    }
    // A link at a staged name is a leftover too; its target's size is not ours to count.
    platform::EntryKind kind = platform::EntryKind::Missing;
    ++found->count;
    if (platform::ExamineEntry(path.text, &kind) == 0 && kind == platform::EntryKind::RegularFile &&
        GetRegularFileSize(path.text, &size)) {
      found->bytes += size;
    }
  }
  platform::EndSearch(&search);
  if (search.failed) WarnUnlisted(dir, counters);
}

void ReportStagedFiles(const RunPaths* paths, RunCounters* counters) {
  StagedLeftovers found{};
  CountStagedFiles(paths->work.text, &found, counters);
  if (strcmp(paths->work.text, paths->message.text) != 0) {
    CountStagedFiles(paths->message.text, &found, counters);
  }
  if (found.count == 0) return;
  Tee("Leftovers:           %u staged file(s) *.QVCNEW in WORK and MESSAGE, %" PRIu64
      " bytes, from an earlier run; a write run replaces them.\n",
      found.count, found.bytes);
}

void ReportIncompleteBackups(const RunPaths* paths, const RunOptions* options,
                             RunCounters* counters) {
  PathBuffer root;
  BackupList list;
  if (!BackupRootOf(paths->home.text, options, &root)) return;
  // No root (or none that can be examined) holds no backup to name; a write run
  // that needs it says why it cannot make it.
  platform::PathAttributes attributes;
  if (!platform::GetPathAttributes(root.text, &attributes) || !attributes.isDirectory) return;
  if (!ListBackupStore(root.text, &list) || list.failed) WarnUnlisted(root.text, counters);
  platform::TrustedAccounts accounts;
  platform::TrustedAccountsOf(paths->usersDat.text, &accounts);
  uint32_t incomplete = 0;
  for (uint32_t i = 0; i < list.count; ++i) {
    PathBuffer dir;
    if (!JoinPath(&dir, root.text, list.items[i].name) ||
        !IsIncompleteBackupOf(root.text, list.items[i], paths->home.text, accounts)) {
      continue;
    }
    ++incomplete;
    Tee("Leftovers:           %s - an incomplete backup without a complete manifest.\n", dir.text);
  }
  if (incomplete == 0) return;
  PruneCommand prune;
  FormatPruneCommand(root.text, options, &prune);
  Tee("                     %s removes incomplete backups, and nothing else.\n", prune.text);
}

}  // namespace

void NameStagedLeftovers(const RunPaths* paths) {
  for (const PathBuffer* dir : {&paths->work, &paths->message}) {
    if (dir == &paths->message && strcmp(paths->work.text, paths->message.text) == 0) break;
    PathBuffer pattern;
    if (!JoinPath(&pattern, dir->text, "*.QVCNEW")) continue;
    platform::DirectorySearch search;
    platform::DirectoryEntry entry;
    for (bool more = platform::FindFirstEntry(pattern.text, &search, &entry); more;
         more = platform::FindNextEntry(&search, &entry)) {
      PathBuffer path;
      if (!EndsWithStagedSuffix(entry.name) || !JoinPath(&path, dir->text, entry.name)) continue;
      Tee("Left behind:         %s - a staged file no run uses; it is safe to delete.\n", path.text);
    }
    platform::EndSearch(&search);
    if (search.failed) Tee("Left behind:         %s could not be listed for staged files.\n", dir->text);
  }
}

void ReportEarlierLeftovers(const RunPaths* paths, const RunOptions* options,
                            RunCounters* counters) {
  ReportStagedFiles(paths, counters);
  ReportIncompleteBackups(paths, options, counters);
}
