#include "cli/leftovers.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "base/output.h"
#include "backup/backup_store.h"
#include "backup/verified_backup.h"
#include "platform/platform.h"
#include "safety/file_snapshot.h"

namespace {

constexpr char kStagedSuffix[] = ".QVCNEW";

bool EndsWithStagedSuffix(const char* name) {
  const size_t length = strlen(name), suffix = sizeof kStagedSuffix - 1;
  return length > suffix && SameNameIgnoringCase(name + length - suffix, kStagedSuffix);
}

// A listing that breaks off is said, never taken for one that found nothing.
void WarnUnlisted(const char* dir, RunCounters* counters) {
  Tee("WARNING: cannot list %s for files earlier runs left.\n", dir);
  ++counters->warnings;
}

Leftover* NextLeftover(Leftovers* found) {
  if (found->count == kMostNamedLeftovers) {
    ++found->unnamed;
    return nullptr;
  }
  Leftover* item = &found->items[found->count++];
  *item = {};
  return item;
}

// The bytes of the regular files in dir and, one level down, in its folders; a
// link is not followed and its target not counted. False when any cannot be
// listed or sized.
bool AddBytesIn(const char* dir, int depth, uint64_t* bytes) {
  PathBuffer pattern;
  if (!JoinPath(&pattern, dir, "*")) return false;
  bool all = true;
  platform::DirectorySearch search;
  platform::DirectoryEntry entry;
  for (bool more = platform::FindFirstEntry(pattern.text, &search, &entry); more;
       more = platform::FindNextEntry(&search, &entry)) {
    PathBuffer path;
    if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0) continue;
    platform::EntryKind kind = platform::EntryKind::Missing;
    uint64_t size = 0;
    if (!JoinPath(&path, dir, entry.name) || platform::ExamineEntry(path.text, &kind) != 0) {
      all = false;
    } else if (kind == platform::EntryKind::Directory) {
      all = depth > 0 && AddBytesIn(path.text, depth - 1, bytes) && all;
    } else if (kind == platform::EntryKind::RegularFile && GetRegularFileSize(path.text, &size)) {
      *bytes += size;
    }
  }
  platform::EndSearch(&search);
  return all && !search.failed;
}

// The staged files in dir; a link at a staged name is a leftover too, its target's size not ours.
void FindStagedFiles(const char* dir, Leftovers* found, RunCounters* counters) {
  PathBuffer pattern;
  if (!JoinPath(&pattern, dir, "*.QVCNEW")) return;
  platform::DirectorySearch search;
  platform::DirectoryEntry entry;
  for (bool more = platform::FindFirstEntry(pattern.text, &search, &entry); more;
       more = platform::FindNextEntry(&search, &entry)) {
    PathBuffer path;
    if (entry.isDirectory || !EndsWithStagedSuffix(entry.name) ||
        !JoinPath(&path, dir, entry.name)) {
      continue;
    }
    Leftover* item = NextLeftover(found);
    if (item == nullptr) continue;
    item->path = path;
    platform::EntryKind kind = platform::EntryKind::Missing;
    item->sized = platform::ExamineEntry(path.text, &kind) == 0 &&
                  kind == platform::EntryKind::RegularFile && GetRegularFileSize(path.text, &item->bytes);
  }
  platform::EndSearch(&search);
  if (search.failed) WarnUnlisted(dir, counters);
}

void FindIncompleteBackups(const RunPaths* paths, const RunOptions* options, RunCounters* counters,
                           Leftovers* found) {
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
  FormatPruneCommand(root.text, options, &found->prune);
  for (uint32_t i = 0; i < list.count; ++i) {
    PathBuffer dir;
    if (!JoinPath(&dir, root.text, list.items[i].name) ||
        !IsIncompleteBackupOf(root.text, list.items[i], paths->home.text, accounts)) {
      continue;
    }
    Leftover* item = NextLeftover(found);
    if (item == nullptr) continue;
    item->path = dir;
    item->incompleteBackup = true;
    item->sized = AddBytesIn(dir.text, 1, &item->bytes);
  }
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

void FindEarlierLeftovers(const RunPaths* paths, const RunOptions* options, RunCounters* counters,
                          Leftovers* found) {
  *found = {};
  FindStagedFiles(paths->work.text, found, counters);
  if (strcmp(paths->work.text, paths->message.text) != 0) {
    FindStagedFiles(paths->message.text, found, counters);
  }
  FindIncompleteBackups(paths, options, counters, found);
  // Listings come in the file system's order: named in one order on every system.
  std::sort(found->items, found->items + found->count, [](const Leftover& a, const Leftover& b) {
    if (a.incompleteBackup != b.incompleteBackup) return b.incompleteBackup;
    return strcmp(a.path.text, b.path.text) < 0;
  });
}

void PrintLeftovers(const Leftovers& found) {
  for (uint32_t i = 0; i < found.count; ++i) {
    const Leftover& item = found.items[i];
    // Looked at again now: a write run replaces staged files, a prune may have run.
    platform::EntryKind kind = platform::EntryKind::Missing;
    if (platform::ExamineEntry(item.path.text, &kind) == 0 && kind == platform::EntryKind::Missing) {
      continue;
    }
    char size[48] = "size unknown";
    if (item.sized) FormatBounded(size, sizeof size, "%" PRIu64 " bytes", item.bytes);
    if (item.incompleteBackup) {
      Tee("Leftovers:           %s (%s) - an incomplete backup of an earlier run, no copy to "
          "restore from; safe to delete: %s removes it.\n",
          item.path.text, size, found.prune.text);
    } else {
      Tee("Leftovers:           %s (%s) - a staged file of an earlier run; safe to delete, and a "
          "write run replaces it.\n", item.path.text, size);
    }
  }
  if (found.unnamed > 0) {
    Tee("Leftovers:           %u more of the same kinds, not named here.\n", found.unnamed);
  }
}
