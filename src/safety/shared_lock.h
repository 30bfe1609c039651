// The MESSAGE directory's QVLINK.BSY, shared with the BBS's other maintenance
// tools: whoever creates it first may work on the shared files.
#pragma once

#include <cstddef>

// 1 acquired; 0 the lock file already exists (nothing created or removed);
// -1 any other failure, with a one-line reason in reason (reasonSize bytes).
// While this run holds a lock, a further attempt returns 0 and changes nothing.
int AcquireSharedLock(const char* path, char* reason, size_t reasonSize);

// Also runs cleanup on an interrupt, before the lock file is removed, so that
// cooperating tools stay out until it is done. cleanup must be async-signal-safe.
void SetInterruptFileCleanup(void (*cleanup)());

// True when the lock was not held, or closing and deleting both succeeded.
bool ReleaseSharedLock();

// True when this run owns the lock and the lock path still exists.
bool IsSharedLockHeld();

// True while this run owns the lock (acquired and not yet released).
bool SharedLockOwned();

// The path recorded at the last acquisition attempt.
const char* SharedLockPath();
