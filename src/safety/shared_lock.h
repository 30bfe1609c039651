// The MESSAGE directory's QVLINK.BSY, shared with the BBS's other maintenance
// tools: whoever creates it first may work on the shared files.
#pragma once

#include "base/output.h"

enum class LockResult {
  Acquired,
  AlreadyExists,  // nothing created or removed
  Failed,         // with a one-line reason
};

// Creates the lock file exclusively, registers it with the interrupt clean-up
// and writes it: the two fixed lines, then this run's process, host and
// startStamp. While this run holds a lock, a further attempt returns
// AlreadyExists and changes nothing.
LockResult AcquireSharedLock(const char* path, const char* startStamp, MessageBuffer* reason);

enum class LockRelease {
  Released,  // also when none was held
  Replaced,  // the name is another file now, left as it is
  Failed,    // closing or deleting failed, or the lock file is gone
};
LockRelease ReleaseSharedLock();

// True when this run owns the lock and the lock path is still the file it created.
bool IsSharedLockHeld();

// True while this run owns the lock (acquired and not yet released).
bool SharedLockOwned();

// The path recorded at the last acquisition attempt.
const char* SharedLockPath();

// Prints what a lock found at path tells: its age, the tool its first line
// names and, for a lock of this program, the process that holds it, whether
// that process still runs and, when it does not, how to remove the lock safely.
void DescribeFoundLock(const char* path);
