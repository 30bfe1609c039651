// The last-message-read files of the MESSAGE directory: found, checked by name,
// snapshotted and sorted once per run.
#pragma once

#include <cstdint>
#include <memory>

#include "base/run_counters.h"
#include "safety/file_snapshot.h"

constexpr uint32_t kLmrInventoryCapacity = 512;
constexpr uint32_t kLmrSlotSize = 4;
constexpr uint64_t kStandardLmrSlots = 9999;

struct LmrFileEntry {
  char name[128];  // as the directory search returned it, e.g. QVMSG1.LMR
  PathBuffer path;
  uint64_t size;
  uint64_t slotCount;
  uint32_t remainder;
  FileSnapshot liveSnapshot;
  PathBuffer stagedPath;  // empty until staged
  FileSnapshot stagedSnapshot;
};

struct LmrInventory {
  std::unique_ptr<LmrFileEntry[]> entries;  // kLmrInventoryCapacity entries, zero-filled, or null
  uint32_t count;
};

// True for QVMSG<1-7 digits>.LMR, ignoring letter case.
bool IsLmrFileName(const char* name);

// Allocates the zero-filled 512-entry array; false when out of memory.
bool AllocateLmrInventory(LmrInventory* inventory);

// Finds, records, snapshots and sorts the LMR files of messageDir. On failure
// prints and counts its error.
bool BuildLmrInventory(const char* messageDir, LmrInventory* inventory, RunCounters* counters);

// The LMR section of file validation.
void ReportLmrInventory(const LmrInventory* inventory, RunCounters* counters);
