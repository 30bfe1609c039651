// Splitting the raw command line and copying argv into the argument storage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"

namespace {

// The arguments in storage, checking that the table is null-terminated.
std::vector<std::string> Arguments(const ArgumentStorage& storage) {
  std::vector<std::string> result;
  for (int i = 0; i < storage.count; ++i) {
    result.push_back(storage.table[i]);
  }
  EXPECT_EQ(storage.table[storage.count], nullptr);
  return result;
}

std::vector<std::string> Split(const std::string& line) {
  static ArgumentStorage storage;
  EXPECT_TRUE(SplitCommandLine(line.c_str(), &storage)) << line;
  return Arguments(storage);
}

using Args = std::vector<std::string>;

TEST(SplitCommandLine, BlanksAreSpaceAndTabOnly) {
  EXPECT_EQ(Split("QVCULLDB.EXE /DEL /DRYRUN"), (Args{"QVCULLDB.EXE", "/DEL", "/DRYRUN"}));
  EXPECT_EQ(Split(" \t prog\t/DEL \t /DRYRUN\t "), (Args{"prog", "/DEL", "/DRYRUN"}));
  EXPECT_EQ(Split("prog a\nb\rc\vd"), (Args{"prog", "a\nb\rc\vd"}));
}

TEST(SplitCommandLine, EmptyLineHasNoArguments) {
  EXPECT_EQ(Split(""), Args{});
  EXPECT_EQ(Split(" \t  "), Args{});
}

TEST(SplitCommandLine, QuotesToggleAnywhereAndAreDropped) {
  EXPECT_EQ(Split("prog \"/DEL\" /DRYRUN"), (Args{"prog", "/DEL", "/DRYRUN"}));
  EXPECT_EQ(Split("prog \"/BACKUP=D:\\My Backups\""), (Args{"prog", "/BACKUP=D:\\My Backups"}));
  EXPECT_EQ(Split("prog /BACKUP=\"D:\\My Backups\""), (Args{"prog", "/BACKUP=D:\\My Backups"}));
  EXPECT_EQ(Split("\"C:\\Quor vex\\QVCULLDB.EXE\" /DEL"),
            (Args{"C:\\Quor vex\\QVCULLDB.EXE", "/DEL"}));
  EXPECT_EQ(Split("prog a\"b\"c \"\" d"), (Args{"prog", "abc", "", "d"}));
}

TEST(SplitCommandLine, UnclosedQuoteRunsToTheEnd) {
  EXPECT_EQ(Split("prog /BACKUP=\"D:\\a b \t/DRYRUN "), (Args{"prog", "/BACKUP=D:\\a b \t/DRYRUN "}));
}

TEST(SplitCommandLine, BackslashIsAnOrdinaryCharacter) {
  EXPECT_EQ(Split("prog D:\\dir\\ a\\\"b c\" \\\\x"), (Args{"prog", "D:\\dir\\", "a\\b c", "\\\\x"}));
}

TEST(SplitCommandLine, KeepsTheFirst63ArgumentsAndIgnoresTheRest) {
  std::string line = "prog";
  for (int i = 1; i < 70; ++i) {
    line += " a" + std::to_string(i);
  }
  Args arguments = Split(line);
  ASSERT_EQ(arguments.size(), 63u);
  EXPECT_EQ(arguments[62], "a62");
  // What is ignored is never stored, so it cannot overflow the text either.
  EXPECT_EQ(Split(line.substr(0, line.find(" a63")) + " " + std::string(5000, 'x')).size(), 63u);
}

TEST(SplitCommandLine, TextOfExactly4096BytesFits) {
  EXPECT_EQ(Split(std::string(4095, 'a')), Args{std::string(4095, 'a')});
  Args two = Split(std::string(2047, 'a') + " \"" + std::string(2047, 'b') + "\"");
  EXPECT_EQ(two, (Args{std::string(2047, 'a'), std::string(2047, 'b')}));
}

TEST(SplitCommandLine, TextNeedingMoreThan4096BytesFails) {
  ArgumentStorage storage;
  EXPECT_FALSE(SplitCommandLine(std::string(4096, 'a').c_str(), &storage));
  EXPECT_FALSE(SplitCommandLine((std::string(4094, 'a') + " b").c_str(), &storage));
  // An empty argument whose NUL no longer fits.
  EXPECT_FALSE(SplitCommandLine((std::string(4095, 'a') + " \"\"").c_str(), &storage));
  EXPECT_FALSE(SplitCommandLine(nullptr, &storage));
}

std::vector<char*> Vector(std::vector<std::string>& strings) {
  std::vector<char*> argv;
  for (std::string& s : strings) {
    argv.push_back(s.data());
  }
  argv.push_back(nullptr);
  return argv;
}

TEST(CopyArgumentVector, CopiesUnderTheSameLimits) {
  static ArgumentStorage storage;
  Args strings = {"prog", "/BACKUP=D:\\My Backups", ""};
  std::vector<char*> argv = Vector(strings);
  ASSERT_TRUE(CopyArgumentVector(3, argv.data(), &storage));
  EXPECT_EQ(Arguments(storage), strings);

  strings.clear();
  for (int i = 0; i < 70; ++i) {
    strings.push_back("a" + std::to_string(i));
  }
  argv = Vector(strings);
  ASSERT_TRUE(CopyArgumentVector(70, argv.data(), &storage));
  Args kept = Arguments(storage);
  ASSERT_EQ(kept.size(), 63u);
  EXPECT_EQ(kept[62], "a62");

  strings = {std::string(2047, 'a'), std::string(2047, 'b')};
  argv = Vector(strings);
  ASSERT_TRUE(CopyArgumentVector(2, argv.data(), &storage));
  EXPECT_EQ(Arguments(storage), strings);

  strings = {std::string(2047, 'a'), std::string(2048, 'b')};
  argv = Vector(strings);
  EXPECT_FALSE(CopyArgumentVector(2, argv.data(), &storage));
}

}  // namespace
