// Switch parsing: every argument is checked in order and the first bad one
// ends the run with its message.
#include "cli/switches.h"

#include <cstring>

#include "base/output.h"
#include "base/paths.h"

namespace {

enum class SwitchKind {
  Flag,        // may be given once
  Repeatable,  // may be given any number of times
  Number,      // once, with a decimal value
  Path,        // once, with a path
  Removed,     // always rejected
};

struct SwitchRule {
  const char* name;  // after the leader, upper case; a trailing '=' means a value follows
  SwitchKind kind;
  bool RunOptions::*given;
  uint32_t RunOptions::*value;  // Number only
  uint32_t minimum;             // Number only
  uint32_t maximum;             // Number only
  const char* duplicateMessage;
  const char* invalidMessage;
};

constexpr const char* kRemovedMessage =
    "/WRITE and /LAB were removed. Omit them for a verified write, or add /DRYRUN for a preview.";

const SwitchRule kSwitches[] = {
    {"DRYRUN", SwitchKind::Flag, &RunOptions::dryRun, nullptr, 0, 0,
     "Duplicate /DRYRUN switch.", nullptr},
    {"DEL", SwitchKind::Flag, &RunOptions::delOnly, nullptr, 0, 0, "Duplicate /DEL switch.",
     nullptr},
    {"SEC=", SwitchKind::Number, &RunOptions::secGiven, &RunOptions::secValue, 0, 32767,
     "Duplicate /SEC switch.", "Invalid /SEC value. Use 0 through 32767."},
    {"OLD=", SwitchKind::Number, &RunOptions::oldGiven, &RunOptions::oldDays, 30, 65535,
     "Duplicate /OLD switch.", "Invalid /OLD value. Use 30 through 65535 days."},
    {"AND", SwitchKind::Flag, &RunOptions::andGiven, nullptr, 0, 0, "Duplicate /AND switch.",
     nullptr},
    {"BACKUP=", SwitchKind::Path, &RunOptions::backupGiven, nullptr, 0, 0,
     "Duplicate /BACKUP switch.", "Invalid /BACKUP path."},
    {"VERSION", SwitchKind::Repeatable, &RunOptions::versionWanted, nullptr, 0, 0, nullptr,
     nullptr},
    {"HELP", SwitchKind::Repeatable, &RunOptions::helpWanted, nullptr, 0, 0, nullptr, nullptr},
    {"?", SwitchKind::Repeatable, &RunOptions::helpWanted, nullptr, 0, 0, nullptr, nullptr},
    {"WRITE", SwitchKind::Removed, nullptr, nullptr, 0, 0, nullptr, kRemovedMessage},
    {"LAB", SwitchKind::Removed, nullptr, nullptr, 0, 0, nullptr, kRemovedMessage},
};

// Length of name when text starts with it (ASCII letters in any case), else 0.
size_t MatchPrefix(const char* text, const char* name) {
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (UpperAscii(text[i]) != name[i]) {
      return 0;
    }
  }
  return i;
}

bool TakesValue(const SwitchRule& rule) { return rule.name[strlen(rule.name) - 1] == '='; }

// The switch rest names, or null; *value points after the '=' of a value switch.
const SwitchRule* FindSwitch(const char* rest, const char** value) {
  for (const SwitchRule& rule : kSwitches) {
    const size_t length = MatchPrefix(rest, rule.name);
    if (length == 0) {
      continue;
    }
    if (TakesValue(rule) || rest[length] == '\0') {
      *value = rest + length;
      return &rule;
    }
  }
  return nullptr;
}

// Reads one or more decimal digits into *result, refusing any digit that would
// take the number above maximum, so no overflow can happen.
bool ParseBoundedNumber(const char* text, uint32_t maximum, uint32_t* result) {
  if (*text == '\0') {
    return false;
  }
  uint32_t number = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') {
      return false;
    }
    const uint32_t digit = static_cast<uint32_t>(*text - '0');
    if (number * 10 + digit > maximum) {
      return false;
    }
    number = number * 10 + digit;
  }
  *result = number;
  return true;
}

bool ApplyNumber(const SwitchRule& rule, const char* value, RunOptions* options,
                 MessageBuffer* message) {
  uint32_t number = 0;
  if (!ParseBoundedNumber(value, rule.maximum, &number) || number < rule.minimum) {
    return FailWith(message, "%s", rule.invalidMessage);
  }
  options->*rule.value = number;
  return true;
}

bool ApplyBackupPath(const SwitchRule& rule, const char* value, RunOptions* options,
                     MessageBuffer* message) {
  if (value[0] == '\0' || !CopyPath(&options->backupRoot, value)) {
    return FailWith(message, "%s", rule.invalidMessage);
  }
  TrimTrailingSeparators(options->backupRoot.text);
  return true;
}

// Applies one recognised switch: the repetition test first, then the value.
bool ApplySwitch(const SwitchRule& rule, const char* value, RunOptions* options,
                 MessageBuffer* message) {
  if (rule.kind == SwitchKind::Removed) {
    return FailWith(message, "%s", rule.invalidMessage);
  }
  if (rule.duplicateMessage != nullptr && options->*rule.given) {
    return FailWith(message, "%s", rule.duplicateMessage);
  }
  if (rule.kind == SwitchKind::Number && !ApplyNumber(rule, value, options, message)) {
    return false;
  }
  if (rule.kind == SwitchKind::Path && !ApplyBackupPath(rule, value, options, message)) {
    return false;
  }
  options->*rule.given = true;
  return true;
}

bool ParseArgument(const char* argument, RunOptions* options, MessageBuffer* message) {
  if (argument[0] != '/' && argument[0] != '-') {
    return FailWith(message, "Unknown argument: %s", argument);
  }
  const char* value = nullptr;
  const SwitchRule* rule = FindSwitch(argument + 1, &value);
  if (rule == nullptr) {
    return FailWith(message, "Unknown switch: %s", argument);
  }
  return ApplySwitch(*rule, value, options, message);
}

// The checks that need every switch; also derives writeMode.
bool CheckCombination(RunOptions* options, MessageBuffer* message) {
  if (options->delOnly && (options->secGiven || options->oldGiven || options->andGiven)) {
    return FailWith(message, "/DEL cannot be combined with /SEC, /OLD, or /AND.");
  }
  if (options->andGiven && !(options->secGiven && options->oldGiven)) {
    return FailWith(message, "/AND requires both /SEC=x and /OLD=x.");
  }
  options->writeMode = !(options->dryRun || options->helpWanted || options->versionWanted);
  if (options->backupGiven && !options->writeMode) {
    return FailWith(message,
                    "/BACKUP is valid only for a write. Remove /DRYRUN or remove /BACKUP.");
  }
  return true;
}

}  // namespace

ParseOutcome ParseSwitches(int argc, char* const* argv, RunOptions* options,
                           MessageBuffer* message) {
  *options = RunOptions{};
  message->text[0] = '\0';
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    if (!ParseArgument(argv[i], options, message)) {
      return ParseOutcome::Rejected;
    }
  }
  if (!CheckCombination(options, message)) {
    return ParseOutcome::Rejected;
  }
  if (options->helpWanted) {
    return ParseOutcome::Help;
  }
  if (options->versionWanted) {
    return ParseOutcome::Version;
  }
  return ParseOutcome::Run;
}
