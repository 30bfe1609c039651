#include "backup/backup_names.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/output.h"
#include "base/paths.h"
#include "backup/backup_manifest.h"
#include "backup/backup_removal.h"

namespace {

int CompareNewestFirst(const void* a, const void* b) {
  return strcmp(static_cast<const ListedName*>(b)->name, static_cast<const ListedName*>(a)->name);
}

}  // namespace

bool StampOfName(const char* name, char* stamp, size_t size) {
  int y, mo, d, h, mi, s;
  const size_t length = strlen(name);
  if ((length != 24 && length != 28) ||
      sscanf(name, "QVCULLDB-%4d%2d%2d-%2d%2d%2d", &y, &mo, &d, &h, &mi, &s) != 6) {
    return false;
  }
  FormatBounded(stamp, size, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return true;
}

bool ListBackupNames(const char* root, BackupNames* list) {
  list->names.reset(new (std::nothrow) ListedName[kMaxListed]);
  PathBuffer pattern;
  if (!list->names || !JoinPath(&pattern, root, "QVCULLDB-*")) return false;
  platform::DirectorySearch search;
  platform::DirectoryEntry found;
  char stamp[32];
  for (bool more = platform::FindFirstEntry(pattern.text, &search, &found);
       more && list->count < kMaxListed; more = platform::FindNextEntry(&search, &found)) {
    if (!found.isDirectory || !StampOfName(found.name, stamp, sizeof stamp)) continue;
    platform::CopyBounded(list->names[list->count++].name, sizeof list->names[0].name, found.name);
  }
  platform::EndSearch(&search);
  list->failed = search.failed;
  qsort(list->names.get(), list->count, sizeof(ListedName), CompareNewestFirst);
  return true;
}

bool IsIncompleteBackup(const char* dir, const platform::TrustedAccounts& accounts) {
  MessageBuffer reason;
  if (!BackupTreeTrusted(dir, accounts, &reason) || !HoldsOnlyBackupFiles(dir, &reason)) {
    return false;
  }
  BackupManifest manifest;
  const ManifestState state = ReadBackupManifest(dir, &manifest, &reason);
  return state == ManifestState::Missing || state == ManifestState::CutShort;
}
