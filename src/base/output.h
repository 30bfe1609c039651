// Console and run-report output. Tee is the only code that writes to the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/run_counters.h"

#ifdef __MINGW32__
#define QV_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

// A text buffer whose size is part of its type.
template <size_t N>
struct TextBuffer {
  char text[N];
};

// A one-line message or reason that a step hands back for its caller to print:
// room for a whole path (1023 characters) and its words.
constexpr size_t kMessageBufferSize = 1536;
using MessageBuffer = TextBuffer<kMessageBufferSize>;

// The run report Tee writes to beside standard output (null: none). What was
// printed before is written out first, to standard output alone.
void SetReportStream(FILE* report);
FILE* ReportStream();

// Prints to standard output and, when the report is open, to the report too.
// The text is kept in one block for both and written out when the block fills,
// at FlushOutput and BeginSection, and, on a console or while no report is
// open, at the end of every line; an interrupt's clean-up writes what is kept
// (WriteKeptOutputOnInterrupt). Any thread.
void Tee(const char* format, ...) QV_PRINTF(1, 2);

// Writes out what Tee keeps: at the end of a section, before a wait or a
// prompt, before the commit and before the process ends.
void FlushOutput();

// Ends the section before (FlushOutput) and prints the banner of the next,
// written out at once: the console and the report show which step runs.
void BeginSection(const char* banner);

// The interrupt side's FlushOutput (async-signal-safe): writes what Tee has
// kept so far to standard output and the report. The run's own flushes hold
// interrupts back, so nothing is written twice.
void WriteKeptOutputOnInterrupt();

// What Tee prints on a thread that captures: kept, to be printed later in the
// order a one-thread run would have printed it. Owns its text.
struct CapturedOutput {
  char* text;
  size_t length;
  size_t capacity;
};
// From here on this thread's Tee appends to capture (null: prints again).
void CaptureOutput(CapturedOutput* capture);
// Prints what was captured through Tee and frees it.
void PrintCaptured(CapturedOutput* capture);
// Frees what was captured without printing it.
void DiscardCaptured(CapturedOutput* capture);

// Prints an error through Tee and adds one to counters->errors. Always false,
// so that a failing step can end with `return ReportError(...)`.
bool ReportError(RunCounters* counters, const char* format, ...) QV_PRINTF(2, 3);

// The cause an error line carries before its full stop, the one way every failed
// system call is told: " (Windows error 112: the disk is full)" for a failed
// call's Windows code, and on POSIX, where the code was mapped from an errno,
// that errno's name and text as well: " (Windows error 31: the device reported
// an error; EIO: Input/output error)". "" for 0 (no code known). Ask at once,
// on the thread whose call failed (platform::FailureErrno).
struct CauseText {
  char text[256];
};
CauseText CauseOf(uint32_t code);
// The same for a failure kept for later, with the errno taken beside its code (0: none).
CauseText CauseOf(uint32_t code, int err);
// CauseOf the C stream call that failed last on this thread; ask at once.
CauseText CauseOfStreamFailure();

// Formats the reason a step refuses, for its caller to print. Always false, so
// that the step can end with `return FailWith(...)`.
bool FailWith(MessageBuffer* reason, const char* format, ...) QV_PRINTF(2, 3);

// Bounded formatting into buffer: always NUL-terminated; returns the formatter's
// result. The text is complete exactly when FormatComplete(result, size).
int FormatBounded(char* buffer, size_t size, const char* format, ...)
    QV_PRINTF(3, 4);
// True when a FormatBounded result means the whole text fitted.
inline bool FormatComplete(int result, size_t size) {
  return static_cast<uint32_t>(result) < size;
}

// The report header of a run, printed through Tee.
struct ReportHeader {
  const char* startStamp;  // "%Y-%m-%d %H:%M:%S"
  int argc;                // arguments as split, program name first
  char* const* argv;
  bool writeMode;
  const char* homeDirectory;
  const char* reportPath;
};
void PrintReportHeader(const ReportHeader& header);

// The closing summary of a run, printed through Tee. The driver decides the
// result lines; this only lays them out.
struct RunSummary {
  const RunCounters* counters;
  bool scanned;  // the scan read every user record: the counters are counted
  bool writeMode;
  uint32_t purgedCommitted;    // write run: purged if the run succeeded, else 0
  uint32_t retainedAfterPack;  // write run
  bool retainedKnown;          // write run: packed, or nothing to pack
  // Write run: the lines that precede the result status (backup, rollback),
  // each complete with its newline(s); unused entries are null.
  const char* resultLines[3];
  const char* statusLine;  // "Result status:       ...\n"
  // After the status: the database's state and what the run leaves behind,
  // each complete with its newline; unused entries are null or empty.
  const char* closingLines[4];
  // After them: lines of the caller's own (what earlier runs left); may be null.
  void (*printMore)(const void* context);
  const void* moreContext;
  int exitCode;
};
void PrintSummary(const RunSummary& summary);
