#include "base/interrupt_hold.h"
#include "base/output.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <optional>

#include "base/run_options.h"
#include "platform/platform.h"

FILE* g_reportStream = nullptr;

namespace {

thread_local CapturedOutput* t_capture = nullptr;
bool g_batching = false;
// The hold of a batch in progress: interrupts wait from one flush to the next.
std::optional<InterruptHold> g_batchHold;

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

// Standard output, then the report when it is open (flushed after every call,
// so an abnormal end still leaves everything printed so far). A message that
// cannot be kept for later is printed at once rather than lost.
void TeeList(const char* format, va_list args) {
  if (t_capture != nullptr) {
    va_list kept;
    va_copy(kept, args);
    const bool captured = AppendCaptured(t_capture, format, kept);
    va_end(kept);
    if (captured) return;
  }
  va_list again;
  va_copy(again, args);
  vprintf(format, args);
  if (g_reportStream != nullptr) {
    vfprintf(g_reportStream, format, again);
    if (!g_batching) fflush(g_reportStream);
  }
  va_end(again);
}

}  // namespace

void BeginReportBatch() {
  g_batchHold.emplace();
  g_batching = true;
}

void FlushReportBatch() {
  if (g_reportStream != nullptr) fflush(g_reportStream);
  if (g_batchHold && g_batchHold->Outermost() && platform::InterruptWasHeld()) EndReportBatch();
}

void EndReportBatch() {
  g_batching = false;
  if (g_reportStream != nullptr) fflush(g_reportStream);
  g_batchHold.reset();
}

void CaptureOutput(CapturedOutput* capture) { t_capture = capture; }

void PrintCaptured(CapturedOutput* capture) {
  if (capture->length != 0) Tee("%s", capture->text);
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
  Tee("\n======================= SUMMARY =======================\n");
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

CauseText CauseOf(uint32_t code) {
  CauseText out{};
  if (code != 0) {
    FormatBounded(out.text, sizeof out.text, " (%s)", platform::DescribeWindowsError(code).text);
  }
  return out;
}

CauseText CauseOfStreamFailure() { return CauseOf(platform::LastStreamError()); }
