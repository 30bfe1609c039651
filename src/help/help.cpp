// The usage text, printed one screenful at a time on a console.
#include "help/help.h"

#include <cstdio>
#include <cstring>

#include "base/output.h"
#include "base/run_options.h"
#include "platform/platform.h"

namespace {

// A printed line is built in a fixed buffer: 159 characters, newline, NUL.
constexpr size_t kMaxLineLength = 159;

const char* const kHelpItems[] = {
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
    "  Any normal invocation without /DRYRUN is a real pack. /WRITE and /LAB are no longer used.",
    "",
    "Selection rules:",
    "  No /SEC or /OLD: users already marked Deleted only (legacy behavior).",
    "  /DEL: explicitly select only users already marked Deleted.",
    "        /DEL cannot be combined with /SEC, /OLD, or /AND.",
    "  /SEC=x: additionally select AllowPurge users at security x.",
    "  /OLD=x: additionally select AllowPurge users at least x days old.",
    "  /SEC and /OLD normally combine with legacy-compatible OR behavior.",
    "  /AND requires both /SEC and /OLD; additional non-deleted users must match both.",
    "  /OLD accepts 30 through 65535.",
    "",
    "Backups:",
    "  Every write requires a verified backup. There is no /NOBACKUP switch.",
    "  /BACKUP= selects the backup root. A unique timestamped directory is created beneath it.",
    "  Quote the entire /BACKUP= switch when the path contains spaces.",
    "  Without /BACKUP=, the default is .\\QVCULLDB-BACKUPS beneath the Quorvex home directory.",
    "  QVRESTORE.EXE, beside this program, lists, checks and restores these backups and removes old "
    "ones: QVRESTORE.EXE /LIST, /CHECK=backup, /RESTORE=backup, /PRUNE[=n]; QVRESTORE.EXE /? says "
    "more.",
    "",
    "Safety:",
    "  MANUAL OFFLINE USE ONLY: close every Quorvex node and prevent caller access before a write.",
    "  QVWHOSON.DAT is checked for active callers, but it cannot prove that idle Quorvex node "
    "processes are closed.",
    "  Scan commands atomically acquire MESSAGE\\QVLINK.BSY and abort if another cooperating "
    "Quorvex maintenance utility already owns it.",
    "  Write mode builds and verifies staged files, creates and verifies a timestamped backup, "
    "repeats safety checks, commits, verifies, and rolls back automatically on detected failure.",
    "  The old QVCULLDB.COM should be renamed or removed. DOS normally prefers a .COM file over an "
    ".EXE when no extension is given.",
    "",
    "Backup restore warning:",
    "  The backup is intended for immediate rollback before the BBS is reopened.",
    "  After callers return, restoring it discards newer user-database and last-message-read "
    "progress. Restore QVUSERS.DAT, QVUSERS.PTR, and every QVMSGxx.LMR together.",
    "",
    "Beta boundary: approved for manual offline use. Scheduled-event and built-in Sysop Menu use "
    "are not approved in this build.",
};

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Leading blanks of text, at most maxIndent.
size_t IndentOf(const char* text, size_t maxIndent) {
  size_t indent = 0;
  while (text[indent] == ' ' && indent < maxIndent) {
    ++indent;
  }
  return indent;
}

// How many characters of rest go on a line with room columns: all of it when it
// fits, else up to the last blank or tab that would fall just outside the line,
// else exactly room (a word longer than the line is cut).
size_t TakeLength(const char* rest, size_t room) {
  if (strlen(rest) <= room) {
    return strlen(rest);
  }
  for (size_t k = room; k >= 1; --k) {
    if (IsBlankOrTab(rest[k])) {
      return k;
    }
  }
  return room;
}

// On a console, waits for a key once a page is full.
void PauseIfPageFull(Pager* pager) {
  if (!pager->interactive || pager->count < pager->page) {
    return;
  }
  pager->write("\nPress any key to continue . . .");
  pager->flush();
  pager->readKey();
  pager->write("\n\n");
  pager->count = 0;
}

// Prints indent blanks, then length characters of body, then a newline.
void EmitLine(Pager* pager, size_t indent, const char* body, size_t length) {
  char line[kMaxLineLength + 2];
  memset(line, ' ', indent);
  memcpy(line + indent, body, length);
  line[indent + length] = '\n';
  line[indent + length + 1] = '\0';
  PauseIfPageFull(pager);
  pager->write(line);
  ++pager->count;
}

void WriteToStdout(const char* text) { fputs(text, stdout); }

void FlushAllStreams() { fflush(nullptr); }

}  // namespace

Pager ConsolePager() {
  Pager pager{};
  pager.interactive = platform::StdoutIsConsole();
  pager.count = 0;
  pager.page = kPagerPage;
  pager.width = kPagerWidth;
  pager.write = WriteToStdout;
  pager.flush = FlushAllStreams;
  pager.readKey = platform::ReadKeyNoEcho;
  return pager;
}

void PagerPrintLine(Pager* pager, const char* text) {
  if (text[0] == '\0') {
    EmitLine(pager, 0, text, 0);
    return;
  }
  // At least one column of room, and an indent that leaves a character free
  // in the line buffer, whatever width the pager was given.
  const size_t width = pager->width > 1 ? static_cast<size_t>(pager->width) : 1;
  const size_t maxIndent = width - 1 < kMaxLineLength - 1 ? width - 1 : kMaxLineLength - 1;
  const size_t indent = IndentOf(text, maxIndent);
  const size_t room = width - indent;
  const char* rest = text;
  do {
    while (*rest == ' ') {
      ++rest;
    }
    size_t taken = TakeLength(rest, room);
    if (taken > kMaxLineLength - indent) {
      taken = kMaxLineLength - indent;
    }
    size_t shown = taken;
    while (shown > 0 && IsBlankOrTab(rest[shown - 1])) {
      --shown;
    }
    EmitLine(pager, indent, rest, shown);
    rest += taken;
    while (IsBlankOrTab(*rest)) {
      ++rest;
    }
  } while (*rest != '\0');
}

void PrintHelpTo(Pager* pager) {
  char title[128];
  FormatBounded(title, sizeof title, "%s %s - manual-offline Quorvex user packer", kProgramName,
                kProgramVersion);
  PagerPrintLine(pager, title);
  for (const char* item : kHelpItems) {
    PagerPrintLine(pager, item);
  }
}

void PrintHelp() {
  Pager pager = ConsolePager();
  PrintHelpTo(&pager);
}
