// The staged copy of one LMR file: the retained users' slots in their order,
// then zero capacity up to the live file's size.
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/parallel_jobs.h"
#include "base/paths.h"
#include "base/progress.h"
#include "safety/file_snapshot.h"
#include "staging/staging.h"
#include "staging/staging_streams.h"

namespace {

// Slots are read and kept slots written a block at a time; the result is the
// same as one read and one write per slot, and memory stays fixed however many
// slots a file has.
constexpr size_t kSlotBlockBytes = 65536;
constexpr size_t kZeroPieceBytes = 4096;
static_assert(kSlotBlockBytes % kLmrSlotSize == 0, "a block holds whole slots");
// Every staged file, one rollback copy and the lock can be registered at once.
static_assert(kLmrInventoryCapacity + 5 <= kCleanupSlots, "the clean-up table is too small");

// The two blocks of a rebuild: slots as read, and kept slots not yet written.
struct SlotBlocks {
  unsigned char live[kSlotBlockBytes];
  unsigned char kept[kSlotBlockBytes];
};
const unsigned char kZeroPiece[kZeroPieceBytes] = {};

// The state of one rebuild.
struct LmrRebuild {
  const LmrFileEntry* entry;
  RunCounters* counters;
  std::unique_ptr<SlotBlocks> blocks;
  StagingStreams streams;
  StagingStream* live = nullptr;
  StagingStream* staged = nullptr;
  size_t pendingBytes = 0;  // kept slots in blocks->kept not yet written
  uint64_t kept = 0;
};

bool OpenLmrStreams(LmrRebuild* rebuild) {
  const LmrFileEntry* entry = rebuild->entry;
  rebuild->live = OpenStagingInput(&rebuild->streams, entry->path.text);
  rebuild->staged = OpenStagingOutput(&rebuild->streams, entry->stagedPath.text, entry->path.text);
  if (rebuild->live->file == nullptr || rebuild->staged->file == nullptr) {
    return ReportError(rebuild->counters, "ERROR: cannot open source/staged %s%s.\n", entry->name,
                       OpenFailureText(&rebuild->streams));
  }
  UseStagingBuffer(rebuild->staged);
  return true;
}

bool WritePendingSlots(LmrRebuild* rebuild) {
  const size_t bytes = rebuild->pendingBytes;
  rebuild->pendingBytes = 0;
  return WriteStaged(rebuild->staged, rebuild->blocks->kept, bytes);
}

bool KeepSlot(LmrRebuild* rebuild, const unsigned char* slot) {
  memcpy(rebuild->blocks->kept + rebuild->pendingBytes, slot, kLmrSlotSize);
  rebuild->pendingBytes += kLmrSlotSize;
  rebuild->kept++;
  return rebuild->pendingBytes < sizeof rebuild->blocks->kept || WritePendingSlots(rebuild);
}

bool IsKeptSlot(uint64_t slot, const PackContext* pack) {
  return slot < pack->userCount && pack->purgeMap[slot] == 0;
}

bool ReportSlotWriteFailure(const LmrRebuild* rebuild) {
  return ReportError(rebuild->counters, "ERROR: write failure while rebuilding %s%s.\n",
                     rebuild->entry->name, CauseOfStreamFailure().text);
}

// Reads all slotCount slots of the live file, the capacity after the last user
// included, and keeps the slots of retained users. A file that ended early
// names its first incomplete slot, after the kept slots before it were written.
bool CopyKeptSlots(const PackContext* pack, LmrRebuild* rebuild) {
  const uint64_t slotCount = rebuild->entry->slotCount;
  const uint64_t slotsPerBlock = kSlotBlockBytes / kLmrSlotSize;
  unsigned char* block = rebuild->blocks->live;
  uint64_t slot = 0;
  while (slot < slotCount) {
    const uint64_t remaining = slotCount - slot;
    const uint64_t wanted = remaining < slotsPerBlock ? remaining : slotsPerBlock;
    if (StepsShouldStop()) return false;
    const size_t got =
        fread(block, 1, static_cast<size_t>(wanted) * kLmrSlotSize, rebuild->live->file);
    AdvanceProgress(got);
    const uint64_t complete = got / kLmrSlotSize;
    for (uint64_t k = 0; k < complete; ++k, ++slot) {
      if (IsKeptSlot(slot, pack) && !KeepSlot(rebuild, block + k * kLmrSlotSize)) {
        return ReportSlotWriteFailure(rebuild);
      }
    }
    if (complete < wanted) {
      if (!WritePendingSlots(rebuild)) return ReportSlotWriteFailure(rebuild);
      return ReportError(rebuild->counters,
                         "ERROR: short read while rebuilding %s at slot %" PRIu64 ".\n",
                         rebuild->entry->name, slot + 1);
    }
  }
  return WritePendingSlots(rebuild) || ReportSlotWriteFailure(rebuild);
}

// The slots freed by the purge, and the capacity after the last user, are zero.
bool AppendZeroCapacity(LmrRebuild* rebuild) {
  uint64_t remaining = (rebuild->entry->slotCount - rebuild->kept) * kLmrSlotSize;
  while (remaining > 0) {
    const size_t piece = remaining < kZeroPieceBytes ? static_cast<size_t>(remaining)
                                                     : kZeroPieceBytes;
    if (!WriteStaged(rebuild->staged, kZeroPiece, piece)) {
      return ReportError(rebuild->counters, "ERROR: could not append zero-capacity slots to %s%s.\n",
                         rebuild->entry->name, CauseOfStreamFailure().text);
    }
    remaining -= piece;
  }
  return true;
}

// Every slot written and the streams finished.
bool WriteStagedLmrFile(const PackContext* pack, LmrRebuild* rebuild) {
  const char* name = rebuild->entry->name;
  if (!OpenLmrStreams(rebuild) || !CopyKeptSlots(pack, rebuild)) return false;
  if (rebuild->kept != pack->retainedCount) {
    return ReportError(rebuild->counters, "ERROR: %s retained-slot count mismatch.\n", name);
  }
  if (!AppendZeroCapacity(rebuild)) return false;
  if (!FinishStagingStreams(&rebuild->streams)) {
    return ReportError(rebuild->counters, "ERROR: I/O error while finalizing staged %s%s.\n", name,
                       CauseOfStreamFailure().text);
  }
  return true;
}

// On disk, hashed, closed, and exactly as large as the live file it replaces.
bool VerifyStagedLmrFile(LmrRebuild* rebuild, LmrFileEntry* entry) {
  return SnapshotStagedOutput(rebuild->staged, &entry->stagedSnapshot) &&
         CloseStagingStreams(&rebuild->streams) && entry->stagedSnapshot.size == entry->size;
}

}  // namespace

bool BuildStagedLmrFile(LmrFileEntry* entry, const PackContext* pack, RunCounters* counters) {
  if (!StagedPathFor(&entry->stagedPath, entry->path.text)) {
    return ReportError(counters, "ERROR: staged path is too long for %s.\n", entry->name);
  }
  LmrRebuild rebuild;
  rebuild.entry = entry;
  rebuild.counters = counters;
  rebuild.blocks.reset(new (std::nothrow) SlotBlocks);
  if (!rebuild.blocks) {
    return ReportError(counters, "ERROR: out of memory while rebuilding %s.\n", entry->name);
  }
  RegisterCleanup(entry->stagedPath.text);
  if (!WriteStagedLmrFile(pack, &rebuild)) return false;
  if (!VerifyStagedLmrFile(&rebuild, entry)) {
    ReportError(counters, "ERROR: staged %s size/hash verification failed.\n", entry->name);
    DiscardStagedFile(entry->stagedPath.text);
    return false;
  }
  Tee("Staged %-16s %" PRIu64 " bytes; %u live user slots + zero capacity, verified.\n",
      entry->name, entry->stagedSnapshot.size, pack->retainedCount);
  return true;
}
