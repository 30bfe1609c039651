// The help text's layout, byte for byte, and the pager's paging and wrapping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "help/help.h"

namespace {

// Every line of the help text as a redirected run prints it.
const char* const kHelpLines[] = {
    "QVCULLDB32 0.4.0-beta1 - manual-offline Quorvex user packer",
    "",
    "Executable name: QVCULLDB.EXE",
    "",
    "Read-only preview commands:",
    "  QVCULLDB.EXE /DRYRUN",
    "  QVCULLDB.EXE /DEL /DRYRUN",
    "  QVCULLDB.EXE /SEC=x /DRYRUN",
    "  QVCULLDB.EXE /OLD=x /DRYRUN",
    "  QVCULLDB.EXE /SEC=x /OLD=x /DRYRUN",
    "  QVCULLDB.EXE /SEC=x /OLD=x /AND /DRYRUN",
    "",
    "Verified write commands (all Quorvex nodes must be closed):",
    "  QVCULLDB.EXE",
    "  QVCULLDB.EXE /DEL",
    "  QVCULLDB.EXE /OLD=x",
    "  QVCULLDB.EXE /SEC=x",
    "  QVCULLDB.EXE /SEC=x /OLD=x",
    "  QVCULLDB.EXE /SEC=x /OLD=x /AND",
    "  Add /BACKUP=D:\\QVBAK to any write command.",
    "  QVCULLDB.EXE /VERSION",
    "  QVCULLDB.EXE /HELP   (or /?)",
    "",
    "IMPORTANT write-mode rule:",
    "  Any normal invocation without /DRYRUN is a real pack. /WRITE and /LAB are no",
    "  longer used.",
    "",
    "Selection rules:",
    "  No /SEC or /OLD: users already marked Deleted only (legacy behavior).",
    "  /DEL: explicitly select only users already marked Deleted.",
    "        /DEL cannot be combined with /SEC, /OLD, or /AND.",
    "  /SEC=x: additionally select AllowPurge users at security x.",
    "  /OLD=x: additionally select AllowPurge users at least x days old.",
    "  /SEC and /OLD normally combine with legacy-compatible OR behavior.",
    "  /AND requires both /SEC and /OLD; additional non-deleted users must match",
    "  both.",
    "  /OLD accepts 30 through 65535.",
    "",
    "Backups:",
    "  Every write requires a verified backup. There is no /NOBACKUP switch.",
    "  /BACKUP= selects the backup root. A unique timestamped directory is created",
    "  beneath it.",
    "  Quote the entire /BACKUP= switch when the path contains spaces.",
    "  Without /BACKUP=, the default is .\\QVCULLDB-BACKUPS beneath the Quorvex home",
    "  directory.",
    "",
    "Safety:",
    "  MANUAL OFFLINE USE ONLY: close every Quorvex node and prevent caller access",
    "  before a write.",
    "  QVWHOSON.DAT is checked for active callers, but it cannot prove that idle",
    "  Quorvex node processes are closed.",
    "  Scan commands atomically acquire MESSAGE\\QVLINK.BSY and abort if another",
    "  cooperating Quorvex maintenance utility already owns it.",
    "  Write mode builds and verifies staged files, creates and verifies a",
    "  timestamped backup, repeats safety checks, commits, verifies, and rolls back",
    "  automatically on detected failure.",
    "  The old QVCULLDB.COM should be renamed or removed. DOS normally prefers a",
    "  .COM file over an .EXE when no extension is given.",
    "",
    "Backup restore warning:",
    "  The backup is intended for immediate rollback before the BBS is reopened.",
    "  After callers return, restoring it discards newer user-database and",
    "  last-message-read progress. Restore QVUSERS.DAT, QVUSERS.PTR, and every",
    "  QVMSGxx.LMR together.",
    "",
    "Beta boundary: approved for manual offline use. Scheduled-event and built-in",
    "Sysop Menu use are not approved in this build.",
};

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

std::string ExpectedHelp(bool interactive) {
  std::string text;
  int number = 0;
  for (const char* line : kHelpLines) {
    ++number;
    // A page holds 22 lines: the prompt comes before lines 23, 45, 67...
    if (interactive && number > 1 && (number - 1) % kPagerPage == 0) {
      text += "\nPress any key to continue . . .<F><K>\n\n";
    }
    text += line;
    text += "\n";
  }
  return text;
}

TEST(HelpText, RedirectedOutputIsTheWholeTextWithoutPauses) {
  Pager pager = TestPager(false);
  PrintHelpTo(&pager);
  EXPECT_EQ(g_log, ExpectedHelp(false));
  EXPECT_EQ(g_log.find("<K>"), std::string::npos);
  EXPECT_EQ(g_log.find("<F>"), std::string::npos);
  EXPECT_EQ(pager.count, 67);
}

TEST(HelpText, ConsolePausesBeforeLines23And45And67) {
  Pager pager = TestPager(true);
  PrintHelpTo(&pager);
  EXPECT_EQ(g_log, ExpectedHelp(true));

  // The same by counting: the lines printed before each prompt.
  std::vector<int> linesBeforePrompt;
  int lines = 0;
  for (size_t i = 0; i < g_log.size(); ++i) {
    if (g_log.compare(i, 6, "\nPress") == 0) {
      linesBeforePrompt.push_back(lines);
      i = g_log.find("\n\n", i) + 1;
    } else if (g_log[i] == '\n') {
      ++lines;
    }
  }
  EXPECT_EQ(linesBeforePrompt, (std::vector<int>{22, 44, 66}));
  EXPECT_EQ(pager.count, 1);
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
