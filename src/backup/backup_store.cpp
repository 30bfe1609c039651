#include "backup/backup_store.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "backup/backup_manifest.h"

namespace {

// ---- Lock ----------------------------------------------------------------

constexpr const char* kRootLockTitle = "QVCULLDB32 BACKUP ROOT LOCK";
// Another run's backup takes seconds to make: it is waited for this long.
constexpr unsigned kRootLockTries = 20;
constexpr uint32_t kRootLockPauseMs = 500;

const char* UseWords(RootUse use) {
  switch (use) {
    case RootUse::Make:
      return "making a backup";
    case RootUse::Restore:
      return "restoring a backup";
    default:
      return "pruning backups";
  }
}

// "process N on HOST, home H, making a backup" from another run's record, or
// what could not be read of it.
void DescribeRootLockHolder(const char* path, MessageBuffer* reason) {
  char text[kPathBufferSize + 256] = {};
  platform::ForeignFileStart found;
  const uint32_t error = platform::ReadForeignFileStart(path, text, sizeof text - 1, &found);
  char process[32] = {}, host[128] = {}, home[kPathBufferSize] = {}, use[64] = {};
  const bool read = error == 0 && strncmp(text, kRootLockTitle, strlen(kRootLockTitle)) == 0 &&
                    sscanf(text + strlen(kRootLockTitle),
                           "\r\nPROCESS %31[0-9]\r\nHOST %127[^\r\n]\r\nHOME %1023[^\r\n]\r\nUSE "
                           "%63[^\r\n]",
                           process, host, home, use) == 4;
  if (!read) {
    FailWith(reason, "the backup root is in use by another run (its lock %s names no run)", path);
    return;
  }
  FailWith(reason, "the backup root is in use by another run: process %s on %s, home %s, %s", process,
           host, home, use);
}

bool WriteRootLockRecord(platform::FileHandle handle, const char* home, RootUse use) {
  char host[128];
  if (!platform::HostName(host, sizeof host)) platform::CopyBounded(host, sizeof host, "?");
  char text[kPathBufferSize + 256];
  const int length = FormatBounded(text, sizeof text, "%s\r\nPROCESS %" PRIu64 "\r\nHOST %s\r\nHOME %s\r\nUSE %s\r\n",
                                   kRootLockTitle, platform::CurrentProcessId(), host, home,
                                   UseWords(use));
  return FormatComplete(length, sizeof text) &&
         platform::WriteHandle(handle, text, static_cast<size_t>(length)) == 0;
}

}  // namespace

// The lock this process holds, and how many of its takers hold it: a restore
// holds its backup's root while it makes its own backup there.
struct HeldRootLock {
  PathBuffer path;
  platform::FileHandle handle = platform::kInvalidHandle;
  unsigned takers = 0;
};
static HeldRootLock g_held;  // NOLINT: one per process, as the lock is

bool TakeRootLock(const char* root, const char* home, RootUse use, RootLock* lock,
                  MessageBuffer* reason) {
  if (!JoinPath(&lock->path, root, kRootLockName)) {
    return FailWith(reason, "the path of the backup root's lock is too long");
  }
  if (g_held.takers > 0 && strcmp(g_held.path.text, lock->path.text) == 0) {
    ++g_held.takers;
    lock->handle = g_held.handle;
    return true;
  }
  uint32_t error = platform::kErrorSharingViolation;
  for (unsigned attempt = 0; attempt < kRootLockTries; ++attempt) {
    if (attempt > 0) {
      FlushOutput();
      platform::SleepMilliseconds(kRootLockPauseMs);
    }
    // Registered as it is made: an interrupt removes it with the run's other files.
    const bool ownHold = !platform::HoldingInterrupts();
    if (ownHold) platform::HoldInterrupts();
    error = platform::TakeFileLock(lock->path.text, &lock->handle);
    if (error == 0) RegisterCleanup(lock->path.text, lock->handle);
    if (ownHold) platform::DeliverHeldInterrupt();
    if (error != platform::kErrorSharingViolation) break;
  }
  if (error == platform::kErrorSharingViolation) {
    DescribeRootLockHolder(lock->path.text, reason);
    return false;
  }
  if (error != 0) {
    return FailWith(reason, "the backup root's lock %s cannot be taken%s", lock->path.text,
                    CauseOf(error).text);
  }
  g_held.path = lock->path;
  g_held.handle = lock->handle;
  g_held.takers = 1;
  if (!WriteRootLockRecord(lock->handle, home, use)) {
    ReleaseRootLock(lock);
    return FailWith(reason, "the backup root's lock %s cannot be written", lock->path.text);
  }
  return true;
}

