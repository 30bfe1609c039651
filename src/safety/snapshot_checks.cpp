#include "safety/snapshot_checks.h"

#include "base/output.h"
#include "base/parallel_jobs.h"

namespace {

// The last step closes every file to close; it is begun right after step 0, so
// that one helper waits on the file system while the caller and another hash.
bool CheckStep(uint32_t index, void* context, RunCounters* counters) {
  const SnapshotCheckList* list = static_cast<const SnapshotCheckList*>(context);
  if (index >= list->count) {
    for (uint32_t i = 0; i < list->closeCount; ++i) {
      platform::CloseFileHandle(list->closeAlongside[i]);
    }
    return true;
  }
  const SnapshotCheck& check = list->checks[index];
  const char* path = check.path != nullptr ? check.path : check.expected->path.text;
  const bool matches = FileMatchesSnapshot(path, check.expected);
  if (list->afterEach != nullptr) list->afterEach();
  return matches || ReportError(counters, check.format, check.name);
}

}  // namespace

void AddSnapshotCheck(SnapshotCheckList* list, const char* path, const FileSnapshot* expected,
                      const char* name, const char* format) {
  if (list->count < kMostSnapshotChecks) list->checks[list->count++] = {path, expected, name, format};
}

bool CheckSnapshotsInOrder(const SnapshotCheckList* list, const char* phase,
                           RunCounters* counters) {
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < list->count; ++i) bytes += list->checks[i].expected->size;
  const uint32_t closeSteps = list->closeCount > 0 ? 1 : 0;
  return RunJobsInOrder({list->count + closeSteps, CheckStep, const_cast<SnapshotCheckList*>(list),
                         AfterFailure::RunTheRest, kHashingThreads + closeSteps, phase, bytes,
                         closeSteps == 1 ? list->count : 0},
                        counters);
}
