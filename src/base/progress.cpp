#include "base/progress.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr double kQuietSeconds = 1.0;    // a phase shorter than this shows nothing
constexpr double kRefreshSeconds = 0.25;  // the line is rewritten at most this often

using Clock = std::chrono::steady_clock;

// One phase at a time. The main thread sets the fields while no phase is
// active; readers see them after the release store of active.
struct ProgressState {
  std::atomic<bool> active{false};
  std::atomic<uint64_t> done{0};
  std::atomic<bool> drawing{false};  // one thread draws at a time
  const char* phase = nullptr;
  uint64_t total = 0;
  bool console = false;
  Clock::time_point start;
  // Every thread looks at it to skip the drawing turn early; the drawing thread
  // writes it.
  std::atomic<double> lastShown{-1};
  size_t shownLength = 0;  // only the drawing thread uses it
};

ProgressState g_progress;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void WriteToConsole(const char* text, size_t length) {
  platform::WriteHandle(platform::StandardErrorHandle(), text, length);
}

// Carriage return and the text, padded with blanks over the rest of a longer
// earlier line; a final carriage return when erasing (text empty).
void Draw(const char* text, size_t length) {
  char line[160];
  size_t at = 0;
  line[at++] = '\r';
  for (size_t i = 0; i < length && at < sizeof line - 2; ++i) line[at++] = text[i];
  for (size_t i = length; i < g_progress.shownLength && at < sizeof line - 2; ++i) line[at++] = ' ';
  if (length == 0) line[at++] = '\r';
  WriteToConsole(line, at);
  g_progress.shownLength = length;
}

void DrawIfDue() {
  const double seconds = SecondsSince(g_progress.start);
  const auto due = [seconds] {
    return ProgressLineDue(g_progress.console, seconds,
                           g_progress.lastShown.load(std::memory_order_relaxed));
  };
  if (!due()) return;
  bool idle = false;
  if (!g_progress.drawing.compare_exchange_strong(idle, true)) return;
  if (due()) {
    char text[128];
    const size_t length = FormatProgressLine(text, sizeof text, g_progress.phase,
                                             g_progress.done.load(), g_progress.total, seconds);
    Draw(text, length);
    g_progress.lastShown.store(seconds, std::memory_order_relaxed);
  }
  g_progress.drawing.store(false);
}

}  // namespace

size_t FormatProgressLine(char* buffer, size_t size, const char* phase, uint64_t done,
                          uint64_t total, double seconds) {
  constexpr double kMiB = 1048576.0;
  const uint64_t shown = done < total ? done : total;
  const double rate = seconds > 0 ? static_cast<double>(shown) / kMiB / seconds : 0;
  const int length = snprintf(buffer, size, "%s: %.1f of %.1f MiB (%.1f MiB/s)", phase,
                              static_cast<double>(shown) / kMiB,
                              static_cast<double>(total) / kMiB, rate);
  if (length < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}

bool ProgressLineDue(bool console, double seconds, double lastShown) {
  if (!console || seconds < kQuietSeconds) return false;
  return lastShown < 0 || seconds - lastShown >= kRefreshSeconds;
}

void BeginProgress(const char* phase, uint64_t bytesToDo) {
  g_progress.phase = phase;
  g_progress.total = bytesToDo;
  g_progress.console = platform::StderrIsConsole();
  g_progress.start = Clock::now();
  g_progress.lastShown.store(-1);
  g_progress.shownLength = 0;
  g_progress.done.store(0);
  g_progress.active.store(true, std::memory_order_release);
}

void AdvanceProgress(uint64_t bytes) {
  // Without a console nothing is shown, and nothing needs counting.
  if (!g_progress.active.load(std::memory_order_acquire) || !g_progress.console) return;
  g_progress.done.fetch_add(bytes, std::memory_order_relaxed);
  DrawIfDue();
}

void EndProgress() {
  g_progress.active.store(false);
  // Waits out a thread still drawing, then erases the line.
  bool idle = false;
  while (!g_progress.drawing.compare_exchange_weak(idle, true)) idle = false;
  if (g_progress.shownLength != 0) Draw("", 0);
  g_progress.drawing.store(false);
}
