// The commit marker: a small file in WORK that is on disk from just before the
// commit's first rename until the database is whole again (packed and verified,
// or rolled back). It names the backup and, for every file the commit replaces,
// its pre-pack and packed size and hash, so that a run after a crash or power
// loss in the middle of a commit can tell a whole database from a mixed one.
#pragma once

#include "base/paths.h"
#include "base/run_counters.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

struct CommitSection;

// Writes the marker under a staged name, flushes it, and renames it into place
// durably; it names section.backupToRestore. Prints and counts its error on
// failure; a marker this call put in place is removed again then.
bool WriteCommitMarker(const CommitSection& section);

// Removes the marker and flushes WORK; 0, or the Windows error code when it may
// still be on disk.
uint32_t RemoveCommitMarker(const char* markerPath);

// Read right after the lock is taken. Without a marker, true. With one, every
// file it lists (only paths's live user files and MESSAGE LMR files may be
// listed: any other path makes the marker unreadable, unopened) is compared: all packed or all pre-pack means the database is
// whole, which is said, the marker removed, and true returned; otherwise (a
// mix, or a marker that cannot be read) a SAFETY ABORT names the backup and the
// restore command, and false is returned with the marker left in place.
bool ResolveEarlierCommit(const RunPaths& paths, RunCounters* counters);

// True when a marker is there and the live files it lists are not all packed
// or all pre-pack (or it cannot be read): the database is a mix.
bool CommitMarkerShowsMix(const RunPaths& paths);

// The backup the marker names (empty text when there is no marker), found by
// its id when it was renamed under its root, and that id (empty when the marker
// records none); false when a marker is there and cannot be read.
bool BackupNamedByCommitMarker(const RunPaths& paths, PathBuffer* backupDir, char* backupId,
                               size_t idSize);
