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
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
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
  const char* message;
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
  const RejectCase cases[] = {
      // Leader and names.
      {{"DRYRUN"}, "Unknown argument: DRYRUN"},
      {{""}, "Unknown argument: "},
      {{"/FOO"}, "Unknown switch: /FOO"},
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
      {{"/SEC=10", "/SEC=10"}, "Duplicate /SEC switch."},
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
      {{"/OLD=0"}, kOldInvalid},
      {{"/OLD=65536"}, kOldInvalid},
      {{"/OLD=1e3"}, kOldInvalid},
      {{"/BACKUP="}, "Invalid /BACKUP path."},
      {{"/BACKUP=" + std::string(1024, 'p')}, "Invalid /BACKUP path."},
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
      {{"/?", "/BACKUP=D:\\A"}, kBackupNotWrite},
  };
  for (const RejectCase& c : cases) {
    Parsed parsed = Parse(c.arguments);
    std::string shown = c.arguments.empty() ? "" : c.arguments[0].substr(0, 40);
    EXPECT_EQ(parsed.outcome, ParseOutcome::Rejected) << shown;
    EXPECT_EQ(parsed.message, c.message) << shown;
  }
}

TEST(ParseSwitches, LongArgumentIsCutTo255CharactersInTheMessage) {
  const std::string argument = "/" + std::string(299, 'Q');
  Parsed parsed = Parse({argument});
  EXPECT_EQ(parsed.outcome, ParseOutcome::Rejected);
  EXPECT_EQ(parsed.message, ("Unknown switch: " + argument).substr(0, 255));
}

TEST(ParseSwitches, NoSwitchesIsAWriteRunOfDeletedUsers) {
  Parsed parsed = Parse({});
  EXPECT_EQ(parsed.outcome, ParseOutcome::Run);
  EXPECT_EQ(parsed.message, "");
  const RunOptions& o = parsed.options;
  EXPECT_TRUE(o.writeMode);
  EXPECT_FALSE(o.dryRun || o.secGiven || o.oldGiven || o.helpWanted || o.versionWanted ||
               o.andGiven || o.delOnly || o.backupGiven);
  EXPECT_EQ(o.secValue + o.oldDays + static_cast<unsigned char>(o.backupRoot.text[0]), 0u);
}

TEST(ParseSwitches, AcceptsEitherLeaderAndAnyCase) {
  Parsed parsed = Parse({"-DryRun", "/del"});
  EXPECT_EQ(parsed.outcome, ParseOutcome::Run);
  EXPECT_TRUE(parsed.options.dryRun);
  EXPECT_TRUE(parsed.options.delOnly);
  EXPECT_FALSE(parsed.options.writeMode);

  parsed = Parse({"/sec=5", "-Old=40", "/And"});
  EXPECT_EQ(parsed.outcome, ParseOutcome::Run);
  EXPECT_TRUE(parsed.options.secGiven);
  EXPECT_EQ(parsed.options.secValue, 5u);
  EXPECT_TRUE(parsed.options.oldGiven);
  EXPECT_EQ(parsed.options.oldDays, 40u);
  EXPECT_TRUE(parsed.options.andGiven);
  EXPECT_TRUE(parsed.options.writeMode);
}

TEST(ParseSwitches, ValueLimits) {
  struct Accepted {
    const char* argument;
    uint32_t sec;  // UINT32_MAX: /SEC not given
    uint32_t old;
  };
  const Accepted cases[] = {
      {"/SEC=0", 0, UINT32_MAX},        {"/SEC=32767", 32767, UINT32_MAX},
      {"/SEC=0007", 7, UINT32_MAX},     {"/SEC=0000000000000000032767", 32767, UINT32_MAX},
      {"/OLD=30", UINT32_MAX, 30},      {"/OLD=65535", UINT32_MAX, 65535},
      {"/OLD=000030", UINT32_MAX, 30},
  };
  for (const Accepted& c : cases) {
    Parsed parsed = Parse({c.argument, "/DRYRUN"});
    EXPECT_EQ(parsed.outcome, ParseOutcome::Run) << c.argument;
    if (c.sec != UINT32_MAX) {
      EXPECT_TRUE(parsed.options.secGiven) << c.argument;
      EXPECT_EQ(parsed.options.secValue, c.sec) << c.argument;
    } else {
      EXPECT_TRUE(parsed.options.oldGiven) << c.argument;
      EXPECT_EQ(parsed.options.oldDays, c.old) << c.argument;
    }
  }
}

TEST(ParseSwitches, BackupPathLosesItsTrailingSeparators) {
  struct Trim {
    std::string argument;
    std::string root;
  };
  const Trim cases[] = {
      {"/BACKUP=D:\\QVBAK", "D:\\QVBAK"},
      {"/backup=D:\\QVBAK\\/\\", "D:\\QVBAK"},
      {"-Backup=x/", "x"},
      {"/BACKUP=C:\\", "C:\\"},
      {"/BACKUP=C:\\\\", "C:\\"},
      {"/BACKUP=\\\\\\", "\\"},
      {"/BACKUP=/", "/"},
      {"/BACKUP=D:\\My Backups", "D:\\My Backups"},
      {"/BACKUP=" + std::string(1023, 'p'), std::string(1023, 'p')},
  };
  for (const Trim& c : cases) {
    Parsed parsed = Parse({c.argument});
    EXPECT_EQ(parsed.outcome, ParseOutcome::Run) << c.argument;
    EXPECT_TRUE(parsed.options.backupGiven);
    EXPECT_TRUE(parsed.options.writeMode);
    EXPECT_EQ(std::string(parsed.options.backupRoot.text), c.root) << c.argument;
  }
}

TEST(ParseSwitches, HelpWinsOverVersionAndBothMayRepeat) {
  EXPECT_EQ(Parse({"/HELP"}).outcome, ParseOutcome::Help);
  EXPECT_EQ(Parse({"/?"}).outcome, ParseOutcome::Help);
  EXPECT_EQ(Parse({"-help", "/Help", "-?"}).outcome, ParseOutcome::Help);
  EXPECT_EQ(Parse({"/VERSION", "/HELP"}).outcome, ParseOutcome::Help);
  EXPECT_EQ(Parse({"/HELP", "/VERSION"}).outcome, ParseOutcome::Help);
  EXPECT_EQ(Parse({"/version", "-VERSION"}).outcome, ParseOutcome::Version);
  Parsed parsed = Parse({"/VERSION", "/SEC=5"});
  EXPECT_EQ(parsed.outcome, ParseOutcome::Version);
  EXPECT_FALSE(parsed.options.writeMode);
  EXPECT_EQ(parsed.message, "");
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
