// Steps run side by side print as one thread in index order would: each step's output whole and
// in order, nothing past the first failure with StopThere, every step with RunTheRest. And the
// progress line's text and timing.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/output.h"
#include "base/parallel_jobs.h"
#include "base/progress.h"

namespace {

// Step i prints two lines, later steps finishing first; a step in failing reports an error.
struct Steps {
  uint32_t failing[2];
};

bool PrintingStep(uint32_t index, void* context, RunCounters* counters) {
  const Steps* steps = static_cast<const Steps*>(context);
  std::this_thread::sleep_for(std::chrono::microseconds(200 * (20 - index)));
  Tee("step %u begins\n", index);
  ++counters->warnings;
  if (index == steps->failing[0] || index == steps->failing[1]) {
    return ReportError(counters, "step %u failed\n", index);
  }
  Tee("step %u ends\n", index);
  return true;
}

std::string Expected(uint32_t count, const Steps& steps, bool stopAtFirst) {
  std::string text;
  for (uint32_t i = 0; i < count; ++i) {
    const bool fails = i == steps.failing[0] || i == steps.failing[1];
    text += "step " + std::to_string(i) + " begins\n";
    text += "step " + std::to_string(i) + (fails ? " failed\n" : " ends\n");
    if (fails && stopAtFirst) break;
  }
  return text;
}

TEST(RunJobsInOrder, PrintsAndCountsAsOneThreadWould) {
  struct Case {
    Steps steps;
    AfterFailure rule;
    uint32_t startSecond;  // begun early, printed in its place
    bool ok;
    uint64_t warnings, errors;
  };
  const Case cases[] = {
      {{99, 99}, AfterFailure::StopThere, 0, true, 12, 0},
      {{5, 9}, AfterFailure::StopThere, 0, false, 6, 1},
      {{5, 9}, AfterFailure::RunTheRest, 0, false, 12, 2},
      {{0, 11}, AfterFailure::StopThere, 0, false, 1, 1},
      {{99, 99}, AfterFailure::StopThere, 11, true, 12, 0},
      {{99, 99}, AfterFailure::RunTheRest, 6, true, 12, 0},
      {{3, 11}, AfterFailure::StopThere, 11, false, 4, 1},
  };
  for (const Case& c : cases) {
    Steps steps = c.steps;
    RunCounters counters{};
    counters.errors = 7;
    testing::internal::CaptureStdout();
    const bool ok = RunJobsInOrder(
        {12, PrintingStep, &steps, c.rule, kHashingThreads, "Testing", 0, c.startSecond}, &counters);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(printed, Expected(12, steps, c.rule == AfterFailure::StopThere));
    EXPECT_EQ(counters.warnings, c.warnings);
    EXPECT_EQ(counters.errors, 7 + c.errors);
  }
}

TEST(RunJobsInOrder, AnEmptyListSucceeds) {
  RunCounters counters{};
  EXPECT_TRUE(RunJobsInOrder({0, PrintingStep, nullptr, AfterFailure::StopThere, 3, "Testing", 0},
                             &counters));
}

TEST(ProgressLine, TextAndTiming) {
  char line[128];
  const size_t length = FormatProgressLine(line, sizeof line, "Backup", 3 * 1048576 + 524288,
                                           10 * 1048576, 2.0);
  EXPECT_EQ(std::string(line), "Backup: 3.5 of 10.0 MiB (1.8 MiB/s)");
  EXPECT_EQ(length, std::string(line).size());
  FormatProgressLine(line, sizeof line, "Hashing", 12 * 1048576, 10 * 1048576, 0.0);
  EXPECT_EQ(std::string(line), "Hashing: 10.0 of 10.0 MiB (0.0 MiB/s)");  // done capped at total
  EXPECT_EQ(FormatProgressLine(line, 8, "Hashing", 1, 2, 1.0), 7u);
  EXPECT_EQ(std::string(line), "Hashing");

  EXPECT_FALSE(ProgressLineDue(false, 5.0, -1));  // never without a console
  EXPECT_FALSE(ProgressLineDue(true, 0.9, -1));   // nor in a phase's first second
  EXPECT_TRUE(ProgressLineDue(true, 1.0, -1));
  EXPECT_FALSE(ProgressLineDue(true, 1.2, 1.0));  // at most four times a second
  EXPECT_TRUE(ProgressLineDue(true, 1.25, 1.0));
}

}  // namespace
