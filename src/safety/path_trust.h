// Whether a path may hold a backup, or be read as one: the entry and every
// directory above it, each trusted by platform::CheckEntryTrust.
#pragma once

#include "base/paths.h"
#include "platform/platform.h"

// The first entry of a path that may not be trusted, and why.
struct PathVerdict {
  platform::EntryTrust trust;  // Trusted when every entry is
  PathBuffer entry;            // the entry judged last
};

// Judges every directory of path from the file system's root down (never a
// drive root, a UNC server or share), then path itself as a directory or a
// regular file; stops at the first that fails. True when all are trusted.
bool PathIsTrusted(const char* path, bool isDirectory, const platform::TrustedAccounts& accounts,
                   PathVerdict* verdict);

// The trust check's failure in words, e.g. "it is a symbolic link".
const char* TrustFailureText(platform::EntryTrust trust, bool isDirectory);
