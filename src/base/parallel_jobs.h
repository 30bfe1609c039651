// Independent steps, one per file, done side by side on a small fixed set of
// threads, while everything they print comes out exactly as one thread doing
// them in index order would print it: each step's output is kept and printed
// in order afterwards, and with StopThere nothing after the first failure is
// printed or counted (later steps are skipped, or their results ignored).
// Interrupts are held while the steps run, so that the interrupt clean-up never
// races a step creating a file; one that comes skips the steps not yet begun,
// and stops the running ones between blocks (StepsShouldStop); it takes effect
// once the finished steps' output is printed. Inside a hold that is not the
// list's own (the commit), every step runs to its end.
#pragma once

#include <cstdint>

#include "base/run_counters.h"

// The threads a list runs on, the calling thread included: one per core of
// the machine it was tuned on when the steps only read and hash; more when
// they also write and wait for the disk, so that many flushes wait at once
// (the disk serves them together) while the cores hash. The calling thread
// takes step 0, which every list makes its longest (QVUSERS.DAT); the others
// run below its priority. Each thread runs one step at a time, so what one step
// holds (at most four stream buffers and a copy or slot buffer, under 1 MiB) is
// the fixed memory cost of one more thread.
constexpr unsigned kHashingThreads = 2;
constexpr unsigned kWritingThreads = 8;

enum class AfterFailure { StopThere, RunTheRest };

// One step: prints through Tee and ReportError(counters) as usual; true on
// success. Steps of one list must not share what they write.
using JobStep = bool (*)(uint32_t index, void* context, RunCounters* counters);

struct JobList {
  uint32_t count;
  JobStep step;
  void* context;
  AfterFailure afterFailure;
  unsigned threads;   // kHashingThreads or kWritingThreads
  const char* phase;  // names the work on the progress line (null: none)
  uint64_t bytes;     // about what the steps read, for the progress line
  // A long step to begin right after step 0 though printed in its place, so
  // that it does not end the list alone (0: none).
  uint32_t startSecond = 0;
};

// Runs the list; adds the steps' counts to *counters. True when every step ran
// and succeeded.
bool RunJobsInOrder(const JobList& jobs, RunCounters* counters);

// True once an interrupt came during a list that holds interrupts itself. Loops
// that copy, hash or write large files ask it between blocks and fail at once, so
// that the clean-up runs within the few seconds Windows gives a closing console,
// a logoff or a shutdown; what a step that stopped printed is dropped.
bool StepsShouldStop();
