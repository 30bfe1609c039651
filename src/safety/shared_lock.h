// The MESSAGE directory's QVLINK.BSY, shared with the BBS's other maintenance
// tools: whoever creates it first may work on the shared files.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The same, telling a lock found lost (gone, another file, never owned) from a
// name that could not be looked at.
enum class LockCheck { Held, Lost, Unknown };
LockCheck CheckSharedLock();

// True while this run owns the lock (acquired and not yet released).
bool SharedLockOwned();

// The path recorded at the last acquisition attempt.
const char* SharedLockPath();

// Who made a lock or a commit marker, as its line "Held by process N on host H
// since YYYY-MM-DD HH:MM:SS" records it.
struct RunRecord {
  uint64_t process;
  char host[64];
  char since[20];  // "YYYY-MM-DD HH:MM:SS", local time
};

// This run's record line (no line end) as its lock holds it; empty before the
// lock is acquired.
const char* OwnRunRecord();

// Reads a record line (without its line end), every field checked.
bool ParseRunRecord(const char* line, size_t length, RunRecord* record);

// Whether the run a record names goes on. The process id alone proves nothing:
// ids are reused (after a reboot, in a container, and under Wine each program
// may get the id an ended one had), so a running process counts as that run only
// when it started when the record says; this run's own id never counts; a
// record of another host cannot be checked from here.
enum class RecordedRun { Live, Ended, IdReused, OwnId, OtherHost, Unknown };
struct RecordedRunJudgement {
  RecordedRun state;
  int64_t startedAt;  // IdReused: when the process now holding the id started
};
RecordedRunJudgement JudgeRecordedRun(const RunRecord& record);

// The judgement as the "Lock status:" text after its label, and the advice line
// when the run has ended (null otherwise).
const char* RecordedRunText(const RecordedRunJudgement& judgement, char* buffer, size_t size);

// What a lock found in place was judged to be, for the run's next step.
enum class LockRefusal { None, Stale, RunGoesOn, Other };

// Prints what a lock found at path tells: its age, the tool its first line
// names and, for a lock of this program, the process that holds it, whether
// that process still runs and, when it does not, how to remove the lock safely.
LockRefusal DescribeFoundLock(const char* path);
