// The LMR inventory: every QVMSGnn.LMR of the MESSAGE directory, snapshotted and
// sorted by name, and the capacity lines of file validation.
#include "safety/lmr_inventory.h"

#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "base/output.h"
#include "base/parallel_jobs.h"
#include "base/paths.h"
#include "platform/platform.h"

static int LowerAscii(char c) {
  return tolower(static_cast<unsigned char>(c));
}

// Compares the first n characters ignoring letter case; true when equal.
static bool EqualIgnoringCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool IsLmrFileName(const char* name) {
  const size_t length = strlen(name);
  if (length < 10 || length > 16) return false;
  if (!EqualIgnoringCase(name, "QVMSG", 5)) return false;
  if (!EqualIgnoringCase(name + length - 4, ".LMR", 4)) return false;
  for (size_t i = 5; i < length - 4; ++i) {
    if (!isdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

bool AllocateLmrInventory(LmrInventory* inventory) {
  inventory->count = 0;
  static_assert(std::is_trivially_destructible_v<LmrFileEntry>);
  inventory->entries.reset(
      static_cast<LmrFileEntry*>(std::calloc(kLmrInventoryCapacity, sizeof(LmrFileEntry))));
  return inventory->entries != nullptr;
}

uint64_t LmrInventoryBytes(const LmrInventory* inventory) {
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < inventory->count; ++i) bytes += inventory->entries[i].size;
  return bytes;
}

// Text order of the lower-cased bytes. Names that differ only in case can both
// exist on a case-sensitive file system; the plain byte order keeps their order fixed.
static int CompareEntryNames(const void* left, const void* right) {
  const char* a = static_cast<const LmrFileEntry*>(left)->name;
  const char* b = static_cast<const LmrFileEntry*>(right)->name;
  for (size_t i = 0;; ++i) {
    const int difference = LowerAscii(a[i]) - LowerAscii(b[i]);
    if (difference != 0) return difference;
    if (a[i] == '\0') break;
  }
  return strcmp(a, b);
}

// Fills *entry for one accepted directory entry, all but its snapshot; false
// when it cannot be recorded.
static bool RecordLmrFile(const char* messageDir, const char* name, LmrFileEntry* entry) {
  *entry = {};
  if (strlen(name) >= sizeof entry->name) return false;
  strcpy(entry->name, name);
  if (!JoinPath(&entry->path, messageDir, name)) return false;

  platform::PathAttributes attributes;
  if (!platform::GetPathAttributes(entry->path.text, &attributes) || attributes.isDirectory) {
    return false;
  }
  if (attributes.size >> 32 != 0) return false;  // 4 GiB or more
  entry->size = attributes.size;
  entry->slotCount = entry->size / kLmrSlotSize;
  entry->remainder = static_cast<uint32_t>(entry->size % kLmrSlotSize);
  return true;
}

namespace {

struct SnapshotSteps {
  LmrInventory* inventory;
  const UserFileSnapshots* userFiles;  // steps 0 and 1 when set
};

// Prints nothing: the listing reports the first LMR file that failed, in its order.
bool TakeSnapshotStep(uint32_t index, void* context, RunCounters*) {
  const SnapshotSteps* steps = static_cast<const SnapshotSteps*>(context);
  const UserFileSnapshots* user = steps->userFiles;
  if (user != nullptr) {
    if (index == 0) return TakeSnapshot(user->datPath, user->dat);
    if (index == 1) return TakeSnapshot(user->ptrPath, user->ptr);
    index -= 2;
  }
  LmrFileEntry* entry = &steps->inventory->entries[index];
  return TakeSnapshot(entry->path.text, &entry->liveSnapshot);
}

// Snapshots every listed LMR file, and the user files alongside; false after
// reporting the first LMR file, in listing order, that could not be hashed.
bool SnapshotListedFiles(LmrInventory* inventory, const UserFileSnapshots* userFiles,
                         RunCounters* counters) {
  SnapshotSteps steps{inventory, userFiles};
  const uint64_t userBytes = userFiles != nullptr ? userFiles->bytes : 0;
  const uint64_t bytes = userBytes + LmrInventoryBytes(inventory);
  const uint32_t first = userFiles != nullptr ? 2 : 0;
  RunJobsInOrder({inventory->count + first, TakeSnapshotStep, &steps, AfterFailure::RunTheRest,
                  kHashingThreads, "Hashing", bytes},
                 counters);
  for (uint32_t i = 0; i < inventory->count; ++i) {
    if (!inventory->entries[i].liveSnapshot.ok) {
      return ReportError(counters, "ERROR: failed while recording LMR file %s.\n",
                         inventory->entries[i].name);
    }
  }
  return true;
}

}  // namespace

static bool ReportListingFailure(const char* messageDir, const platform::DirectorySearch& search,
                                 RunCounters* counters) {
  return ReportError(counters, "ERROR: cannot list QVMSGxx.LMR files in %s%s.\n", messageDir,
                     CauseOf(search.error, search.sysError).text);
}

bool ListLmrFiles(const char* messageDir, LmrInventory* inventory, RunCounters* counters) {
  inventory->count = 0;
  inventory->messageDir = {};
  if (!CopyPath(&inventory->messageDir, messageDir)) {
    return ReportError(counters, "ERROR: LMR search path is too long.\n");
  }
  PathBuffer pattern;
  if (!JoinPath(&pattern, messageDir, "QVMSG*.LMR")) {
    return ReportError(counters, "ERROR: LMR search path is too long.\n");
  }

  platform::DirectorySearch search;
  platform::DirectoryEntry found;
  // Nothing to list (no match, no directory) is a system without conferences.
  if (!platform::FindFirstEntry(pattern.text, &search, &found)) {
    return !search.failed || ReportListingFailure(messageDir, search, counters);
  }

  do {
    if (found.isDirectory || !IsLmrFileName(found.name)) continue;
    if (inventory->count >= kLmrInventoryCapacity ||
        !RecordLmrFile(messageDir, found.name, &inventory->entries[inventory->count])) {
      platform::EndSearch(&search);
      return ReportError(counters, "ERROR: failed while recording LMR file %s.\n", found.name);
    }
    inventory->count++;
  } while (platform::FindNextEntry(&search, &found));

  platform::EndSearch(&search);
  // An LMR file left out of the inventory would keep its old numbering while the
  // users are renumbered, so a listing that broke off fails the run.
  if (search.failed) return ReportListingFailure(messageDir, search, counters);
  qsort(inventory->entries.get(), inventory->count, sizeof(LmrFileEntry), CompareEntryNames);
  return true;
}

bool BuildLmrInventory(const char* messageDir, LmrInventory* inventory, RunCounters* counters,
                       const UserFileSnapshots* userFiles) {
  return ListLmrFiles(messageDir, inventory, counters) &&
         SnapshotListedFiles(inventory, userFiles, counters);
}

// The verdict that ends one entry's line; counts an error for a bad file.
static void ReportLmrVerdict(const LmrFileEntry* entry, RunCounters* counters) {
  const uint64_t users = counters->userRecords;
  if (entry->remainder != 0) {
    ReportError(counters, "  ERROR: misaligned");
  } else if (entry->slotCount >= users) {
    Tee("  OK: capacity %" PRIu64 "; current users occupy slots 1..%" PRIu64, entry->slotCount,
        users);
    if (entry->slotCount == kStandardLmrSlots) Tee(" [standard Quorvex fixed capacity]");
  } else {
    ReportError(counters, "  ERROR: only %" PRIu64 " user slots; need at least %" PRIu64,
                entry->slotCount, users);
  }
}

void ReportLmrInventory(const LmrInventory* inventory, RunCounters* counters) {
  Tee("LMR files found:     %lu\n", static_cast<unsigned long>(inventory->count));
  if (inventory->count == 0) {
    Tee("WARN: no QVMSGxx.LMR files were found. This may be valid only on a system with no "
        "message conferences.\n");
    counters->warnings++;
    return;
  }
  for (uint32_t i = 0; i < inventory->count; ++i) {
    const LmrFileEntry* entry = &inventory->entries[i];
    Tee("  %-16s %" PRIu64 " bytes = %" PRIu64 " x 4, remainder %u", entry->name, entry->size,
        entry->slotCount, entry->remainder);
    ReportLmrVerdict(entry, counters);
    Tee("\n");
  }
}

namespace {

// The inventory's entry named exactly name, or -1.
int64_t FindInventoryEntry(const LmrInventory* inventory, const char* name) {
  for (uint32_t i = 0; i < inventory->count; ++i) {
    if (strcmp(inventory->entries[i].name, name) == 0) return i;
  }
  return -1;
}

LmrRelistResult Relisted(LmrRelisting outcome, const char* name) {
  LmrRelistResult result{outcome, {}, 0, 0};
  FormatBounded(result.name, sizeof result.name, "%s", name);
  return result;
}

}  // namespace

LmrRelistResult RelistLmrFiles(const LmrInventory* inventory) {
  PathBuffer pattern;
  if (!JoinPath(&pattern, inventory->messageDir.text, "QVMSG*.LMR")) {
    return Relisted(LmrRelisting::ListingFailed, "");
  }
  // Which inventoried files the listing showed; the inventory holds at most 512.
  bool seen[kLmrInventoryCapacity] = {};
  platform::DirectorySearch search;
  platform::DirectoryEntry found;
  if (platform::FindFirstEntry(pattern.text, &search, &found)) {
    do {
      // Judged as the inventory judged its entries: anything else was never packed.
      if (found.isDirectory || !IsLmrFileName(found.name)) continue;
      const int64_t at = FindInventoryEntry(inventory, found.name);
      if (at < 0) {
        platform::EndSearch(&search);
        return Relisted(LmrRelisting::Appeared, found.name);
      }
      seen[at] = true;
    } while (platform::FindNextEntry(&search, &found));
    platform::EndSearch(&search);
  }
  if (search.failed) {
    LmrRelistResult failed = Relisted(LmrRelisting::ListingFailed, "");
    failed.error = search.error;
    failed.sysError = search.sysError;
    return failed;
  }
  for (uint32_t i = 0; i < inventory->count; ++i) {
    if (!seen[i]) return Relisted(LmrRelisting::Gone, inventory->entries[i].name);
  }
  return Relisted(LmrRelisting::Same, "");
}

bool CheckLmrListingUnchanged(const LmrInventory* inventory, const char* when,
                              RunCounters* counters) {
  const LmrRelistResult relisted = RelistLmrFiles(inventory);
  switch (relisted.outcome) {
    case LmrRelisting::Same:
      return true;
    case LmrRelisting::Appeared:
      return ReportError(counters,
                         "ERROR: %s appeared in MESSAGE %s; it was not packed and would keep the "
                         "old user numbering.\n",
                         relisted.name, when);
    case LmrRelisting::Gone:
      return ReportError(counters, "ERROR: %s is no longer in MESSAGE (removed or renamed %s).\n",
                         relisted.name, when);
    case LmrRelisting::ListingFailed:
      break;
  }
  return ReportError(counters, "ERROR: cannot list QVMSGxx.LMR files in %s again %s%s.\n",
                     inventory->messageDir.text, when,
                     CauseOf(relisted.error, relisted.sysError).text);
}
