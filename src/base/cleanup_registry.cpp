// The clean-up table. The interrupt side runs inside a signal handler (POSIX) or
// on a console control thread (Windows) while the run's threads may be changing
// the table, so every slot has one atomic state: only the thread that moved a
// slot from Free to Writing writes its path and handle, and publishes them with a
// release store; whoever moves a slot from Armed to Taken, the clean-up or the
// release, alone removes its file, so that no name is removed twice. The
// interrupt side makes no other call than CloseFileHandle, RemoveFile,
// RemoveHeldFile and the plain writes of the output kept so far and its notice.
#include "base/interrupt_hold.h"
#include "base/turn.h"
#include "base/cleanup_registry.h"

#include <atomic>
#include <cstring>

#include "base/output.h"
#include "base/paths.h"

namespace {

enum class SlotState { Free, Writing, Armed, Taken };
static_assert(std::atomic<SlotState>::is_always_lock_free, "the interrupt clean-up reads it");
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt clean-up reads it");

struct CleanupSlot {
  platform::FileHandle handle;
  PathBuffer path;
};

// The states apart from the paths, so that a scan reads one small array.
std::atomic<SlotState> g_states[kCleanupSlots];
CleanupSlot g_slots[kCleanupSlots];
std::atomic<int> g_slotsUsed{0};  // no slot at or above this was ever used
bool g_installed = false;

bool IsLock(int slot) { return g_slots[slot].handle != platform::kInvalidHandle; }

// RegisterCleanup and UnregisterCleanup, on any of the run's threads, take
// turns: a slot's path is written only in a turn, so a search by path in a turn
// never reads a path another thread is writing (into a slot freed and taken
// again meanwhile). The interrupt side never waits for a turn: it only moves
// slot states and reads the paths of slots it has taken.
std::atomic<bool> g_turnTaken{false};

// In a turn: the armed file slot that holds path, or -1.
int FindArmedFile(const char* path) {
  const int used = g_slotsUsed.load();
  for (int slot = 0; slot < used; ++slot) {
    if (g_states[slot].load() == SlotState::Armed && !IsLock(slot) &&
        strcmp(g_slots[slot].path.text, path) == 0) {
      return slot;
    }
  }
  return -1;
}

// Removes a taken slot's file: a held file (the lock) only while the name is
// still that file, then closes it.
platform::HeldRemoval RemoveSlotFile(int slot) {
  const CleanupSlot& taken = g_slots[slot];
  if (!IsLock(slot)) {
    return platform::RemoveFile(taken.path.text) ? platform::HeldRemoval::Removed
                                                 : platform::HeldRemoval::Failed;
  }
  platform::HeldRemoval removal = platform::RemoveHeldFile(taken.path.text, taken.handle);
  if (!platform::CloseFileHandle(taken.handle) && removal == platform::HeldRemoval::Removed) {
    removal = platform::HeldRemoval::Failed;
  }
  return removal;
}

// Interrupt side: takes every armed slot of one kind and removes its file.
void TakeSlots(bool locks) {
  const int used = g_slotsUsed.load();
  for (int slot = 0; slot < used; ++slot) {
    SlotState state = SlotState::Armed;
    if (g_states[slot].load() != SlotState::Armed || IsLock(slot) != locks) continue;
    if (g_states[slot].compare_exchange_strong(state, SlotState::Taken)) RemoveSlotFile(slot);
  }
}

std::atomic<const char*> g_interruptNotice{nullptr};
std::atomic<const char*> g_leftBehind{nullptr};
std::atomic<platform::FileHandle> g_interruptReport{platform::kInvalidHandle};
static_assert(std::atomic<platform::FileHandle>::is_always_lock_free, "the clean-up reads it");

void WriteNotice(platform::FileHandle handle, const char* text) {
  if (handle != platform::kInvalidHandle) platform::WriteHandle(handle, text, strlen(text));
}

void RemoveRegisteredFiles() {
  TakeSlots(false);
  TakeSlots(true);
  WriteKeptOutputOnInterrupt();
  const char* notice = g_interruptNotice.load();
  if (notice == nullptr) return;
  const char* const texts[] = {notice, g_leftBehind.load()};
  for (const char* text : texts) {
    if (text == nullptr) continue;
    WriteNotice(platform::StandardOutputHandle(), text);
    WriteNotice(g_interruptReport.load(), text);
  }
}

}  // namespace

bool InstallCleanupOnInterrupt() {
  if (!g_installed) g_installed = platform::InstallInterruptCleanup(RemoveRegisteredFiles);
  return g_installed;
}

int RegisterCleanup(const char* path, platform::FileHandle handle) {
  const size_t length = strlen(path);
  if (length >= kPathBufferSize) return -1;
  const Turn turn(g_turnTaken);
  if (handle == platform::kInvalidHandle) {
    const int registered = FindArmedFile(path);
    if (registered >= 0) return registered;
  }
  for (int slot = 0; slot < kCleanupSlots; ++slot) {
    SlotState state = SlotState::Free;
    if (!g_states[slot].compare_exchange_strong(state, SlotState::Writing)) continue;
    g_slots[slot].handle = handle;
    memcpy(g_slots[slot].path.text, path, length + 1);
    // Steps on other threads register their staged files too: the count only grows.
    int used = g_slotsUsed.load();
    while (used < slot + 1 && !g_slotsUsed.compare_exchange_weak(used, slot + 1)) {
    }
    g_states[slot].store(SlotState::Armed, std::memory_order_release);
    return slot;
  }
  return -1;
}

void UnregisterCleanup(const char* path) {
  const Turn turn(g_turnTaken);
  const int slot = FindArmedFile(path);
  SlotState state = SlotState::Armed;
  if (slot >= 0) g_states[slot].compare_exchange_strong(state, SlotState::Free);
}

bool CleanupSlotHeld(int slot) { return slot >= 0 && g_states[slot].load() == SlotState::Armed; }

platform::HeldRemoval ReleaseCleanupSlot(int slot) {
  // Interrupts wait while the slot is taken: an interrupt now would find the
  // slot no longer the clean-up's and end the process with the file still there.
  const InterruptHold hold;
  SlotState state = SlotState::Armed;
  platform::HeldRemoval removal = platform::HeldRemoval::Removed;  // by the clean-up, if taken
  if (slot >= 0 && g_states[slot].compare_exchange_strong(state, SlotState::Taken)) {
    removal = RemoveSlotFile(slot);
    g_states[slot].store(SlotState::Free);
  }
  return removal;
}

void AnnounceHeldInterrupt() {
  static std::atomic<bool> announced{false};
  if (!platform::InterruptWasHeld() || announced.exchange(true)) return;
  Tee("INTERRUPT: received during the commit. QVCULLDB32 stops once the database is whole "
      "again.\n");
}

void SetInterruptNotice(const char* text) { g_interruptNotice.store(text); }

void SetInterruptLeftBehind(const char* text) { g_leftBehind.store(text); }

void SetInterruptReport(FILE* report) { g_interruptReport.store(platform::HandleOfStream(report)); }

void PrintHeldInterruptNotice() {
  const char* notice = g_interruptNotice.load();
  if (!platform::InterruptWasHeld() || notice == nullptr) return;
  Tee("%s", notice);
  const char* left = g_leftBehind.load();
  if (left != nullptr) Tee("%s", left);
}
