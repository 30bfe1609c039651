// A long phase's progress, for the sysop watching the console: one line on
// standard error, rewritten in place and erased when the phase ends. It appears
// only when standard error is a console and the phase has run for about a
// second; never in the report, never on standard output, whose text is exact.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts a phase that reads about bytesToDo bytes (phase: a string literal).
void BeginProgress(const char* phase, uint64_t bytesToDo);
// Counts bytes read by the phase; any thread may call it, and outside a phase it
// does nothing.
void AdvanceProgress(uint64_t bytes);
// Ends the phase and erases its line if one was shown.
void EndProgress();

// The line itself: "PHASE: D of T MiB (R MiB/s)", done capped at total; returns
// the length written (buffer always NUL-terminated).
size_t FormatProgressLine(char* buffer, size_t size, const char* phase, uint64_t done,
                          uint64_t total, double seconds);

// Whether a phase that has run for seconds shows its line (and, once shown,
// whether it is time to rewrite it, lastShown seconds into the phase; <0: never shown).
bool ProgressLineDue(bool console, double seconds, double lastShown);
