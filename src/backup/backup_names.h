// The backup directories under a backup root, found by the names this program
// gives them, and which of them a run left incomplete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

// The most backup directories one listing holds.
constexpr uint32_t kMaxListed = 4096;

struct ListedName {
  char name[64];
};

// The directories named like a backup under a root, newest first.
struct BackupNames {
  std::unique_ptr<ListedName[]> names;
  uint32_t count = 0;
  bool failed = false;  // the root could not be listed to its end
};

// "QVCULLDB-YYYYMMDD-HHMMSS[-NNN]" read as a date and time; false for another name.
bool StampOfName(const char* name, char* stamp, size_t size);

// Fills *list; false when there was no memory for it or the pattern did not fit.
bool ListBackupNames(const char* root, BackupNames* list);

// A backup a run left without a complete manifest, that /PRUNE removes: it may be
// trusted and holds only what a backup holds.
bool IsIncompleteBackup(const char* dir, const platform::TrustedAccounts& accounts);
