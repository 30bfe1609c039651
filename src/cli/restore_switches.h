// The restore program's command line: its switches, its usage text, and texts
// that name the program as the sysop types it.
#pragma once

#include <cstdint>

#include "base/output.h"
#include "base/paths.h"
#include "base/run_options.h"

enum class RestoreAction { None, List, Check, Restore, Prune, Help, Version };

struct RestoreSwitches {
  RestoreAction action;
  PathBuffer backupArgument;  // /CHECK= or /RESTORE= as given (/PRUNE=: its n)
  RunOptions options;         // backupGiven and backupRoot, as the packer takes them
  bool dryRun;                // /DRYRUN, with /PRUNE only
  bool moved;                 // /MOVED, with /CHECK and /RESTORE only
  bool pruneCounted;          // /PRUNE=n rather than /PRUNE
  uint32_t keep;              // /PRUNE=n; 0: incomplete backups only
};

// Reads argv[1..argc-1] into *switches; false with the reason in *message for a
// line the program refuses. "/?" or "/HELP" anywhere asks for help.
bool ParseRestoreSwitches(int argc, char* const* argv, RestoreSwitches* switches,
                          MessageBuffer* message);

struct NamedText {
  char text[2048];
};
// text with every "@" replaced by the restore program's name.
NamedText WithProgramName(const char* text);
// The usage text, the program's name filled in.
NamedText RestoreUsage();
