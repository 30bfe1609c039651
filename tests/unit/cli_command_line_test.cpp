// Splitting the raw command line and copying argv into the argument storage,
// both under the 63-argument and 4096-byte limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"

namespace {

using Args = std::vector<std::string>;

// The arguments in storage, checking that the table is null-terminated.
Args Arguments(const ArgumentStorage& storage) {
  EXPECT_EQ(storage.table[storage.count], nullptr);
  return Args(storage.table, storage.table + storage.count);
}

std::string Many(int count) {
  std::string line = "prog";
  for (int i = 1; i < count; ++i) line += " a" + std::to_string(i);
  return line;
}

TEST(SplitCommandLine, Splits) {
  const std::string a(2047, 'a'), b(2047, 'b');
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
      {"prog /BACKUP=\"D:\\My Backups\"", {"prog", "/BACKUP=D:\\My Backups"}},
      {"\"C:\\Quor vex\\QVCULLDB.EXE\" /DEL", {"C:\\Quor vex\\QVCULLDB.EXE", "/DEL"}},
      {"prog a\"b\"c \"\" d", {"prog", "abc", "", "d"}},
      {"prog /BACKUP=\"D:\\a b \t/DRYRUN ", {"prog", "/BACKUP=D:\\a b \t/DRYRUN "}},
      // A backslash is an ordinary character.
      {"prog D:\\dir\\ a\\\"b c\" \\\\x", {"prog", "D:\\dir\\", "a\\b c", "\\\\x"}},
      // Exactly 4096 bytes of text and NULs fit.
      {std::string(4095, 'a'), {std::string(4095, 'a')}},
      {a + " \"" + b + "\"", {a, b}},
  };
  for (const auto& c : cases) {
    ArgumentStorage storage;
    ASSERT_TRUE(SplitCommandLine(c.line.c_str(), &storage)) << c.line.substr(0, 40);
    EXPECT_EQ(Arguments(storage), c.expected) << c.line.substr(0, 40);
  }
}

TEST(SplitCommandLine, KeepsTheFirst63ArgumentsAndFailsPast4096Bytes) {
  ArgumentStorage storage;
  ASSERT_TRUE(SplitCommandLine(Many(70).c_str(), &storage));
  ASSERT_EQ(storage.count, 63);
  EXPECT_STREQ(storage.table[62], "a62");
  // What is ignored is never stored, so it cannot overflow the text either.
  ASSERT_TRUE(SplitCommandLine((Many(63) + " " + std::string(5000, 'x')).c_str(), &storage));
  EXPECT_EQ(storage.count, 63);

  for (const std::string& line : {std::string(4096, 'a'), std::string(4094, 'a') + " b",
                                  std::string(4095, 'a') + " \"\""}) {
    EXPECT_FALSE(SplitCommandLine(line.c_str(), &storage)) << line.size();
  }
  EXPECT_FALSE(SplitCommandLine(nullptr, &storage));
}

TEST(CopyArgumentVector, CopiesUnderTheSameLimits) {
  const struct {
    Args strings;
    bool fits;
    size_t kept;
  } cases[] = {
      {{"prog", "/BACKUP=D:\\My Backups", ""}, true, 3},
      {Args(70, "a"), true, 63},
      {{std::string(2047, 'a'), std::string(2047, 'b')}, true, 2},
      {{std::string(2047, 'a'), std::string(2048, 'b')}, false, 0},
  };
  for (auto c : cases) {
    std::vector<char*> argv;
    for (std::string& s : c.strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    ArgumentStorage storage;
    ASSERT_EQ(CopyArgumentVector(static_cast<int>(c.strings.size()), argv.data(), &storage),
              c.fits);
    if (c.fits) {
      EXPECT_EQ(Arguments(storage), Args(c.strings.begin(), c.strings.begin() + c.kept));
    }
  }
}

}  // namespace
