// Switch parsing: accepted combinations, every rejection message and the order
// in which the checks are made.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/switches.h"

namespace {

struct Parsed {
  ParseOutcome outcome;
  std::string message;
  RunOptions options;
};

Parsed Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "QVCULLDB.EXE");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  Parsed parsed{};
  MessageBuffer message;
  memset(message.text, '#', sizeof message.text);
  memset(&parsed.options, 0x5A, sizeof parsed.options);  // parsing must clear it
  parsed.outcome = ParseSwitches(static_cast<int>(arguments.size()), argv.data(),
                                 &parsed.options, &message);
  parsed.message = message.text;
  return parsed;
}

struct RejectCase {
  std::vector<std::string> arguments;
  std::string message;
};

const char* const kSecInvalid = "Invalid /SEC value. Use 0 through 32767.";
const char* const kOldInvalid = "Invalid /OLD value. Use 30 through 65535 days.";
const char* const kRemoved =
    "/WRITE and /LAB were removed. Omit them for a verified write, or add /DRYRUN for a preview.";
const char* const kDelCombined = "/DEL cannot be combined with /SEC, /OLD, or /AND.";
const char* const kAndIncomplete = "/AND requires both /SEC=x and /OLD=x.";
const char* const kBackupNotWrite =
    "/BACKUP is valid only for a write. Remove /DRYRUN or remove /BACKUP.";

TEST(ParseSwitches, RejectsWithTheFirstFailingCheck) {
  const std::string q299 = "/" + std::string(299, 'Q');
  const RejectCase cases[] = {
      // Leader and names.
      {{"DRYRUN"}, "Unknown argument: DRYRUN"},
      {{""}, "Unknown argument: "},
      {{"-foo"}, "Unknown switch: -foo"},
      {{"/"}, "Unknown switch: /"},
      {{"/DRY"}, "Unknown switch: /DRY"},
      {{"/DryRunX"}, "Unknown switch: /DryRunX"},
      {{"/SEC"}, "Unknown switch: /SEC"},
      {{"/OLD"}, "Unknown switch: /OLD"},
      {{"/BACKUP"}, "Unknown switch: /BACKUP"},
      {{"/SEC5"}, "Unknown switch: /SEC5"},
      {{"//DEL"}, "Unknown switch: //DEL"},
      {{"/WRITE"}, kRemoved},
      {{"-lab"}, kRemoved},
      // Repetition, tested before the value.
      {{"/DRYRUN", "-dryrun"}, "Duplicate /DRYRUN switch."},
      {{"/DEL", "/DEL"}, "Duplicate /DEL switch."},
      {{"/SEC=5", "/OLD=30", "/AND", "/AND"}, "Duplicate /AND switch."},
      {{"/SEC=1", "/SEC=x"}, "Duplicate /SEC switch."},
      {{"/OLD=30", "/old=abc"}, "Duplicate /OLD switch."},
      {{"/BACKUP=D:\\A", "/BACKUP="}, "Duplicate /BACKUP switch."},
      // Values.
      {{"/SEC="}, kSecInvalid},
      {{"/SEC=32768"}, kSecInvalid},
      {{"/SEC=99999999999999999999"}, kSecInvalid},
      {{"/SEC=-1"}, kSecInvalid},
      {{"/SEC=+5"}, kSecInvalid},
      {{"/SEC= 5"}, kSecInvalid},
      {{"/SEC=5x"}, kSecInvalid},
      {{"/OLD="}, kOldInvalid},
      {{"/OLD=29"}, kOldInvalid},
      {{"/OLD=65536"}, kOldInvalid},
      {{"/OLD=1e3"}, kOldInvalid},
      {{"/BACKUP="}, "Invalid /BACKUP path."},
      {{"/BACKUP=" + std::string(1024, 'p')}, "Invalid /BACKUP path."},
      // A long argument is cut to 255 characters in the message.
      {{q299}, ("Unknown switch: " + q299).substr(0, 255)},
      // Only the first bad argument counts; /HELP shields nothing.
      {{"/FOO", "/WRITE"}, "Unknown switch: /FOO"},
      {{"/SEC=abc", "/FOO"}, kSecInvalid},
      {{"/HELP", "/FOO"}, "Unknown switch: /FOO"},
      {{"/VERSION", "DEL"}, "Unknown argument: DEL"},
      // Checks after the last argument, in order.
      {{"/DEL", "/AND"}, kDelCombined},
      {{"/SEC=5", "/DEL"}, kDelCombined},
      {{"/DEL", "/OLD=30"}, kDelCombined},
      {{"/HELP", "/DEL", "/SEC=5"}, kDelCombined},
      {{"/DRYRUN", "/DEL", "/SEC=5", "/BACKUP=D:\\A"}, kDelCombined},
      {{"/AND"}, kAndIncomplete},
      {{"/AND", "/SEC=5"}, kAndIncomplete},
      {{"/OLD=30", "/AND", "/DRYRUN", "/BACKUP=D:\\A"}, kAndIncomplete},
      {{"/DRYRUN", "/BACKUP=D:\\A"}, kBackupNotWrite},
      {{"/BACKUP=D:\\A", "/VERSION"}, kBackupNotWrite},
      {{"/HELP", "/BACKUP=D:\\A"}, kBackupNotWrite},
  };
  for (const RejectCase& c : cases) {
    Parsed parsed = Parse(c.arguments);
    std::string shown = c.arguments.empty() ? "" : c.arguments[0].substr(0, 40);
    EXPECT_EQ(parsed.outcome, ParseOutcome::Rejected) << shown;
    EXPECT_EQ(parsed.message, c.message) << shown;
  }
}

