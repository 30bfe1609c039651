// The restore program's switches, parsed whole before anything is opened.
#include "cli/restore_switches.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// "@" stands for the restore program's name as the sysop types it here.
constexpr const char* kUsage =
    "@ - checks a QVCULLDB32 backup and restores it as one verified set.\n"
    "\n"
    "  @ /LIST [/BACKUP=path]\n"
    "  @ /CHECK=backup [/MOVED] [/BACKUP=path]\n"
    "  @ /RESTORE=backup [/MOVED] [/BACKUP=path]\n"
    "  @ /PRUNE[=n] [/DRYRUN] [/BACKUP=path]\n"
    "  @ /HELP | /? | /VERSION\n"
    "\n"
    "  /LIST           lists the backups under the backup root, newest first,\n"
    "                  with what each was made before; checks sizes only.\n"
    "  /CHECK=backup   verifies one backup against this home, every hash;\n"
    "                  changes nothing.\n"
    "  /RESTORE=backup checks the backup, backs up the live files it replaces,\n"
    "                  and restores QVUSERS.DAT, QVUSERS.PTR, QVPURGED.USR and\n"
    "                  every QVMSGxx.LMR together. QVWHOSON.DAT is never restored.\n"
    "  /MOVED          with /CHECK or /RESTORE: the backup was made in another\n"
    "                  home directory of this same BBS (the board was moved).\n"
    "  /PRUNE          removes incomplete backups of this home only.\n"
    "  /PRUNE=n        also keeps the newest n backups that pass the check of\n"
    "                  /CHECK and removes older ones; never one the commit marker\n"
    "                  names, one of another home or one this release did not make.\n"
    "  /DRYRUN         with /PRUNE: only says what it would remove.\n"
    "  /BACKUP=path    the backup root (default QVCULLDB-BACKUPS in the home\n"
    "                  directory); with /RESTORE, where the pre-restore backup goes.\n"
    "\n"
    "A backup is its name as /LIST prints it (looked up under the backup root) or\n"
    "the path of its directory. Run it in the BBS home directory with every node\n"
    "closed. A relative path is taken from the home directory. Exit codes: 0 done\n"
    "and verified, 2 failed (read QVCULLDB32_REPORT.TXT), 3 usage.\n";

// The value after name when argument (past its leader) starts with it, else null.
const char* ValueAfter(const char* argument, const char* name) {
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (UpperAscii(argument[i]) != name[i]) return nullptr;
  }
  return name[i - 1] == '=' || argument[i] == '\0' ? argument + i : nullptr;
}

bool SetAction(RestoreSwitches* run, RestoreAction action, const char* value,
               MessageBuffer* message) {
  const bool informational = action == RestoreAction::Help || action == RestoreAction::Version;
  if (informational) {
    if (run->action == RestoreAction::None || run->action == RestoreAction::Version) {
      run->action = action;
    }
    return true;
  }
  if (run->action == RestoreAction::Help || run->action == RestoreAction::Version) return true;
  if (run->action != RestoreAction::None) {
    return FailWith(message, "Give only one of /LIST, /CHECK=dir, /RESTORE=dir and /PRUNE=n.");
  }
  run->action = action;
  if (value == nullptr) return true;
  if (value[0] == '\0' || !CopyPath(&run->backupArgument, value)) {
    return FailWith(message, "Invalid backup directory.");
  }
  TrimTrailingSeparators(run->backupArgument.text);
  return true;
}

