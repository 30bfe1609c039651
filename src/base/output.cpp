#include "base/interrupt_hold.h"
#include "base/turn.h"
#include "base/output.h"

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "base/run_options.h"
#include "platform/platform.h"

namespace {

thread_local CapturedOutput* t_capture = nullptr;

// Tee's text for standard output and the report, line ends as the system
// writes them, until it is written out. Appending and writing out take turns;
// the interrupt side takes no turn and writes the first g_published bytes,
// which no thread changes until a write-out under an interrupt hold.
constexpr size_t kOutputBlockSize = size_t{64} * 1024;
char g_block[kOutputBlockSize];
size_t g_used = 0;
std::atomic<size_t> g_published{0};
static_assert(std::atomic<size_t>::is_always_lock_free, "the interrupt side reads it");

FILE* g_reportStream = nullptr;
std::atomic<platform::FileHandle> g_reportHandle{platform::kInvalidHandle};
// Whole lines are written out as they end while no report is open (a refusal
// before it must not wait) and to a console, where the sysop watches them come.
bool g_flushEachLine = true;

std::atomic<bool> g_turnTaken{false};

// A failed write of the program's own output has no better place to be told.
void WriteBlock(const char* data, size_t length) {
  if (length == 0) return;
  platform::WriteStandardOutput(data, length);
  const platform::FileHandle report = g_reportHandle.load();
  if (report != platform::kInvalidHandle) platform::WriteOutput(report, data, length);
}

// In a turn. The hold keeps the interrupt side from writing the block again
// while it goes out; an interrupt meanwhile is acted on once it is empty.
void FlushInTurn() {
  if (g_used == 0) return;
  const InterruptHold hold;
  WriteBlock(g_block, g_used);
  g_used = 0;
  g_published.store(0, std::memory_order_release);
}

// In a turn: appends text, each '\n' as the system's line end.
void AppendInTurn(const char* text, size_t length) {
  const char* const end = text + length;
  while (text < end) {
    const char* newline = static_cast<const char*>(memchr(text, '\n', end - text));
    const size_t plain = static_cast<size_t>((newline != nullptr ? newline : end) - text);
    size_t copied = 0;
    while (copied < plain) {
      if (g_used == kOutputBlockSize) FlushInTurn();
      const size_t room = kOutputBlockSize - g_used;
      const size_t piece = plain - copied < room ? plain - copied : room;
      memcpy(g_block + g_used, text + copied, piece);
      g_used += piece;
      copied += piece;
    }
    text += plain;
    if (newline == nullptr) break;
    if (kOutputBlockSize - g_used < strlen(platform::kLineEnd)) FlushInTurn();
    for (const char* c = platform::kLineEnd; *c != '\0'; ++c) g_block[g_used++] = *c;
    ++text;
  }
}

void TeeText(const char* text, size_t length) {
  if (length == 0) return;
  const Turn turn(g_turnTaken);
  AppendInTurn(text, length);
  g_published.store(g_used, std::memory_order_release);
  if (g_flushEachLine && text[length - 1] == '\n') FlushInTurn();
}

// Appends the formatted text to capture; false when memory for it ran out.
bool AppendCaptured(CapturedOutput* capture, const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) return true;
  const size_t need = capture->length + static_cast<size_t>(length) + 1;
  if (need > capture->capacity) {
    const size_t capacity = need < 256 ? 256 : need * 2;
    char* grown = static_cast<char*>(realloc(capture->text, capacity));
    if (grown == nullptr) return false;
    capture->text = grown;
    capture->capacity = capacity;
  }
  vsnprintf(capture->text + capture->length, capture->capacity - capture->length, format, args);
  capture->length += static_cast<size_t>(length);
  return true;
}

// Formats the text and tees it, or keeps it on a capturing thread. A message
// that cannot be kept for later is printed at once rather than lost.
void TeeList(const char* format, va_list args) {
  if (t_capture != nullptr) {
    va_list kept;
    va_copy(kept, args);
    const bool captured = AppendCaptured(t_capture, format, kept);
    va_end(kept);
    if (captured) return;
  }
  char line[512];
  va_list measure;
  va_copy(measure, args);
  const int length = vsnprintf(line, sizeof line, format, measure);
  va_end(measure);
  if (length < 0) return;
  if (static_cast<size_t>(length) < sizeof line) {
    TeeText(line, static_cast<size_t>(length));
    return;
  }
  char* text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) {
    TeeText(line, sizeof line - 1);
    return;
  }
  vsnprintf(text, static_cast<size_t>(length) + 1, format, args);
  TeeText(text, static_cast<size_t>(length));
  free(text);
}

}  // namespace

void SetReportStream(FILE* report) {
  const Turn turn(g_turnTaken);
  FlushInTurn();
  g_reportStream = report;
  g_reportHandle.store(platform::HandleOfStream(report));
  g_flushEachLine = report == nullptr || platform::StdoutIsConsole();
}

FILE* ReportStream() { return g_reportStream; }

void FlushOutput() {
  const Turn turn(g_turnTaken);
  FlushInTurn();
}

void BeginSection(const char* banner) {
  const Turn turn(g_turnTaken);
  FlushInTurn();
  AppendInTurn(banner, strlen(banner));
  FlushInTurn();
}

void WriteKeptOutputOnInterrupt() {
  WriteBlock(g_block, g_published.load(std::memory_order_acquire));
}

void CaptureOutput(CapturedOutput* capture) { t_capture = capture; }

