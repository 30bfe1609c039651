// The parsed command-line switches of one run.
#pragma once

#include <cstdint>

#include "base/paths.h"

constexpr const char* kProgramName = "QVCULLDB32";
constexpr const char* kProgramVersion = "0.4.0-beta1";

// Every flag is 0 or 1; the record is all zero at the start of the run.
struct RunOptions {
  uint32_t dryRun;
  uint32_t writeMode;  // derived: none of /DRYRUN, /HELP, /?, /VERSION given
  uint32_t secGiven;
  uint32_t secValue;   // 0 through 32767
  uint32_t oldGiven;
  uint32_t oldDays;    // 30 through 65535
  uint32_t helpWanted;
  uint32_t versionWanted;
  uint32_t andGiven;
  uint32_t delOnly;
  uint32_t backupGiven;
  char backupRoot[kPathBufferSize];  // 1 to 1023 characters, trailing separators removed
};
