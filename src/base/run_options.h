// The parsed command-line switches of one run.
#pragma once

#include <cstdint>

#include "base/paths.h"

constexpr const char* kProgramName = "QVCULLDB32";
constexpr const char* kProgramVersion = "0.4.0-beta1";

// The record is all false and zero at the start of the run.
struct RunOptions {
  bool dryRun;
  bool writeMode;  // derived: none of /DRYRUN, /HELP, /?, /VERSION given
  bool secGiven;
  uint32_t secValue;  // 0 through 32767
  bool oldGiven;
  uint32_t oldDays;  // 30 through 65535
  bool helpWanted;
  bool versionWanted;
  bool andGiven;
  bool delOnly;
  bool backupGiven;
  PathBuffer backupRoot;  // 1 to 1023 characters, trailing separators removed
};