bool ReleaseRootLock(RootLock* lock) {
  if (lock->handle == platform::kInvalidHandle) return true;
  if (g_held.takers > 1 && lock->handle == g_held.handle) {
    --g_held.takers;
    lock->handle = platform::kInvalidHandle;
    return true;
  }
  g_held.takers = 0;
  g_held.handle = platform::kInvalidHandle;
  const bool ownHold = !platform::HoldingInterrupts();
  if (ownHold) platform::HoldInterrupts();
  const platform::HeldRemoval removal = platform::RemoveHeldFile(lock->path.text, lock->handle);
  UnregisterCleanup(lock->path.text);
  platform::CloseFileHandle(lock->handle);
  lock->handle = platform::kInvalidHandle;
  if (ownHold) platform::DeliverHeldInterrupt();
  return removal == platform::HeldRemoval::Removed || removal == platform::HeldRemoval::Missing;
}

void FormatRootLockLeft(const RootLock& lock, char* line, size_t size) {
  FormatBounded(line, size,
                "Left behind:         %s - the backup root's lock, which no run holds now; the next "
                "run takes it over.\n",
                lock.path.text);
}

// ---- List ----------------------------------------------------------------

namespace {

constexpr uint32_t kFirstListCapacity = 64;

int CompareNewestFirst(const void* a, const void* b) {
  const ListedBackup* x = static_cast<const ListedBackup*>(a);
  const ListedBackup* y = static_cast<const ListedBackup*>(b);
  if (x->identified != y->identified) return x->identified ? -1 : 1;
  if (x->identified) {
    if (BegunAfter(x->identity, y->identity)) return -1;
    if (BegunAfter(y->identity, x->identity)) return 1;
  }
  return strcmp(y->name, x->name);
}

// Room for one more item; false when there is no memory for it.
bool MakeRoom(BackupList* list, uint32_t* capacity) {
  if (list->count < *capacity) return true;
  const uint32_t larger = *capacity == 0 ? kFirstListCapacity : *capacity * 2;
  std::unique_ptr<ListedBackup[]> items(new (std::nothrow) ListedBackup[larger]);
  if (!items) return false;
  if (list->count > 0) memcpy(items.get(), list->items.get(), sizeof(ListedBackup) * list->count);
  list->items = std::move(items);
  *capacity = larger;
  return true;
}

}  // namespace

namespace {

bool CountEntry(const platform::HeldEntry&, void* context) {
  ++*static_cast<uint32_t*>(context);
  return false;
}

}  // namespace

bool IsEmptyDirectory(const char* root, const char* name) {
  PathBuffer path;
  platform::FileHandle dir = platform::kInvalidHandle;
  if (!JoinPath(&path, root, name) ||
      platform::OpenDirectory({path.text, platform::kInvalidHandle}, &dir) != 0) {
    return false;
  }
  uint32_t entries = 0;
  const uint32_t error = platform::ListHeldDirectory(dir, path.text, CountEntry, &entries);
  platform::CloseDirectory(dir);
  return error == 0 && entries == 0;
}

bool IsBackupName(const char* name) {
  constexpr const char kShape[] = "QVCULLDB-########-######";
  const size_t length = strlen(name);
  if (length != 24 && !(length == 28 && name[24] == '-')) return false;
  for (size_t i = 0; i < length; ++i) {
    const char want = i < 24 ? kShape[i] : (i == 24 ? '-' : '#');
    const bool digit = name[i] >= '0' && name[i] <= '9';
    if (want == '#' ? !digit : name[i] != want) return false;
  }
  return true;
}

bool StampOfName(const char* name, char* stamp, size_t size) {
  if (!IsBackupName(name)) return false;
  FormatBounded(stamp, size, "%.4s-%.2s-%.2s %.2s:%.2s:%.2s", name + 9, name + 13, name + 15,
                name + 18, name + 20, name + 22);
  return true;
}

