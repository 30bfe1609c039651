// The pager's paging and wrapping.
#include <gtest/gtest.h>

#include <string>

#include "help/help.h"

namespace {

// Everything the pager does, in order: text as written, "<F>" for a flush,
// "<K>" for a key read.
std::string g_log;

void LogWrite(const char* text) { g_log += text; }
void LogFlush() { g_log += "<F>"; }
int LogKey() {
  g_log += "<K>";
  return 'x';
}

Pager TestPager(bool interactive, int width = kPagerWidth) {
  g_log.clear();
  return Pager{interactive, 0, kPagerPage, width, LogWrite, LogFlush, LogKey};
}

std::string Printed(const char* text, int width = kPagerWidth) {
  Pager pager = TestPager(false, width);
  PagerPrintLine(&pager, text);
  return g_log;
}

// The whole text is checked byte for byte end to end; here, how it is paged.
TEST(HelpText, ConsolePausesBeforeLines23And45And67AndRedirectedOutputNever) {
  Pager redirected = TestPager(false);
  PrintHelpTo(&redirected);
  const std::string plain = g_log;
  EXPECT_EQ(redirected.count, 67);
  EXPECT_EQ(plain.find("<"), std::string::npos);

  Pager console = TestPager(true);
  PrintHelpTo(&console);
  std::string expected;
  int line = 0;
  for (size_t start = 0; start < plain.size(); ++line) {
    const size_t end = plain.find('\n', start) + 1;
    if (line == 22 || line == 44 || line == 66) expected += "\nPress any key to continue . . .<F><K>\n\n";
    expected += plain.substr(start, end - start);
    start = end;
  }
  EXPECT_EQ(g_log, expected);
  EXPECT_EQ(console.count, 1);
}

TEST(PagerLayout, LongestItemWrapsIntoThreeIndentedLines) {
  std::string out = Printed(
      "  Write mode builds and verifies staged files, creates and verifies a timestamped "
      "backup, repeats safety checks, commits, verifies, and rolls back automatically on "
      "detected failure.");
  EXPECT_EQ(out,
            "  Write mode builds and verifies staged files, creates and verifies a\n"
            "  timestamped backup, repeats safety checks, commits, verifies, and rolls back\n"
            "  automatically on detected failure.\n");
  size_t first = out.find('\n');
  EXPECT_EQ(out.find('\n', first + 1) - first - 1, 78u);
}

TEST(PagerLayout, UnindentedTextContinuesAtColumnOne) {
  EXPECT_EQ(Printed("Beta boundary: approved for manual offline use. Scheduled-event and "
                    "built-in Sysop Menu use are not approved in this build."),
            "Beta boundary: approved for manual offline use. Scheduled-event and built-in\n"
            "Sysop Menu use are not approved in this build.\n");
}

TEST(PagerLayout, ShortIndentedTextIsKeptWhole) {
  EXPECT_EQ(Printed("        /DEL cannot be combined with /SEC, /OLD, or /AND."),
            "        /DEL cannot be combined with /SEC, /OLD, or /AND.\n");
  EXPECT_EQ(Printed(""), "\n");
}

TEST(PagerLayout, BodyFillingTheRoomStaysOnOneLine) {
  const std::string body(76, 'b');
  EXPECT_EQ(Printed(("  " + body).c_str()), "  " + body + "\n");
  EXPECT_EQ(Printed(("  " + body + "   tail").c_str()), "  " + body + "\n  tail\n");
  EXPECT_EQ(Printed(("  " + body + "\ttail").c_str()), "  " + body + "\n  tail\n");
}

TEST(PagerLayout, WordLongerThanTheRoomIsCut) {
  const std::string word(100, 'w');
  EXPECT_EQ(Printed(("  " + word + " end").c_str()),
            "  " + word.substr(0, 76) + "\n  " + word.substr(76) + " end\n");
}

TEST(PagerLayout, TabsBreakLinesAndAreDroppedAtTheBreak) {
  EXPECT_EQ(Printed("abc\tdefghijkl", 10), "abc\ndefghijkl\n");
  EXPECT_EQ(Printed("ab cd \t\t efghij", 10), "ab cd\nefghij\n");
}

TEST(PagerLayout, IndentIsLimitedToOneLessThanTheWidth) {
  EXPECT_EQ(Printed("            abc", 10), "         a\n         b\n         c\n");
}

TEST(PagerLayout, NoLineIsLongerThan159CharactersAndNothingIsLost) {
  const std::string word(300, 'z');
  EXPECT_EQ(Printed(word.c_str(), 200), word.substr(0, 159) + "\n" + word.substr(159) + "\n");
}

}  // namespace
