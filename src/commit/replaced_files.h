// The live files the commit replaced, held open from just before each rename
// until post-write verification has read them again: a file that no longer
// matches the final gate's snapshot was written by another process during the
// commit, and its content would be lost with it.
#pragma once

#include <cstdint>

#include "base/run_counters.h"
#include "platform/platform.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"

constexpr const char* kChangedDuringCommitSuffix = ".CHANGED-DURING-COMMIT";

struct ReplacedFile {
  platform::FileHandle handle;
  platform::ReplacedStamps stamps;  // through handle, around the rename
  const FileSnapshot* before;  // what the gate proved it held; null: there was no file
  const char* name;
  const char* area;  // the backup directory's subdirectory for it: WORK or MESSAGE
};

struct ReplacedFiles {
  ReplacedFile files[kLmrInventoryCapacity + 4];
  uint32_t count;
  const char* backupDir;  // where a changed file's content is kept
  uint32_t renamed;       // live files replaced (or removed) so far
  bool lockLost;          // the lock was not the run's own before a rename
};

// Step `index` of the post-write verification's extra steps: looks at the
// replaced file again through its handle (its stamp; it is read again only when
// the stamp moved, or the gate's was not settled) and closes it. When it
// differs from its gate snapshot, its content is copied to
// <backup>/<area>/<name>.CHANGED-DURING-COMMIT and the step fails with an error
// naming the file and the copy.
bool CheckReplacedFile(uint32_t index, void* replacedFiles, RunCounters* counters);

// Closes every file still held, before a rollback replaces the live files again.
void CloseReplacedFiles(ReplacedFiles* replaced);