bool IsIncompleteBackupOf(const char* root, const ListedBackup& item, const char* home,
                          const platform::TrustedAccounts& accounts) {
  const bool ofHome = item.identified && (platform::kNamesIgnoreCase
                                              ? SameNameIgnoringCase(item.identity.home.text, home)
                                              : strcmp(item.identity.home.text, home) == 0);
  PathBuffer dir;
  MessageBuffer reason;
  uint64_t bytes = 0;
  if (!ofHome || !JoinPath(&dir, root, item.name) || !BackupTreeTrusted(dir.text, accounts, &reason) ||
      !BackupHoldsOnlyItsFiles(root, item.name, &bytes, &reason)) {
    return false;
  }
  BackupManifest manifest;
  const ManifestState state = ReadBackupManifest(dir.text, &manifest, &reason);
  return state == ManifestState::Missing || state == ManifestState::CutShort;
}

bool ListBackupStore(const char* root, BackupList* list) {
  list->count = 0;
  list->failed = false;
  uint32_t capacity = 0;
  PathBuffer pattern;
  if (!JoinPath(&pattern, root, "QVCULLDB-*")) return false;
  platform::DirectorySearch search;
  platform::DirectoryEntry found;
  for (bool more = platform::FindFirstEntry(pattern.text, &search, &found); more;
       more = platform::FindNextEntry(&search, &found)) {
    if (!IsBackupName(found.name)) continue;
    // What the name is, asked again: a look the listing could not make is no answer.
    PathBuffer dir;
    platform::EntryKind kind = platform::EntryKind::Missing;
    const bool joined = JoinPath(&dir, root, found.name);
    const uint32_t examineError = joined ? platform::ExamineEntry(dir.text, &kind) : 0;
    if (joined && examineError == 0 && kind != platform::EntryKind::Directory) continue;
    if (!MakeRoom(list, &capacity)) {
      list->failed = true;
      break;
    }
    ListedBackup* item = &list->items[list->count++];
    *item = {};
    platform::CopyBounded(item->name, sizeof item->name, found.name);
    if (examineError != 0) {
      FailWith(&item->unidentified, "it cannot be examined%s", CauseOf(examineError).text);
      item->identityState = IdentityState::Unreadable;
    } else {
      item->identityState = joined ? ReadBackupIdentity(dir.text, &item->identity, &item->unidentified)
                                   : IdentityState::Foreign;
    }
    item->empty = item->identityState == IdentityState::Missing && IsEmptyDirectory(root, found.name);
    item->identified = item->identityState == IdentityState::Read;
  }
  platform::EndSearch(&search);
  list->failed = list->failed || search.failed;
  if (list->count > 1) qsort(list->items.get(), list->count, sizeof(ListedBackup), CompareNewestFirst);
  return true;
}

bool FindBackupById(const char* root, const char* id, PathBuffer* dir) {
  BackupList list;
  if (id[0] == '\0' || !ListBackupStore(root, &list)) return false;
  for (uint32_t i = 0; i < list.count; ++i) {
    if (list.items[i].identified && strcmp(list.items[i].identity.id, id) == 0) {
      return JoinPath(dir, root, list.items[i].name);
    }
  }
  return false;
}

// ---- Remove ----------------------------------------------------------------

