// The pager's paging and wrapping.
#include <gtest/gtest.h>

#include <string>

#include "help/help.h"

namespace {

// Everything the pager does, in order: text as written, "<F>" for a flush, "<K>" for a key read.
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

// The whole text is checked byte for byte end to end; here, how it is paged.
TEST(HelpText, ConsolePausesBeforeLines23And45And67AndRedirectedOutputNever) {
  Pager redirected = TestPager(false);
  PrintHelpTo(&redirected);
  const std::string plain = g_log;
  EXPECT_EQ(redirected.count, 70);
  EXPECT_EQ(plain.find("<"), std::string::npos);

  Pager console = TestPager(true);
  PrintHelpTo(&console);
  std::string expected;
  int line = 0;
  for (size_t start = 0; start < plain.size(); ++line) {
    const size_t end = plain.find('\n', start) + 1;
    if (line == 22 || line == 44 || line == 66) {
      expected += "\nPress any key to continue . . .<F><K>\n\n";
    }
    expected += plain.substr(start, end - start);
    start = end;
  }
  EXPECT_EQ(g_log, expected);
  EXPECT_EQ(console.count, 4);
}

TEST(PagerLayout, WrapsAtTheWidth) {
  const std::string body(76, 'b'), word(100, 'w'), huge(300, 'z');
  const struct {
    std::string text;
    int width;
    std::string expected;
  } cases[] = {
      // The help items themselves are checked end to end; here, the edges of the rule.
      {"        /DEL cannot be combined.", kPagerWidth, "        /DEL cannot be combined.\n"},
      {"", kPagerWidth, "\n"},
      // A body filling the room stays whole; the blanks or tab at the break are dropped.
      {"  " + body, kPagerWidth, "  " + body + "\n"},
      {"  " + body + "   tail", kPagerWidth, "  " + body + "\n  tail\n"},
      // A word longer than the room is cut.
      {"  " + word + " end", kPagerWidth, "  " + word.substr(0, 76) + "\n  " + word.substr(76) +
                                          " end\n"},
      {"abc\tdefghijkl", 10, "abc\ndefghijkl\n"},
      {"ab cd \t\t efghij", 10, "ab cd\nefghij\n"},
      // The indent is at most one less than the width; no line is longer than 159.
      {"            abc", 10, "         a\n         b\n         c\n"},
      {huge, 200, huge.substr(0, 159) + "\n" + huge.substr(159) + "\n"},
  };
  for (const auto& c : cases) {
    Pager pager = TestPager(false, c.width);
    PagerPrintLine(&pager, c.text.c_str());
    EXPECT_EQ(g_log, c.expected) << c.text.substr(0, 40);
  }
}

}  // namespace