void PrintCaptured(CapturedOutput* capture) {
  TeeText(capture->text, capture->length);
  DiscardCaptured(capture);
}

void DiscardCaptured(CapturedOutput* capture) {
  free(capture->text);
  *capture = {};
}

void Tee(const char* format, ...) {
  va_list args;
  va_start(args, format);
  TeeList(format, args);
  va_end(args);
}

bool ReportError(RunCounters* counters, const char* format, ...) {
  va_list args;
  va_start(args, format);
  TeeList(format, args);
  va_end(args);
  ++counters->errors;
  return false;
}

bool FailWith(MessageBuffer* reason, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(reason->text, sizeof reason->text, format, args);
  va_end(args);
  reason->text[sizeof reason->text - 1] = '\0';
  return false;
}

int FormatBounded(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = vsnprintf(buffer, size, format, args);
  va_end(args);
  buffer[size - 1] = '\0';
  return result;
}

static const char kHashRule[] = "############################################################\n";

void PrintReportHeader(const ReportHeader& header) {
  Tee("\n%s", kHashRule);
  Tee("%s REPORT RUN\n", kProgramName);
  Tee("Started:             %s\n", header.startStamp);
  Tee("Version:             %s\n", kProgramVersion);
  Tee("Command line:        ");
  for (int i = 0; i < header.argc; ++i) Tee("%s%s", i == 0 ? "" : " ", header.argv[i]);
  Tee("\n");
  Tee("%s", kHashRule);
  if (header.writeMode) {
    Tee("MODE: VERIFIED BACKUP + STAGED USER PACK\n");
    Tee("BETA: MANUAL OFFLINE USE ONLY - NOT APPROVED FOR EVENTS OR BUILT-IN SYSOP MENU\n");
    Tee("Write mode selected because /DRYRUN was not supplied.\n");
  } else {
    Tee("MODE: /DRYRUN - ALL QUORVEX DATABASE FILES OPENED READ ONLY\n");
    Tee("No Quorvex database-write code is entered in /DRYRUN mode.\n");
  }
  Tee("Executable filename: QVCULLDB.EXE\n");
  Tee("Home directory:      %s\n", header.homeDirectory);
  Tee("Report file:         %s\n", header.reportPath);
}

namespace {

// What the scan counted, and what a write made of it.
void PrintCountedLines(const RunSummary& summary) {
  const RunCounters& c = *summary.counters;
  Tee("User records:        %" PRIu64 "\n", c.userRecords);
  Tee("Selected by rules:   %" PRIu64 "\n", c.selected);
  if (summary.writeMode) {
    Tee("Purged/committed:    %u\n", summary.purgedCommitted);
    if (summary.retainedKnown) {
      Tee("Retained after pack: %u\n", summary.retainedAfterPack);
    } else {
      Tee("Retained after pack: %" PRIu64 " of %" PRIu64 " planned; nothing was packed (see the "
          "database state below).\n", c.retained, c.userRecords);
    }
  } else {
    Tee("Would be purged:     %" PRIu64 "\n", c.purgeCandidates);
    Tee("Would be retained:   %" PRIu64 "\n", c.retained);
  }
  Tee("Protected user #1:   %" PRIu64 "\n", c.protectedUser1);
  Tee("Reason hits:\n");
  Tee("  Already Deleted:   %" PRIu64 "\n", c.deletedHits);
  Tee("  /SEC matches:      %" PRIu64 "\n", c.secHits);
  Tee("  /OLD matches:      %" PRIu64 "\n", c.oldHits);
}

}  // namespace

void PrintSummary(const RunSummary& summary) {
  const RunCounters& c = *summary.counters;
  BeginSection("\n======================= SUMMARY =======================\n");
  if (summary.scanned) {
    PrintCountedLines(summary);
  } else {
    // Zeros would read as an empty board: say instead that nothing was counted.
    Tee("User records:        not counted - the run stopped before its scan of the users ended.\n");
  }
  Tee("Warnings:            %" PRIu64 "\n", c.warnings);
  Tee("Errors:              %" PRIu64 "\n", c.errors);
  if (!summary.writeMode) {
    Tee("\nDRYRUN RESULT: NO QUORVEX DATABASE FILES WERE CHANGED.\n");
    Tee("Backup created:      NO - /DRYRUN performs no database writes.\n");
  }
  for (const char* line : summary.resultLines) {
    if (line != nullptr) Tee("%s", line);
  }
  Tee("%s", summary.statusLine);
  for (const char* line : summary.closingLines) {
    if (line != nullptr) Tee("%s", line);
  }
  if (summary.printMore != nullptr) summary.printMore(summary.moreContext);
  Tee("Exit code:           %d\n", summary.exitCode);
  Tee("%s", kHashRule);
}

CauseText CauseOf(uint32_t code) { return CauseOf(code, platform::FailureErrno(code)); }

CauseText CauseOf(uint32_t code, int err) {
  CauseText out{};
  if (code == 0) return out;
  if (err == 0) {
    FormatBounded(out.text, sizeof out.text, " (%s)", platform::DescribeWindowsError(code).text);
    return out;
  }
  char number[24];
  const char* name = platform::ErrnoName(err);
  if (name == nullptr) {
    FormatBounded(number, sizeof number, "errno %d", err);
    name = number;
  }
  FormatBounded(out.text, sizeof out.text, " (%s; %s: %s)",
                platform::DescribeWindowsError(code).text, name, platform::DescribeErrno(err).text);
  return out;
}

CauseText CauseOfStreamFailure() { return CauseOf(platform::LastStreamError()); }
