// The staged copy of one LMR file: the retained users' slots in their order,
// then zero capacity up to the live file's size.
#include <cinttypes>
#include <cstring>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/paths.h"
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

unsigned char g_liveBlock[kSlotBlockBytes];
unsigned char g_keptBlock[kSlotBlockBytes];
char g_stagedStreamBuffer[kStagingStreamBufferSize];
const unsigned char kZeroPiece[kZeroPieceBytes] = {};

// The state of one rebuild; streams are null while not open.
struct LmrRebuild {
  FILE* live;
  FILE* staged;
  size_t pendingBytes;  // kept slots in g_keptBlock not yet written
  uint64_t kept;
  WritebackPacer pacer;
};

// The common failure exit: the message has been printed already.
bool FailLmrFile(LmrFileEntry* entry, LmrRebuild* rebuild, RunCounters* counters) {
  counters->errors++;
  CloseIfOpen(&rebuild->live);
  CloseIfOpen(&rebuild->staged);
  DiscardStagedFile(entry->stagedPath.text);
  return false;
}

bool OpenLmrStreams(const LmrFileEntry* entry, LmrRebuild* rebuild) {
  int firstError = 0;
  rebuild->live = OpenStagingStream(entry->path.text, "rb", &firstError);
  rebuild->staged = CreateReplacementStream(entry->stagedPath.text, &firstError);
  if (rebuild->live == nullptr || rebuild->staged == nullptr) {
    Tee("ERROR: cannot open source/staged %s: %s\n", entry->name, strerror(firstError));
    return false;
  }
  UseStagingBuffer(rebuild->staged, g_stagedStreamBuffer);
  return true;
}

bool WritePendingSlots(LmrRebuild* rebuild) {
  const size_t bytes = rebuild->pendingBytes;
  rebuild->pendingBytes = 0;
  if (!WriteExactly(rebuild->staged, g_keptBlock, bytes)) return false;
  PaceWriteback(rebuild->staged, &rebuild->pacer, bytes);
  return true;
}

bool KeepSlot(LmrRebuild* rebuild, const unsigned char* slot) {
  memcpy(g_keptBlock + rebuild->pendingBytes, slot, kLmrSlotSize);
  rebuild->pendingBytes += kLmrSlotSize;
  rebuild->kept++;
  return rebuild->pendingBytes < sizeof g_keptBlock || WritePendingSlots(rebuild);
}

bool IsKeptSlot(uint64_t slot, const PackContext* pack) {
  return slot < pack->userCount && pack->purgeMap[slot] == 0;
}

bool ReportSlotWriteFailure(const LmrFileEntry* entry) {
  Tee("ERROR: write failure while rebuilding %s.\n", entry->name);
  return false;
}

// Reads all slotCount slots of the live file, the capacity after the last user
// included, and keeps the slots of retained users. A file that ended early
// names its first incomplete slot, after the kept slots before it were written.
bool CopyKeptSlots(const LmrFileEntry* entry, const PackContext* pack, LmrRebuild* rebuild) {
  const uint64_t slotsPerBlock = kSlotBlockBytes / kLmrSlotSize;
  uint64_t slot = 0;
  while (slot < entry->slotCount) {
    const uint64_t remaining = entry->slotCount - slot;
    const uint64_t wanted = remaining < slotsPerBlock ? remaining : slotsPerBlock;
    const size_t got = fread(g_liveBlock, 1, static_cast<size_t>(wanted) * kLmrSlotSize,
                             rebuild->live);
    const uint64_t complete = got / kLmrSlotSize;
    for (uint64_t k = 0; k < complete; ++k, ++slot) {
      if (IsKeptSlot(slot, pack) && !KeepSlot(rebuild, g_liveBlock + k * kLmrSlotSize)) {
        return ReportSlotWriteFailure(entry);
      }
    }
    if (complete < wanted) {
      if (!WritePendingSlots(rebuild)) return ReportSlotWriteFailure(entry);
      Tee("ERROR: short read while rebuilding %s at slot %" PRIu64 ".\n", entry->name, slot + 1);
      return false;
    }
  }
  return WritePendingSlots(rebuild) || ReportSlotWriteFailure(entry);
}

// The slots freed by the purge, and the capacity after the last user, are zero.
bool AppendZeroCapacity(const LmrFileEntry* entry, LmrRebuild* rebuild) {
  uint64_t remaining = (entry->slotCount - rebuild->kept) * kLmrSlotSize;
  while (remaining > 0) {
    const size_t piece = remaining < kZeroPieceBytes ? static_cast<size_t>(remaining)
                                                     : kZeroPieceBytes;
    if (!WriteExactly(rebuild->staged, kZeroPiece, piece)) {
      Tee("ERROR: could not append zero-capacity slots to %s.\n", entry->name);
      return false;
    }
    remaining -= piece;
  }
  return true;
}

bool FinalizeLmrStreams(const LmrFileEntry* entry, LmrRebuild* rebuild) {
  if (ferror(rebuild->live) != 0 || fflush(rebuild->staged) != 0) {
    Tee("ERROR: I/O error while finalizing staged %s.\n", entry->name);
    return false;
  }
  return true;
}

bool CloseLmrStreams(LmrRebuild* rebuild) {
  const bool liveClosed = CloseStream(&rebuild->live);
  const bool stagedClosed = CloseStream(&rebuild->staged);
  return liveClosed && stagedClosed;
}

// On disk, hashed, and exactly as large as the live file it replaces.
bool VerifyStagedLmrFile(LmrFileEntry* entry) {
  return FlushFileToDisk(entry->stagedPath.text) &&
         TakeSnapshot(entry->stagedPath.text, &entry->stagedSnapshot) &&
         entry->stagedSnapshot.size == entry->size;
}

}  // namespace

bool BuildStagedLmrFile(LmrFileEntry* entry, const PackContext* pack, RunCounters* counters) {
  if (!StagedPathFor(&entry->stagedPath, entry->path.text)) {
    return ReportError(counters, "ERROR: staged path is too long for %s.\n", entry->name);
  }
  RemoveIfRegularFile(entry->stagedPath.text);
  RegisterCleanup(entry->stagedPath.text);

  LmrRebuild rebuild = {};
  if (!OpenLmrStreams(entry, &rebuild)) return FailLmrFile(entry, &rebuild, counters);
  if (!CopyKeptSlots(entry, pack, &rebuild)) return FailLmrFile(entry, &rebuild, counters);
  if (rebuild.kept != pack->retainedCount) {
    Tee("ERROR: %s retained-slot count mismatch.\n", entry->name);
    return FailLmrFile(entry, &rebuild, counters);
  }
  if (!AppendZeroCapacity(entry, &rebuild)) return FailLmrFile(entry, &rebuild, counters);
  if (!FinalizeLmrStreams(entry, &rebuild)) return FailLmrFile(entry, &rebuild, counters);
  if (!CloseLmrStreams(&rebuild)) {
    DiscardStagedFile(entry->stagedPath.text);
    return false;
  }
  if (!VerifyStagedLmrFile(entry)) {
    ReportError(counters, "ERROR: staged %s size/hash verification failed.\n", entry->name);
    DiscardStagedFile(entry->stagedPath.text);
    return false;
  }
  Tee("Staged %-16s %" PRIu64 " bytes; %u live user slots + zero capacity, verified.\n",
      entry->name, entry->stagedSnapshot.size, pack->retainedCount);
  return true;
}
