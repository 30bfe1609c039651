// QVLINK.BSY: created exclusively, held open for the whole run, removed at the end
// or by the interrupt clean-up. A lock file this run did not create is never touched.
#include "safety/shared_lock.h"

#include <atomic>
#include <cstring>

#include "base/output.h"
#include "base/run_options.h"
#include "platform/platform.h"

namespace {

constexpr char kLockContent[] =
    "QVCULLDB32 0.4.0-beta1\r\nShared Quorvex maintenance lock\r\n";

// Process-wide, shared with the interrupt clean-up. owned is set only after path
// and handle are in place, and whoever clears it (release, clean-up) alone closes
// and deletes, so the two can never both act on the handle. releasing is set
// while a release that has cleared owned has not yet deleted the file, so that
// an interrupt in that moment still removes it.
struct SharedLock {
  std::atomic<int> owned;
  std::atomic<int> releasing;
  char path[kPathBufferSize];
  platform::FileHandle handle;
};
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt clean-up needs a lock-free flag");

SharedLock g_lock = {{0}, {0}, {0}, platform::kInvalidHandle};
bool g_cleanupInstalled = false;
std::atomic<void (*)()> g_fileCleanup{nullptr};

// Closes the held handle and deletes the lock file; true when both succeeded.
// Safe inside the interrupt clean-up: only the two platform calls and plain stores.
bool CloseAndDeleteLockFile() {
  bool result = true;
  if (g_lock.handle != platform::kInvalidHandle) {
    if (!platform::CloseFileHandle(g_lock.handle)) result = false;
    g_lock.handle = platform::kInvalidHandle;
  }
  if (!platform::RemoveFile(g_lock.path)) result = false;
  return result;
}

void LockCleanup() {
  void (*fileCleanup)() = g_fileCleanup.load();
  if (fileCleanup != nullptr) fileCleanup();
  if (g_lock.owned.exchange(0) == 1) {
    CloseAndDeleteLockFile();
  } else if (g_lock.releasing.load() == 1) {
    platform::RemoveFile(g_lock.path);
  }
}

}  // namespace

void SetInterruptFileCleanup(void (*cleanup)()) { g_fileCleanup.store(cleanup); }

int AcquireSharedLock(const char* path, char* reason, size_t reasonSize) {
  // One lock per run: a second attempt must not repoint the state at another file.
  if (g_lock.owned.load() == 1) return 0;
  if (strlen(path) >= sizeof g_lock.path) {
    FormatBounded(reason, reasonSize, "lock path is too long.");
    return -1;
  }
  strcpy(g_lock.path, path);

  // The clean-up is in place before the lock file exists, and the file counts as
  // owned from the moment it is created: a Ctrl+C while its content is written
  // must remove it, not leave a stale lock that blocks every cooperating tool.
  if (!g_cleanupInstalled) g_cleanupInstalled = platform::InstallInterruptCleanup(LockCleanup);
  if (!g_cleanupInstalled) {
    FormatBounded(reason, reasonSize, "could not install Ctrl+C lock cleanup handler.");
    return -1;
  }

  platform::FileHandle handle = platform::kInvalidHandle;
  const uint32_t createError = platform::CreateExclusiveFile(g_lock.path, &handle);
  if (createError == platform::kErrorFileExists || createError == platform::kErrorAlreadyExists) {
    return 0;
  }
  if (createError != 0) {
    FormatBounded(reason, reasonSize, "CreateFile failed with Windows error %lu.",
                  static_cast<unsigned long>(createError));
    return -1;
  }
  g_lock.handle = handle;
  g_lock.owned.store(1);

  const uint32_t writeError = platform::WriteHandle(handle, kLockContent, sizeof kLockContent - 1);
  if (writeError != 0) {
    if (g_lock.owned.exchange(0) == 1) CloseAndDeleteLockFile();
    FormatBounded(reason, reasonSize, "could not initialize lock file (Windows error %lu).",
                  static_cast<unsigned long>(writeError));
    return -1;
  }
  return 1;
}

bool ReleaseSharedLock() {
  g_lock.releasing.store(1);
  if (g_lock.owned.exchange(0) != 1) {
    g_lock.releasing.store(0);
    return true;
  }
  const bool released = CloseAndDeleteLockFile();
  g_lock.releasing.store(0);
  return released;
}

bool IsSharedLockHeld() {
  platform::PathAttributes attributes;
  return g_lock.owned.load() == 1 && platform::GetPathAttributes(g_lock.path, &attributes);
}

bool SharedLockOwned() {
  return g_lock.owned.load() == 1;
}

const char* SharedLockPath() {
  return g_lock.path;
}
