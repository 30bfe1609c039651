// The backup store: the backup directories under one backup root, which other
// homes, runs and accounts may share. Its contract, for the packer and the
// restore program alike:
//
//   Lock     every run that makes, reads or removes backups holds the root's
//            lock (QVCULLDB.LCK in the root) meanwhile, so no run removes a
//            backup another live run is making or reading;
//   Make     (verified_backup.h) IDENTITY.TXT first, then the copies, the
//            warning and MANIFEST.TXT last;
//   List     every directory named like a backup, each with its identity and
//            its manifest's state, newest first by the UTC time it was begun;
//            never cut short without saying so;
//   Inspect  (backup_manifest.h) one verdict for /CHECK, /RESTORE and /PRUNE;
//   Remove   only the names a backup holds, through held directories, never
//            following a link nor leaving the root's volume.
//
// A backup's life:
//
//   (begun) --IDENTITY.TXT--> being made --MANIFEST.TXT--> complete
//                               |                             |
//                    run ends before the manifest      a copy changes
//                               v                             v
//                          incomplete                      damaged
//
//   complete, of kind MIXED (made before a restore over a mixed database):
//   listed, never restored, never removed but by hand.
//   A directory without IDENTITY.TXT is no backup this release made: the store
//   lists it as such and never removes it.
#pragma once

#include <cstdint>
#include <memory>

#include "backup/backup_identity.h"
#include "backup/backup_manifest.h"
#include "base/output.h"
#include "base/paths.h"
#include "platform/platform.h"

// ---- Lock ----------------------------------------------------------------

constexpr const char* kRootLockName = "QVCULLDB.LCK";

// The root's lock while this run holds it.
struct RootLock {
  platform::FileHandle handle = platform::kInvalidHandle;
  PathBuffer path{};
};

// What a run does under the root's lock, as its record and refusals say it.
enum class RootUse { Make, Restore, Prune };

// Takes the root's lock, waiting a few seconds for another run to finish with
// it; false with the reason (naming the other run from its record when it can
// be read) when it cannot be had.
bool TakeRootLock(const char* root, const char* home, RootUse use, RootLock* lock,
                  MessageBuffer* reason);
// Removes the lock's name and lets it go (nothing when not held); false when
// the name stays (the next run takes it over), for the caller to say so.
bool ReleaseRootLock(RootLock* lock);
// The caller's line for a lock whose name stayed.
void FormatRootLockLeft(const RootLock& lock, char* line, size_t size);

// ---- List ----------------------------------------------------------------

struct ListedBackup {
  char name[64];
  bool identified;           // IDENTITY.TXT read
  IdentityState identityState;
  BackupIdentity identity;   // when identified
  MessageBuffer unidentified;  // why not
  bool empty;  // no IDENTITY.TXT and nothing else: what a removal cut short at its end leaves
};

struct BackupList {
  std::unique_ptr<ListedBackup[]> items;
  uint32_t count = 0;
  bool failed = false;  // the root could not be listed to its end, or no memory for more
};

// True when the directory name of root holds nothing at all.
bool IsEmptyDirectory(const char* root, const char* name);

// "QVCULLDB-YYYYMMDD-HHMMSS" or the same with "-NNN": a backup's directory name.
bool IsBackupName(const char* name);
// The local date and time a backup's name shows, "YYYY-MM-DD HH:MM:SS"; false
// for a name that is not a backup's.
bool StampOfName(const char* name, char* stamp, size_t size);

// Every directory of root named like a backup, identified ones newest first by
// the time they were begun, then the others by name. False when the root
// cannot be listed at all.
bool ListBackupStore(const char* root, BackupList* list);

// A backup this release made, of home, left without a complete manifest by a
// run that stopped while making it: what the prune removes and a run names.
bool IsIncompleteBackupOf(const char* root, const ListedBackup& item, const char* home,
                          const platform::TrustedAccounts& accounts);

// The directory under root whose IDENTITY.TXT has id; false when none has.
bool FindBackupById(const char* root, const char* id, PathBuffer* dir);

// ---- Remove ----------------------------------------------------------------

// Removes the backup directory name of root: first checks that it holds only
// what a backup holds (IDENTITY.TXT, MANIFEST.TXT, RESTORE_WARNING.TXT, WORK and
// MESSAGE with the files a backup may hold), every entry a regular file or a
// plain directory on the root's volume; then removes MANIFEST.TXT first (a
// removal cut short leaves an incomplete backup, never one that looks whole),
// IDENTITY.TXT last, each by its name in its held directory. Anything else
// stops the removal before a byte is removed, named in *reason. *freed: the
// bytes of the files removed.
bool RemoveBackup(const char* root, const char* name, uint64_t* freed, MessageBuffer* reason);

// Removes the empty directory name of root (never one with an entry); 0, or the
// Windows error code.
uint32_t RemoveEmptyBackupDirectory(const char* root, const char* name);

// The check RemoveBackup makes first, alone: true with the bytes a removal
// would free, or false with what stops it.
// *unexamined: it failed because the system could not list or open a part.
bool BackupHoldsOnlyItsFiles(const char* root, const char* name, uint64_t* bytes,
                             MessageBuffer* reason, bool* unexamined = nullptr);
