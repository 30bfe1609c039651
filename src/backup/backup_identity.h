// IDENTITY.TXT: the first file of every backup, written before any copy. It
// says whose backup it is (the home), when it was begun (UTC, never the local
// clock the directory's name comes from) and a unique id, by which the commit
// marker finds its backup whatever the directory is called by then. A
// directory without it is not a backup this release made: nothing removes it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/output.h"
#include "base/paths.h"

constexpr const char* kIdentityName = "IDENTITY.TXT";
constexpr size_t kBackupIdSize = 33;  // 32 hex digits and the NUL

struct BackupIdentity {
  PathBuffer home;           // the home directory the backup was made in
  int64_t begunUtc;          // seconds since 1970-01-01 UTC
  uint32_t begunMicros;      // and microseconds, so that one second's backups order too
  char id[kBackupIdSize];    // 32 hex digits
};

// A new identity for a backup begun now in home.
void NewBackupIdentity(const char* home, BackupIdentity* identity);

// The whole text of the file for identity.
struct IdentityText {
  char text[kPathBufferSize + 256];
};
void FormatIdentityText(const BackupIdentity& identity, IdentityText* out);

// Parses text as the file reads; false, with the reason, for anything this
// program does not write (a line too many, a field out of range, an id that is
// not 32 hex digits).
bool ParseIdentityText(const char* text, size_t length, BackupIdentity* identity,
                       MessageBuffer* reason);

// Reads dir's IDENTITY.TXT (a regular file, never through a link): Read, or
// with the reason Missing, Foreign (not one this program writes) or Unreadable
// (the system failed to read it: nothing can be said of the backup).
enum class IdentityState { Read, Missing, Foreign, Unreadable };
IdentityState ReadBackupIdentity(const char* dir, BackupIdentity* identity, MessageBuffer* reason);

// True when a was begun after b (later time; for one instant, the greater id).
bool BegunAfter(const BackupIdentity& a, const BackupIdentity& b);
