// QVLINK.BSY: created exclusively, held open for the whole run, removed at the end
// or by the interrupt clean-up. A lock file this run did not create is never touched.
#include "safety/shared_lock.h"

#include "base/cleanup_registry.h"
#include "base/paths.h"
#include "platform/platform.h"

namespace {

constexpr char kLockContent[] =
    "QVCULLDB32 0.4.0-beta1\r\nShared Quorvex maintenance lock\r\n";

// The path of the last attempt, and the clean-up slot of the held lock (-1 when
// none): the slot holds the open handle, and whoever takes the slot back, the
// release or the interrupt clean-up, alone closes and deletes.
PathBuffer g_lockPath;
int g_lockSlot = -1;

}  // namespace

LockResult AcquireSharedLock(const char* path, MessageBuffer* reason) {
  // One lock per run: a second attempt must not repoint the state at another file.
  if (SharedLockOwned()) return LockResult::AlreadyExists;
  if (!CopyPath(&g_lockPath, path)) {
    FailWith(reason, "lock path is too long.");
    return LockResult::Failed;
  }

  // The clean-up is in place before the lock file exists, and the file is
  // registered from the moment it is created: a Ctrl+C while its content is
  // written must remove it, not leave a stale lock that blocks every cooperating tool.
  if (!InstallCleanupOnInterrupt()) {
    FailWith(reason, "could not install Ctrl+C lock cleanup handler.");
    return LockResult::Failed;
  }
  platform::FileHandle handle = platform::kInvalidHandle;
  const uint32_t createError = platform::CreateExclusiveFile(g_lockPath.text, &handle);
  if (createError == platform::kErrorFileExists || createError == platform::kErrorAlreadyExists) {
    return LockResult::AlreadyExists;
  }
  if (createError != 0) {
    FailWith(reason, "CreateFile failed with Windows error %lu.",
             static_cast<unsigned long>(createError));
    return LockResult::Failed;
  }
  g_lockSlot = RegisterCleanup(g_lockPath.text, handle);
  if (g_lockSlot < 0) {  // the table always has room for the lock, taken first
    platform::CloseFileHandle(handle);
    platform::RemoveFile(g_lockPath.text);
    FailWith(reason, "could not install Ctrl+C lock cleanup handler.");
    return LockResult::Failed;
  }

  const uint32_t writeError = platform::WriteHandle(handle, kLockContent, sizeof kLockContent - 1);
  if (writeError != 0) {
    ReleaseSharedLock();
    FailWith(reason, "could not initialize lock file (Windows error %lu).",
             static_cast<unsigned long>(writeError));
    return LockResult::Failed;
  }
  return LockResult::Acquired;
}

bool ReleaseSharedLock() {
  const int slot = g_lockSlot;
  g_lockSlot = -1;
  return ReleaseCleanupSlot(slot);
}

bool IsSharedLockHeld() {
  platform::PathAttributes attributes;
  return SharedLockOwned() && platform::GetPathAttributes(g_lockPath.text, &attributes);
}

bool SharedLockOwned() { return CleanupSlotHeld(g_lockSlot); }

const char* SharedLockPath() { return g_lockPath.text; }
