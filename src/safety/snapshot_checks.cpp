#include "safety/snapshot_checks.h"

#include "base/output.h"

namespace {

bool CheckStep(uint32_t index, void* context, RunCounters* counters) {
  const SnapshotCheckList* list = static_cast<const SnapshotCheckList*>(context);
  if (index >= list->count) return list->extraStep(index - list->count, list->extraContext, counters);
  const SnapshotCheck& check = list->checks[index];
  const char* path = check.path != nullptr ? check.path : check.expected->path.text;
  const bool vouched = list->settledStampsVouch && check.seen != nullptr &&
                       check.expected->ok && StampStillSettled(path, *check.seen);
  const bool matches = vouched ||
                       (check.seen != nullptr
                            ? FileMatchesSnapshotStamping(path, check.expected, check.seen)
                            : FileMatchesSnapshot(path, check.expected));
  if (list->afterEach != nullptr) list->afterEach();
  return matches || ReportError(counters, check.format, check.name);
}

}  // namespace

void AddSnapshotCheck(SnapshotCheckList* list, const char* path, const FileSnapshot* expected,
                      const char* name, const char* format, ReadStamp* seen) {
  if (list->count < kMostSnapshotChecks) {
    list->checks[list->count++] = {path, expected, name, format, seen};
  }
}

bool CheckSnapshotsInOrder(const SnapshotCheckList* list, const char* phase,
                           RunCounters* counters) {
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < list->count; ++i) bytes += list->checks[i].expected->size;
  const uint32_t extra = list->extraStep != nullptr ? list->extraCount : 0;
  return RunJobsInOrder({list->count + extra, CheckStep, const_cast<SnapshotCheckList*>(list),
                         AfterFailure::RunTheRest, kHashingThreads, phase, bytes},
                        counters);
}
