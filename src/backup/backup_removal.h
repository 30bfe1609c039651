// Removing a backup directory this program made, for the restore program's /PRUNE.
#pragma once

#include <cstdint>

#include "base/output.h"

// Every entry of dir is one a backup holds (WORK and MESSAGE with the files a
// backup may hold, MANIFEST.TXT, RESTORE_WARNING.TXT), each file a regular file;
// otherwise false with the entry that is not.
bool HoldsOnlyBackupFiles(const char* dir, MessageBuffer* reason);

// Removes dir when it holds only what a backup holds (WORK and MESSAGE with the
// files a backup may hold, MANIFEST.TXT, RESTORE_WARNING.TXT): the manifest
// first, so that a removal cut short leaves an incomplete backup, never one that
// looks whole. Anything else in it, or a failed removal, keeps the rest and
// returns false with the reason. Adds the bytes of the files removed to *freed.
bool RemoveBackupTree(const char* dir, uint64_t* freed, MessageBuffer* reason);

// The bytes of the regular files in dir, its WORK and its MESSAGE.
uint64_t BytesOfBackupTree(const char* dir);
