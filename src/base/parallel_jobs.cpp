#include "base/interrupt_hold.h"
#include "base/parallel_jobs.h"

#include <atomic>
#include <memory>
#include <new>

#include "base/output.h"
#include "base/progress.h"
#include "platform/platform.h"

namespace {

struct JobSlot {
  CapturedOutput output;
  RunCounters counters;
  bool ok;
  bool done;  // written by the step's thread, read after every thread has joined
};

struct JobRun {
  const JobList* jobs;
  JobSlot* slots;
  bool cancelOnInterrupt;
  std::atomic<uint32_t> next{0};
  std::atomic<uint32_t> firstFailure{UINT32_MAX};
};

void NoteFailure(JobRun* run, uint32_t index) {
  uint32_t first = run->firstFailure.load();
  while (index < first && !run->firstFailure.compare_exchange_weak(first, index)) {
  }
}

// Set while a list that holds interrupts itself runs.
std::atomic<bool> g_stoppable{false};

bool Skipped(const JobRun* run, uint32_t index) {
  if (run->jobs->afterFailure == AfterFailure::StopThere && index > run->firstFailure.load()) {
    return true;
  }
  return run->cancelOnInterrupt && platform::InterruptWasHeld();
}

// Set on the calling thread while a list runs: it takes step 0, the longest.
thread_local bool t_takesFirstStep = false;

// The step begun in the given place: 0, then startSecond, then the others in order.
uint32_t StepBegunAt(const JobList& jobs, uint32_t place) {
  const uint32_t second = jobs.startSecond;
  if (second == 0 || second >= jobs.count || place == 0 || place > second) return place;
  return place == 1 ? second : place - 1;
}

// Each thread takes the next step not yet taken until none is left.
void TakeSteps(void* context) {
  JobRun* run = static_cast<JobRun*>(context);
  bool first = t_takesFirstStep;
  for (;;) {
    const uint32_t place = first ? 0 : run->next.fetch_add(1);
    first = false;
    if (place >= run->jobs->count) return;
    const uint32_t index = StepBegunAt(*run->jobs, place);
    if (Skipped(run, index)) continue;
    JobSlot* slot = &run->slots[index];
    CaptureOutput(&slot->output);
    slot->ok = run->jobs->step(index, run->jobs->context, &slot->counters);
    CaptureOutput(nullptr);
    // A step that failed because an interrupt stopped it did not finish.
    slot->done = slot->ok || !(run->cancelOnInterrupt && platform::InterruptWasHeld());
    if (!slot->ok) NoteFailure(run, index);
  }
}

void AddCounters(RunCounters* total, const RunCounters& part) {
  total->userRecords += part.userRecords;
  total->retained += part.retained;
  total->selected += part.selected;
  total->purgeCandidates += part.purgeCandidates;
  total->protectedUser1 += part.protectedUser1;
  total->deletedHits += part.deletedHits;
  total->secHits += part.secHits;
  total->oldHits += part.oldHits;
  total->warnings += part.warnings;
  total->errors += part.errors;
}

// Prints and counts the finished steps in order, up to the first that did not
// finish (skipped) or, with StopThere, the first failure.
bool PrintInOrder(const JobList& jobs, JobSlot* slots, RunCounters* counters) {
  bool allOk = true;
  uint32_t index = 0;
  while (index < jobs.count) {
    JobSlot* slot = &slots[index];
    if (!slot->done) {
      allOk = false;
      break;
    }
    PrintCaptured(&slot->output);
    AddCounters(counters, slot->counters);
    ++index;
    allOk = slot->ok && allOk;
    if (!slot->ok && jobs.afterFailure == AfterFailure::StopThere) break;
  }
  for (; index < jobs.count; ++index) DiscardCaptured(&slots[index].output);
  return allOk;
}

// Without memory for the slots the steps run here, one after another.
bool RunOneByOne(const JobList& jobs, RunCounters* counters) {
  bool allOk = true;
  for (uint32_t index = 0; index < jobs.count; ++index) {
    allOk = jobs.step(index, jobs.context, counters) && allOk;
    if (!allOk && jobs.afterFailure == AfterFailure::StopThere) return false;
  }
  return allOk;
}

}  // namespace

bool RunJobsInOrder(const JobList& jobs, RunCounters* counters) {
  std::unique_ptr<JobSlot[]> slots(new (std::nothrow) JobSlot[jobs.count]());
  if (!slots) return RunOneByOne(jobs, counters);
  const InterruptHold hold;
  const bool ownHold = hold.Outermost();
  JobRun run;
  run.jobs = &jobs;
  run.slots = slots.get();
  run.cancelOnInterrupt = ownHold;
  if (jobs.phase != nullptr) BeginProgress(jobs.phase, jobs.bytes);
  run.next.store(1);
  g_stoppable.store(ownHold);
  t_takesFirstStep = true;
  platform::RunOnThreads(TakeSteps, &run, jobs.threads - 1);
  t_takesFirstStep = false;
  g_stoppable.store(false);
  if (jobs.phase != nullptr) EndProgress();
  return PrintInOrder(jobs, slots.get(), counters);
}

bool StepsShouldStop() { return g_stoppable.load() && platform::InterruptWasHeld(); }