namespace {

constexpr const char* const kAreas[] = {"WORK", "MESSAGE"};
// In the order of removal: the manifest first, the identity last (a removal cut short after
// it leaves an empty directory, which the next prune removes).
constexpr const char* const kTopFiles[] = {"MANIFEST.TXT", "RESTORE_WARNING.TXT", kIdentityName};

// A held directory, closed when it goes.
struct HeldDirectory {
  platform::FileHandle handle = platform::kInvalidHandle;
  PathBuffer path{};
  HeldDirectory() = default;
  HeldDirectory(const HeldDirectory&) = delete;
  HeldDirectory& operator=(const HeldDirectory&) = delete;
  ~HeldDirectory() { platform::CloseDirectory(handle); }
};

// Opens name inside parent, never through a link, and only on volume.
bool OpenInside(const HeldDirectory& parent, const char* name, uint64_t volume,
                HeldDirectory* opened, bool* unexamined, MessageBuffer* reason) {
  platform::FileIdentity identity;
  if (!JoinPath(&opened->path, parent.path.text, name) ||
      platform::OpenDirectory({opened->path.text, parent.handle}, &opened->handle) != 0 ||
      platform::IdentifyHandle(opened->handle, &identity) != 0) {
    *unexamined = true;
    return FailWith(reason, "%s cannot be opened as a plain directory", opened->path.text);
  }
  if (identity.volume != volume || platform::IsMountPointIn(parent.handle, name)) {
    return FailWith(reason, "%s is a mount point (another file system, or a bind of one)",
                    opened->path.text);
  }
  return true;
}

// What one directory of a backup holds, checked.
struct Inventory {
  const char* area;  // null: the backup's top
  uint64_t volume;
  uint64_t bytes;
  bool hasArea[2];
  char offending[260];
  bool mountPoint;  // the offending entry is a mount point
  bool unexamined;  // the system failed to open or list a part
};

bool TopMayHold(const platform::HeldEntry& entry, Inventory* inventory) {
  for (int i = 0; i < 2; ++i) {
    if (strcmp(entry.name, kAreas[i]) == 0 && entry.kind == platform::EntryKind::Directory) {
      inventory->hasArea[i] = true;
      inventory->mountPoint = entry.mountPoint || entry.volume != inventory->volume;
      return !inventory->mountPoint;
    }
  }
  for (const char* file : kTopFiles) {
    if (strcmp(entry.name, file) == 0) return entry.kind == platform::EntryKind::RegularFile;
  }
  return false;
}

bool CheckEntry(const platform::HeldEntry& entry, void* context) {
  Inventory* inventory = static_cast<Inventory*>(context);
  const bool allowed = inventory->area == nullptr
                           ? TopMayHold(entry, inventory)
                           : entry.kind == platform::EntryKind::RegularFile &&
                                 BackupMayHold(inventory->area, entry.name);
  if (!allowed) {
    platform::CopyBounded(inventory->offending, sizeof inventory->offending, entry.name);
    return false;
  }
  inventory->bytes += entry.size;
  return true;
}

bool CheckHolds(const HeldDirectory& dir, Inventory* inventory, MessageBuffer* reason) {
  const uint32_t error = platform::ListHeldDirectory(dir.handle, dir.path.text, CheckEntry, inventory);
  if (inventory->offending[0] != '\0') {
    return inventory->mountPoint
               ? FailWith(reason, "%s holds %s, a mount point (another file system, or a bind of one)",
                          dir.path.text, inventory->offending)
               : FailWith(reason, "%s holds %s, which no backup holds", dir.path.text,
                          inventory->offending);
  }
  if (error != 0) {
    inventory->unexamined = true;
    return FailWith(reason, "%s cannot be listed%s", dir.path.text, CauseOf(error).text);
  }
  return true;
}

struct Names {
  char (*names)[260];
  uint32_t count;
  uint32_t capacity;
};

bool CollectName(const platform::HeldEntry& entry, void* context) {
  Names* names = static_cast<Names*>(context);
  if (names->count >= names->capacity) return false;
  platform::CopyBounded(names->names[names->count++], 260, entry.name);
  return true;
}

// Removes every file the area holds (checked already), then the area itself.
bool RemoveArea(const HeldDirectory& top, HeldDirectory& area, const char* areaName,
                MessageBuffer* reason) {
  constexpr uint32_t kMostFiles = 4 + kLmrInventoryCapacity;
  std::unique_ptr<char[][260]> storage(new (std::nothrow) char[kMostFiles][260]);
  if (!storage) return FailWith(reason, "out of memory");
  Names names{storage.get(), 0, kMostFiles};
  if (platform::ListHeldDirectory(area.handle, area.path.text, CollectName, &names) != 0 ||
      names.count >= kMostFiles) {
    return FailWith(reason, "%s cannot be listed", area.path.text);
  }
  for (uint32_t i = 0; i < names.count; ++i) {
    const uint32_t error = platform::RemoveEntryIn(area.handle, area.path.text, names.names[i], false);
    if (error != 0) {
      return FailWith(reason, "%s in %s cannot be removed%s", names.names[i], area.path.text,
                      CauseOf(error).text);
    }
  }
  // Windows holds a directory open against its own removal.
  platform::CloseDirectory(area.handle);
  area.handle = platform::kInvalidHandle;
  const uint32_t error = platform::RemoveEntryIn(top.handle, top.path.text, areaName, true);
  return error == 0 || FailWith(reason, "%s cannot be removed%s", area.path.text, CauseOf(error).text);
}

// Opens the root and the backup, and checks everything the backup holds.
bool OpenAndCheck(const char* root, const char* name, HeldDirectory* rootDir, HeldDirectory* top,
                  HeldDirectory* areas, Inventory* inventory, MessageBuffer* reason) {
  platform::FileIdentity identity;
  if (!CopyPath(&rootDir->path, root) ||
      platform::OpenDirectory({root, platform::kInvalidHandle}, &rootDir->handle) != 0 ||
      platform::IdentifyHandle(rootDir->handle, &identity) != 0) {
    inventory->unexamined = true;
    return FailWith(reason, "the backup root %s cannot be opened", root);
  }
  *inventory = {nullptr, identity.volume, 0, {false, false}, {}, false, false};
  if (!OpenInside(*rootDir, name, identity.volume, top, &inventory->unexamined, reason) ||
      !CheckHolds(*top, inventory, reason)) {
    return false;
  }
  for (int i = 0; i < 2; ++i) {
    if (!inventory->hasArea[i]) continue;
    Inventory inArea{kAreas[i], identity.volume, 0, {false, false}, {}, false, false};
    const bool held = OpenInside(*top, kAreas[i], identity.volume, &areas[i],
                                 &inventory->unexamined, reason) &&
                      CheckHolds(areas[i], &inArea, reason);
    inventory->unexamined = inventory->unexamined || inArea.unexamined;
    if (!held) return false;
    inventory->bytes += inArea.bytes;
  }
  return true;
}

}  // namespace

