// Whether a path may hold a backup, or be read as one: the entry and every
// directory above it, each trusted by platform::CheckEntryTrust.
#pragma once

#include "base/paths.h"
#include "platform/platform.h"

// The first entry of a path that may not be trusted, and why.
struct PathVerdict {
  platform::EntryTrust trust;    // Trusted when every entry is
  PathBuffer entry;              // the entry judged last
  platform::TrustPrincipal who;  // who made it untrusted, when the system says (Windows)
};

// Judges every directory of path from the file system's root down (never a
// drive root, a UNC server or share), then path itself as a directory or a
// regular file; stops at the first that fails. True when all are trusted.
bool PathIsTrusted(const char* path, bool isDirectory, const platform::TrustedAccounts& accounts,
                   PathVerdict* verdict);

// The trust check's failure in words, e.g. "it is a symbolic link".
const char* TrustFailureText(platform::EntryTrust trust, bool isDirectory);

// A refused path in words: why, the entry, and who may change or owns it where
// that is known, with what to do ("it is owned by another user: X (...)").
void DescribeUntrustedPath(const PathVerdict& verdict, bool isDirectory, char* out, size_t size);
