// Staged files that an interrupted write run must not leave behind. The
// interrupt clean-up runs inside a signal handler (POSIX) or on a console
// control thread (Windows), so it only reads the watched records and deletes.
#include <atomic>
#include <cstring>

#include "platform/platform.h"
#include "staging/staging.h"

namespace {

std::atomic<const PackContext*> g_watchedPack{nullptr};
std::atomic<const LmrInventory*> g_watchedInventory{nullptr};

constexpr char kStagedSuffix[] = ".QVCNEW";

// A staged name is filled in while the run goes on; only a name already ending
// in the staged suffix is complete, and only such a name is ever deleted, so an
// interrupt can never hit a live file through a half-written path.
void RemoveCompleteStagedName(const char* path) {
  size_t length = strlen(path);
  size_t suffix = sizeof kStagedSuffix - 1;
  if (length <= suffix || memcmp(path + length - suffix, kStagedSuffix, suffix) != 0) return;
  platform::RemoveFile(path);
}

}  // namespace

void WatchStagedFilesOnInterrupt(const PackContext* pack, const LmrInventory* inventory) {
  g_watchedInventory.store(inventory);
  g_watchedPack.store(pack);
}

void RemoveStagedFilesOnInterrupt() {
  const PackContext* pack = g_watchedPack.load();
  if (pack != nullptr) {
    RemoveCompleteStagedName(pack->stagedDatPath);
    RemoveCompleteStagedName(pack->stagedPtrPath);
    RemoveCompleteStagedName(pack->stagedPurgedLogPath);
  }
  const LmrInventory* inventory = g_watchedInventory.load();
  if (inventory == nullptr || inventory->entries == nullptr) return;
  // Every entry, not only the counted ones: the array is zero-filled, and an
  // entry's name may be complete before the count says so.
  for (uint32_t i = 0; i < kLmrInventoryCapacity; ++i) {
    RemoveCompleteStagedName(inventory->entries[i].stagedPath);
  }
}
