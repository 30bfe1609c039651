// The command line: splitting the raw line and copying argv into the argument
// storage under the 63-argument and 4096-byte limits; switch parsing, with
// every rejection message and the order in which the checks are made.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/restore_switches.h"
#include "cli/switches.h"

namespace {

using Args = std::vector<std::string>;
const Args kFails = {"<does not fit>"};

std::vector<char*> Argv(Args& strings) {
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

// The arguments in storage, checking that the table is null-terminated.
Args Arguments(const ArgumentStorage& storage) {
  EXPECT_EQ(storage.table[storage.count], nullptr);
  return Args(storage.table, storage.table + storage.count);
}

Args Split(const char* line) {
  ArgumentStorage storage;
  return SplitCommandLine(line, &storage) ? Arguments(storage) : kFails;
}

Args Copy(Args strings) {
  ArgumentStorage storage;
  const int argc = static_cast<int>(strings.size());
  return CopyArgumentVector(argc, Argv(strings).data(), &storage) ? Arguments(storage) : kFails;
}

// "prog a1 a2 ..." as count words, and as one line.
Args Words(int count) {
  Args words = {"prog"};
  // Appended: GCC 12 at -O3 misjudges the bounds of "a" + std::to_string(i).
  for (int i = 1; i < count; ++i) words.push_back(std::string("a").append(std::to_string(i)));
  return words;
}

std::string Line(const Args& words) {
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
  return line;
}

TEST(SplitCommandLine, Splits) {
  const std::string a(2047, 'a'), b(2047, 'b'), a4095(4095, 'a');
  const struct {
    std::string line;
    Args expected;
  } cases[] = {
      // Blanks are space and tab only.
      {"QVCULLDB.EXE /DEL /DRYRUN", {"QVCULLDB.EXE", "/DEL", "/DRYRUN"}},
      {" \t prog\t/DEL \t /DRYRUN\t ", {"prog", "/DEL", "/DRYRUN"}},
      {"prog a\nb\rc\vd", {"prog", "a\nb\rc\vd"}},
      {"", {}},
      {" \t  ", {}},
      // Quotes toggle anywhere and are dropped; an unclosed one runs to the end.
      {"prog \"/BACKUP=D:\\My Backups\"", {"prog", "/BACKUP=D:\\My Backups"}},
      {"prog a\"b\"c \"\" d", {"prog", "abc", "", "d"}},
      {"prog /BACKUP=\"D:\\a b \t/DRYRUN ", {"prog", "/BACKUP=D:\\a b \t/DRYRUN "}},
      // A backslash is an ordinary character.
      {"prog D:\\dir\\ a\\\"b c\" \\\\x", {"prog", "D:\\dir\\", "a\\b c", "\\\\x"}},
      // Exactly 4096 bytes of text and NULs fit, one more does not.
      {a4095, {a4095}},
      {a + " \"" + b + "\"", {a, b}},
      {a4095 + "a", kFails},
      {a4095.substr(1) + " b", kFails},
      {a4095 + " \"\"", kFails},
      // The first 63 arguments are kept; the rest is never stored, so it cannot overflow.
      {Line(Words(70)), Words(63)},
      {Line(Words(63)) + " " + std::string(5000, 'x'), Words(63)},
  };
  for (const auto& c : cases) EXPECT_EQ(Split(c.line.c_str()), c.expected) << c.line.substr(0, 40);
  EXPECT_EQ(Split(nullptr), kFails);
}

TEST(CopyArgumentVector, CopiesUnderTheSameLimits) {
  const Args blanks = {"prog", "/BACKUP=D:\\My Backups", ""};
  const Args full = {std::string(2047, 'a'), std::string(2047, 'b')};
  EXPECT_EQ(Copy(blanks), blanks);
  EXPECT_EQ(Copy(Words(70)), Words(63));
  EXPECT_EQ(Copy(full), full);
  EXPECT_EQ(Copy({full[0], full[1] + "b"}), kFails);
}

// The argument that does not fit is named by its place and its first 40
// characters as split, for the line that says so.
TEST(ArgumentTextTooLong, NamesTheArgumentThatDoesNotFit) {
  const std::string sec = "/SEC=" + std::string(100000, '7');
  const std::string backup = "/BACKUP=" + std::string(5000, 'b');
  const std::string shownSec = "/SEC=" + std::string(35, '7') + "...";
  const struct {
    std::string line;
    int index;
    std::string shown;
  } cases[] = {
      {"prog /DRYRUN " + sec, 2, shownSec},
      {"prog \"" + backup + "\" /DRYRUN", 1, "/BACKUP=" + std::string(32, 'b') + "..."},
      {"prog \"/BACKUP=a b\" " + std::string(4080, 'x'), 2, std::string(40, 'x') + "..."},
      {std::string(4096, 'p') + " /DEL", 0, std::string(40, 'p') + "..."},
      {std::string(4090, 'p') + " \"/BACKUP=a b\" /DEL", 1, "/BACKUP=a b"},
  };
  for (const auto& c : cases) {
    ArgumentStorage storage;
    EXPECT_FALSE(SplitCommandLine(c.line.c_str(), &storage));
    EXPECT_EQ(storage.overflowIndex, c.index) << c.line.substr(0, 40);
    EXPECT_EQ(std::string(storage.overflowShown), c.shown) << c.line.substr(0, 40);
  }
  Args argv = {"prog", "/DRYRUN", sec};
  ArgumentStorage storage;
  EXPECT_FALSE(CopyArgumentVector(3, Argv(argv).data(), &storage));
  EXPECT_EQ(storage.overflowIndex, 2);
  EXPECT_EQ(std::string(storage.overflowShown), shownSec);
}

struct Parsed {
  ParseOutcome outcome;
  std::string message;
  RunOptions options;
};

Parsed Parse(Args arguments) {
  arguments.insert(arguments.begin(), "QVCULLDB.EXE");
  std::vector<char*> argv = Argv(arguments);
  Parsed parsed{};
  MessageBuffer message;
  memset(message.text, '#', sizeof message.text);
  memset(&parsed.options, 0x5A, sizeof parsed.options);  // parsing must clear it
  parsed.outcome = ParseSwitches(static_cast<int>(arguments.size()), argv.data(),
                                 &parsed.options, &message);
  parsed.message = message.text;
  return parsed;
}

TEST(ParseSwitches, RejectsWithTheFirstFailingCheck) {
  using Lines = std::vector<std::vector<std::string>>;
  const std::string a = "/BACKUP=D:\\A";
  // A message ending in ": " names the first argument, cut to 255 characters in all.
  const std::pair<std::string, Lines> cases[] = {
      {"Unknown argument: ", {{"DRYRUN"}, {""}}},
      {"Unknown switch: ", {{"-foo"}, {"/"}, {"/DRY"}, {"/DryRunX"}, {"/SEC"}, {"/OLD"},
                            {"/BACKUP"}, {"/SEC5"}, {"//DEL"}, {"/" + std::string(299, 'Q')}}},
      {"/WRITE and /LAB were removed. Omit them for a verified write, or add /DRYRUN for a "
       "preview.", {{"/WRITE"}, {"-lab"}}},
      // Repetition, tested before the value.
      {"Duplicate /DRYRUN switch.", {{"/DRYRUN", "-dryrun"}}},
      {"Duplicate /DEL switch.", {{"/DEL", "/DEL"}}},
      {"Duplicate /AND switch.", {{"/SEC=5", "/OLD=30", "/AND", "/AND"}}},
      {"Duplicate /SEC switch.", {{"/SEC=1", "/SEC=x"}}},
      {"Duplicate /OLD switch.", {{"/OLD=30", "/old=abc"}}},
      {"Duplicate /BACKUP switch.", {{a, "/BACKUP="}}},
      // Values; only the first bad argument counts, and /HELP shields nothing.
      {"Invalid /SEC value. Use 0 through 32767.",
       {{"/SEC="}, {"/SEC=32768"}, {"/SEC=99999999999999999999"}, {"/SEC=-1"}, {"/SEC=+5"},
        {"/SEC= 5"}, {"/SEC=5x"}, {"/SEC=abc", "/FOO"}}},
      {"Invalid /OLD value. Use 30 through 65535 days.",
       {{"/OLD="}, {"/OLD=29"}, {"/OLD=65536"}, {"/OLD=1e3"}}},
      {"Invalid /BACKUP path.", {{"/BACKUP="}, {"/BACKUP=" + std::string(1024, 'p')}}},
      {"Unknown switch: /FOO", {{"/FOO", "/WRITE"}, {"/HELP", "/FOO"}}},
      {"Unknown argument: DEL", {{"/VERSION", "DEL"}}},
      // Checks after the last argument, in order.
      {"/DEL cannot be combined with /SEC, /OLD, or /AND.",
       {{"/DEL", "/AND"}, {"/SEC=5", "/DEL"}, {"/DEL", "/OLD=30"}, {"/HELP", "/DEL", "/SEC=5"},
        {"/DRYRUN", "/DEL", "/SEC=5", a}}},
      {"/AND requires both /SEC=x and /OLD=x.",
       {{"/AND"}, {"/AND", "/SEC=5"}, {"/OLD=30", "/AND", "/DRYRUN", a}}},
      {"/BACKUP is valid only for a write. Remove /DRYRUN or remove /BACKUP.",
       {{"/DRYRUN", a}, {a, "/VERSION"}, {"/HELP", a}}},
  };
  for (const auto& [message, lines] : cases) {
    for (const std::vector<std::string>& arguments : lines) {
      const Parsed parsed = Parse(arguments);
      const std::string expected =
          message.ends_with(": ") ? (message + arguments[0]).substr(0, kMessageBufferSize - 1) : message;
      EXPECT_EQ(parsed.outcome, ParseOutcome::Rejected) << arguments[0].substr(0, 40);
      EXPECT_EQ(parsed.message, expected) << arguments[0].substr(0, 40);
    }
  }
}

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
      // The backup root loses its trailing separators; a root keeps one.
      {{"/backup=D:\\QVBAK\\/\\"}, ParseOutcome::Run, "write backup root=D:\\QVBAK"},
      {{"/BACKUP=C:\\\\"}, ParseOutcome::Run, "write backup root=C:\\"},
      {{"/BACKUP=\\\\\\"}, ParseOutcome::Run, "write backup root=\\"},
      {{"/BACKUP=" + std::string(1023, 'p')}, ParseOutcome::Run,
       "write backup root=" + std::string(1023, 'p')},
      // Help wins over version; both may repeat; neither is a write.
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
  Args strings = {"QVCULLDB.EXE", "/FOO"};
  const std::vector<char*> argv = Argv(strings);
  RunOptions options;
  MessageBuffer message;
  EXPECT_EQ(ParseSwitches(1, argv.data(), &options, &message), ParseOutcome::Run);
  EXPECT_EQ(ParseSwitches(0, argv.data(), &options, &message), ParseOutcome::Run);
}

// The restore program's switches: the action, its value, and every refusal.
TEST(RestoreSwitches, ActionsValuesAndRefusals) {
  const struct {
    Args line;
    RestoreAction action;
    const char* refusal;  // "" when accepted
    uint32_t keep;
  } kRows[] = {
      {{"/LIST"}, RestoreAction::List, "", 0},
      {{"-list", "/BACKUP=B"}, RestoreAction::List, "", 0},
      {{"/PRUNE"}, RestoreAction::Prune, "", 0},
      {{"/PRUNE=3", "/DRYRUN"}, RestoreAction::Prune, "", 3},
      {{"/CHECK=X", "/MOVED"}, RestoreAction::Check, "", 0},
      {{"/LIST", "/?"}, RestoreAction::Help, "", 0},
      {{"/FOO", "/HELP"}, RestoreAction::Help, "", 0},
      {{"/VERSION", "/LIST"}, RestoreAction::Version, "", 0},
      {{}, RestoreAction::None, "Give one of /LIST, /CHECK=dir, /RESTORE=dir and /PRUNE.", 0},
      {{"/LIST", "/PRUNE"}, RestoreAction::None,
       "Give only one of /LIST, /CHECK=dir, /RESTORE=dir and /PRUNE=n.", 0},
      {{"/PRUNE=0"}, RestoreAction::None, "Give /PRUNE=n with n from 1 to 999: the backups to keep.", 0},
      {{"/PRUNE=1000"}, RestoreAction::None, "Give /PRUNE=n with n from 1 to 999: the backups to keep.", 0},
      {{"/PRUNE="}, RestoreAction::None, "Give /PRUNE=n with n from 1 to 999: the backups to keep.", 0},
      {{"/CHECK="}, RestoreAction::None, "Invalid backup directory.", 0},
      {{"/LIST", "/DRYRUN"}, RestoreAction::None, "/DRYRUN is valid only with /PRUNE.", 0},
      {{"/LIST", "/MOVED"}, RestoreAction::None, "/MOVED is valid only with /CHECK=dir and /RESTORE=dir.", 0},
      {{"/LIST", "/BACKUP=A", "/BACKUP=B"}, RestoreAction::None, "Duplicate /BACKUP switch.", 0},
      {{"LIST"}, RestoreAction::None, "Unknown argument: LIST", 0},
      {{"/LISTS"}, RestoreAction::None, "Unknown switch: /LISTS", 0},
  };
  for (const auto& row : kRows) {
    Args line = row.line;
    line.insert(line.begin(), "qvrestore");
    std::vector<char*> argv = Argv(line);
    RestoreSwitches switches;
    MessageBuffer message = {};
    const bool accepted = ParseRestoreSwitches(int(line.size()), argv.data(), &switches, &message);
    const std::string what = line.size() > 1 ? line[1] : "(nothing)";
    EXPECT_EQ(accepted, row.refusal[0] == '\0') << what;
    EXPECT_STREQ(accepted ? "" : message.text, row.refusal) << what;
    if (accepted) {
      EXPECT_EQ(switches.action, row.action) << what;
      EXPECT_EQ(switches.keep, row.keep) << what;
    }
  }
}

}  // namespace