// The parsed record in one line: every flag that is set, the values given, the root.
std::string Described(const Parsed& parsed) {
  const RunOptions& o = parsed.options;
  std::string text;
  const std::pair<bool, const char*> flags[] = {
      {o.dryRun, "dry"},   {o.writeMode, "write"}, {o.helpWanted, "help"},
      {o.versionWanted, "version"}, {o.delOnly, "del"}, {o.andGiven, "and"},
      {o.secGiven, "sec"}, {o.oldGiven, "old"},     {o.backupGiven, "backup"}};
  for (const auto& [set, name] : flags) {
    if (set) text += std::string(text.empty() ? "" : " ") + name;
  }
  if (o.secGiven || o.secValue != 0) text += " sec=" + std::to_string(o.secValue);
  if (o.oldGiven || o.oldDays != 0) text += " old=" + std::to_string(o.oldDays);
  if (o.backupGiven || o.backupRoot.text[0] != '\0') {
    text += " root=" + std::string(o.backupRoot.text);
  }
  return text + parsed.message;
}

TEST(ParseSwitches, AcceptedCommandLines) {
  const struct {
    std::vector<std::string> arguments;
    ParseOutcome outcome;
    std::string described;
  } cases[] = {
      // No switches at all is a write run of the users already marked Deleted.
      {{}, ParseOutcome::Run, "write"},
      {{"-DryRun", "/del"}, ParseOutcome::Run, "dry del"},
      {{"/sec=5", "-Old=40", "/And"}, ParseOutcome::Run, "write and sec old sec=5 old=40"},
      {{"/SEC=0"}, ParseOutcome::Run, "write sec sec=0"},
      {{"/SEC=32767"}, ParseOutcome::Run, "write sec sec=32767"},
      {{"/SEC=0000000000000000032767"}, ParseOutcome::Run, "write sec sec=32767"},
      {{"/OLD=30"}, ParseOutcome::Run, "write old old=30"},
      {{"/OLD=65535"}, ParseOutcome::Run, "write old old=65535"},
      {{"/OLD=000030"}, ParseOutcome::Run, "write old old=30"},
      // The backup root loses its trailing separators; a root keeps one.
      {{"/backup=D:\\QVBAK\\/\\"}, ParseOutcome::Run, "write backup root=D:\\QVBAK"},
      {{"-Backup=x/"}, ParseOutcome::Run, "write backup root=x"},
      {{"/BACKUP=C:\\\\"}, ParseOutcome::Run, "write backup root=C:\\"},
      {{"/BACKUP=\\\\\\"}, ParseOutcome::Run, "write backup root=\\"},
      {{"/BACKUP=/"}, ParseOutcome::Run, "write backup root=/"},
      {{"/BACKUP=D:\\My Backups"}, ParseOutcome::Run, "write backup root=D:\\My Backups"},
      {{"/BACKUP=" + std::string(1023, 'p')}, ParseOutcome::Run,
       "write backup root=" + std::string(1023, 'p')},
      // Help wins over version; both may repeat; neither is a write.
      {{"/?"}, ParseOutcome::Help, "help"},
      {{"-help", "/Help", "-?"}, ParseOutcome::Help, "help"},
      {{"/VERSION", "/HELP"}, ParseOutcome::Help, "help version"},
      {{"/version", "-VERSION"}, ParseOutcome::Version, "version"},
      {{"/VERSION", "/SEC=5"}, ParseOutcome::Version, "version sec sec=5"},
  };
  for (const auto& c : cases) {
    const Parsed parsed = Parse(c.arguments);
    const std::string shown = c.arguments.empty() ? "" : c.arguments[0].substr(0, 40);
    EXPECT_EQ(parsed.outcome, c.outcome) << shown;
    EXPECT_EQ(Described(parsed), c.described) << shown;
  }
}

TEST(ParseSwitches, ArgumentsBeyondArgcAreNotRead) {
  std::string program = "QVCULLDB.EXE";
  std::string bad = "/FOO";
  char* argv[] = {program.data(), bad.data(), nullptr};
  RunOptions options;
  MessageBuffer message;
  EXPECT_EQ(ParseSwitches(1, argv, &options, &message), ParseOutcome::Run);
  EXPECT_EQ(ParseSwitches(0, argv, &options, &message), ParseOutcome::Run);
}

}  // namespace
