// The MESSAGE directory's QVLINK.BSY, shared with the BBS's other maintenance
// tools: whoever creates it first may work on the shared files.
#pragma once

#include "base/output.h"

enum class LockResult {
  Acquired,
  AlreadyExists,  // nothing created or removed
  Failed,         // with a one-line reason
};

// Creates the lock file exclusively and registers it with the interrupt
// clean-up. While this run holds a lock, a further attempt returns
// AlreadyExists and changes nothing.
LockResult AcquireSharedLock(const char* path, MessageBuffer* reason);

// True when the lock was not held, or closing and deleting both succeeded.
bool ReleaseSharedLock();

// True when this run owns the lock and the lock path still exists.
bool IsSharedLockHeld();

// True while this run owns the lock (acquired and not yet released).
bool SharedLockOwned();

// The path recorded at the last acquisition attempt.
const char* SharedLockPath();