bool ParseRestoreArgument(const char* argument, RestoreSwitches* run, MessageBuffer* message) {
  if (argument[0] != '/' && argument[0] != '-') {
    return FailWith(message, "Unknown argument: %s", argument);
  }
  const char* rest = argument + 1;
  const char* value = nullptr;
  if ((value = ValueAfter(rest, "BACKUP=")) != nullptr) {
    if (run->options.backupGiven) return FailWith(message, "Duplicate /BACKUP switch.");
    if (value[0] == '\0' || !CopyPath(&run->options.backupRoot, value)) {
      return FailWith(message, "Invalid /BACKUP path.");
    }
    TrimTrailingSeparators(run->options.backupRoot.text);
    run->options.backupGiven = true;
    return true;
  }
  if (ValueAfter(rest, "DRYRUN") != nullptr) {
    run->dryRun = true;
    return true;
  }
  if (ValueAfter(rest, "MOVED") != nullptr) {
    run->moved = true;
    return true;
  }
  if (ValueAfter(rest, "PRUNE") != nullptr) return SetAction(run, RestoreAction::Prune, nullptr, message);
  if ((value = ValueAfter(rest, "PRUNE=")) != nullptr) {
    run->pruneCounted = true;
    if (value[0] == '\0') return FailWith(message, "Give /PRUNE=n with n from 1 to 999: the backups to keep.");
  }
  const struct {
    const char* name;
    RestoreAction action;
  } kActions[] = {{"PRUNE=", RestoreAction::Prune},{"LIST", RestoreAction::List},       {"CHECK=", RestoreAction::Check},
                  {"RESTORE=", RestoreAction::Restore}, {"HELP", RestoreAction::Help},
                  {"?", RestoreAction::Help},          {"VERSION", RestoreAction::Version}};
  for (const auto& known : kActions) {
    if ((value = ValueAfter(rest, known.name)) == nullptr) continue;
    const bool takesValue = known.name[strlen(known.name) - 1] == '=';
    return SetAction(run, known.action, takesValue ? value : nullptr, message);
  }
  return FailWith(message, "Unknown switch: %s", argument);
}

// "/?" or "/HELP" anywhere asks for help, whatever else the line holds, as the packer takes it.
bool AsksForHelp(int argc, char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if ((argument[0] == '/' || argument[0] == '-') &&
        (strcmp(argument + 1, "?") == 0 || ValueAfter(argument + 1, "HELP") != nullptr)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool ParseRestoreSwitches(int argc, char* const* argv, RestoreSwitches* run,
                          MessageBuffer* message) {
  *run = {};
  if (AsksForHelp(argc, argv)) {
    run->action = RestoreAction::Help;
    return true;
  }
  for (int i = 1; i < argc; ++i) {
    if (!ParseRestoreArgument(argv[i], run, message)) return false;
  }
  if (run->action == RestoreAction::None) {
    return FailWith(message, "Give one of /LIST, /CHECK=dir, /RESTORE=dir and /PRUNE.");
  }
  if (run->dryRun && run->action != RestoreAction::Prune) {
    return FailWith(message, "/DRYRUN is valid only with /PRUNE.");
  }
  if (run->moved && run->action != RestoreAction::Check && run->action != RestoreAction::Restore) {
    return FailWith(message, "/MOVED is valid only with /CHECK=dir and /RESTORE=dir.");
  }
  if (run->action == RestoreAction::Prune && run->pruneCounted) {
    const char* n = run->backupArgument.text;
    unsigned keep = 0;
    for (; *n >= '0' && *n <= '9' && keep <= 999; ++n) keep = keep * 10 + unsigned(*n - '0');
    if (*n != '\0' || keep < 1 || keep > 999) {
      return FailWith(message, "Give /PRUNE=n with n from 1 to 999: the backups to keep.");
    }
    run->keep = keep;
  }
  return true;
}

NamedText WithProgramName(const char* text) {
  NamedText out = {};
  size_t used = 0;
  for (const char* c = text; *c != '\0' && used + 16 < sizeof out.text; ++c) {
    if (*c != '@') {
      out.text[used++] = *c;
      continue;
    }
    platform::CopyBounded(out.text + used, sizeof out.text - used, platform::kRestoreProgramName);
    used += strlen(out.text + used);
  }
  return out;
}

NamedText RestoreUsage() { return WithProgramName(kUsage); }
