// A backup directory removed, only when it holds nothing a backup does not.
#include "backup/backup_removal.h"

#include <cstring>

#include "base/paths.h"
#include "backup/backup_manifest.h"
#include "platform/platform.h"
#include "safety/file_snapshot.h"

namespace {

constexpr const char* const kAreas[] = {"WORK", "MESSAGE"};
constexpr const char* const kTopFiles[] = {"MANIFEST.TXT", "RESTORE_WARNING.TXT"};

bool IsDotName(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// What a backup directory may hold at its top: its two areas and two text files.
bool TopMayHold(const char* name, bool isDirectory) {
  for (const char* area : kAreas) {
    if (strcmp(name, area) == 0) return isDirectory;
  }
  for (const char* file : kTopFiles) {
    if (strcmp(name, file) == 0) return !isDirectory;
  }
  return false;
}

// Applies visit to every entry of dir (no "." or ".."); false when dir cannot be
// listed or visit returns false.
template <typename Visit>
bool ForEachEntry(const char* dir, Visit visit) {
  PathBuffer pattern;
  if (!JoinPath(&pattern, dir, "*")) return false;
  platform::DirectorySearch search;
  platform::DirectoryEntry entry;
  bool ok = true;
  for (bool more = platform::FindFirstEntry(pattern.text, &search, &entry); more && ok;
       more = platform::FindNextEntry(&search, &entry)) {
    if (!IsDotName(entry.name)) ok = visit(entry);
  }
  platform::EndSearch(&search);
  return ok && !search.failed;
}

}  // namespace

bool HoldsOnlyBackupFiles(const char* dir, MessageBuffer* reason) {
  const auto regularFile = [](const char* path) {
    platform::EntryKind kind = platform::EntryKind::Missing;
    return platform::ExamineEntry(path, &kind) == 0 && kind == platform::EntryKind::RegularFile;
  };
  char offending[260] = {};
  PathBuffer path;
  const bool top = ForEachEntry(dir, [&](const platform::DirectoryEntry& entry) {
    if (TopMayHold(entry.name, entry.isDirectory) && JoinPath(&path, dir, entry.name) &&
        (entry.isDirectory || regularFile(path.text))) {
      return true;
    }
    platform::CopyBounded(offending, sizeof offending, entry.name);
    return false;
  });
  if (!top) {
    return offending[0] != '\0' ? FailWith(reason, "it holds %s, which no backup holds", offending)
                                : FailWith(reason, "it cannot be listed");
  }
  for (const char* area : kAreas) {
    PathBuffer areaDir;
    if (!JoinPath(&areaDir, dir, area)) return FailWith(reason, "its path is too long");
    platform::EntryKind kind = platform::EntryKind::Missing;
    if (platform::ExamineEntry(areaDir.text, &kind) == 0 && kind == platform::EntryKind::Missing) {
      continue;
    }
    char name[260] = {};
    const bool ok = ForEachEntry(areaDir.text, [&](const platform::DirectoryEntry& entry) {
      platform::CopyBounded(name, sizeof name, entry.name);
      return !entry.isDirectory && BackupMayHold(area, entry.name) &&
             JoinPath(&path, areaDir.text, entry.name) && regularFile(path.text);
    });
    if (!ok) {
      return name[0] != '\0' ? FailWith(reason, "its %s holds %s, which no backup holds", area, name)
                             : FailWith(reason, "its %s cannot be listed", area);
    }
  }
  return true;
}

namespace {

// Deletes one file, counting its bytes; a name already gone is fine.
bool RemoveCounted(const char* path, uint64_t* freed) {
  uint64_t size = 0;
  const bool isFile = GetRegularFileSize(path, &size);
  if (!isFile) return !IsSymbolicLink(path) && !IsRegularFile(path);
  if (!platform::RemoveFile(path)) return false;
  *freed += size;
  return true;
}

bool RemoveAreaFiles(const char* areaDir, uint64_t* freed) {
  return ForEachEntry(areaDir, [&](const platform::DirectoryEntry& entry) {
    PathBuffer path;
    return JoinPath(&path, areaDir, entry.name) && RemoveCounted(path.text, freed);
  });
}

}  // namespace

bool RemoveBackupTree(const char* dir, uint64_t* freed, MessageBuffer* reason) {
  if (!HoldsOnlyBackupFiles(dir, reason)) return false;
  PathBuffer path;
  for (const char* file : kTopFiles) {
    if (!JoinPath(&path, dir, file) || !RemoveCounted(path.text, freed)) {
      return FailWith(reason, "%s cannot be removed", file);
    }
  }
  for (const char* area : kAreas) {
    if (!JoinPath(&path, dir, area)) return FailWith(reason, "its path is too long");
    platform::EntryKind kind = platform::EntryKind::Missing;
    if (platform::ExamineEntry(path.text, &kind) != 0 || kind == platform::EntryKind::Missing) continue;
    if (!RemoveAreaFiles(path.text, freed) || platform::RemoveEmptyDirectory(path.text) != 0) {
      return FailWith(reason, "its %s cannot be removed", area);
    }
  }
  if (platform::RemoveEmptyDirectory(dir) != 0) return FailWith(reason, "it cannot be removed");
  return true;
}

uint64_t BytesOfBackupTree(const char* dir) {
  uint64_t bytes = 0;
  const auto add = [&bytes](const char* parent) {
    ForEachEntry(parent, [&](const platform::DirectoryEntry& entry) {
      PathBuffer path;
      uint64_t size = 0;
      if (!entry.isDirectory && JoinPath(&path, parent, entry.name) &&
          GetRegularFileSize(path.text, &size)) {
        bytes += size;
      }
      return true;
    });
  };
  add(dir);
  for (const char* area : kAreas) {
    PathBuffer path;
    if (JoinPath(&path, dir, area)) add(path.text);
  }
  return bytes;
}