bool RemoveBackup(const char* root, const char* name, uint64_t* freed, MessageBuffer* reason) {
  HeldDirectory rootDir, top, areas[2];
  Inventory inventory = {};
  if (!OpenAndCheck(root, name, &rootDir, &top, areas, &inventory, reason)) return false;
  const auto removeTop = [&](const char* file) {
    const uint32_t error = platform::RemoveEntryIn(top.handle, top.path.text, file, false);
    return error == 0 || error == platform::kErrorFileNotFound ||
           FailWith(reason, "%s in %s cannot be removed%s", file, top.path.text, CauseOf(error).text);
  };
  if (!removeTop(kTopFiles[0])) return false;
  for (int i = 0; i < 2; ++i) {
    if (inventory.hasArea[i] && !RemoveArea(top, areas[i], kAreas[i], reason)) return false;
  }
  if (!removeTop(kTopFiles[1]) || !removeTop(kTopFiles[2])) return false;
  platform::CloseDirectory(top.handle);
  top.handle = platform::kInvalidHandle;
  const uint32_t error = platform::RemoveEntryIn(rootDir.handle, root, name, true);
  if (error != 0) return FailWith(reason, "%s cannot be removed%s", top.path.text, CauseOf(error).text);
  *freed += inventory.bytes;
  return true;
}

uint32_t RemoveEmptyBackupDirectory(const char* root, const char* name) {
  HeldDirectory rootDir;
  if (!CopyPath(&rootDir.path, root)) return platform::kErrorFilenameTooLong;
  const uint32_t error = platform::OpenDirectory({root, platform::kInvalidHandle}, &rootDir.handle);
  return error != 0 ? error : platform::RemoveEntryIn(rootDir.handle, root, name, true);
}

bool BackupHoldsOnlyItsFiles(const char* root, const char* name, uint64_t* bytes,
                             MessageBuffer* reason, bool* unexamined) {
  HeldDirectory rootDir, top, areas[2];
  Inventory inventory = {};
  if (!OpenAndCheck(root, name, &rootDir, &top, areas, &inventory, reason)) {
    if (unexamined != nullptr) *unexamined = inventory.unexamined;
    return false;
  }
  *bytes = inventory.bytes;
  return true;
}
