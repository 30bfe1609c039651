// The last-message-read files of the MESSAGE directory: found, checked by name,
// snapshotted and sorted once per run.
#pragma once

#include <cstdint>
#include <cstdlib>
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

// Frees what calloc gave: the system hands out zeroed pages that the run touches
// only for the entries it fills, instead of clearing the whole table up front.
struct FreeInventoryEntries {
  void operator()(LmrFileEntry* entries) const { std::free(entries); }
};

struct LmrInventory {
  // kLmrInventoryCapacity entries, zero-filled, or null
  std::unique_ptr<LmrFileEntry[], FreeInventoryEntries> entries;
  uint32_t count;
  PathBuffer messageDir;  // where the files were listed, to list them again
};

// True for QVMSG<1-7 digits>.LMR, ignoring letter case.
bool IsLmrFileName(const char* name);

// Allocates the zero-filled 512-entry array; false when out of memory.
bool AllocateLmrInventory(LmrInventory* inventory);

// The listed sizes of all the inventory's LMR files together.
uint64_t LmrInventoryBytes(const LmrInventory* inventory);

// The user files, when their snapshots are taken alongside the LMR files'.
struct UserFileSnapshots {
  const char* datPath;
  const char* ptrPath;
  FileSnapshot* dat;
  FileSnapshot* ptr;
  uint64_t bytes;  // both files' sizes, for the progress line
};

// Finds, records and sorts the LMR files of messageDir, by name alone: no file
// is read. On failure prints and counts its error.
bool ListLmrFiles(const char* messageDir, LmrInventory* inventory, RunCounters* counters);

// Finds, records, snapshots and sorts the LMR files of messageDir, hashing them
// side by side, and userFiles (unless null) with them. On failure prints and
// counts its error; the user files' snapshots say themselves whether they are ok.
bool BuildLmrInventory(const char* messageDir, LmrInventory* inventory, RunCounters* counters,
                       const UserFileSnapshots* userFiles = nullptr);

// MESSAGE listed again against the inventory: an LMR file that appeared (it
// would keep the old numbering), one that is gone (removed or renamed), or a
// listing that failed. The first difference found is named.
enum class LmrRelisting { Same, Appeared, Gone, ListingFailed };
struct LmrRelistResult {
  LmrRelisting outcome;
  char name[260];  // the file that appeared or is gone
  uint32_t error;  // ListingFailed: the Windows code (0: none known)
  int sysError;    // ListingFailed on POSIX: the errno behind it
};
LmrRelistResult RelistLmrFiles(const LmrInventory* inventory);

// Relists and reports a difference through Tee with when ("since the inventory",
// "during the commit"); counts it. True when MESSAGE holds just the inventory's files.
bool CheckLmrListingUnchanged(const LmrInventory* inventory, const char* when,
                              RunCounters* counters);

// The LMR section of file validation.
void ReportLmrInventory(const LmrInventory* inventory, RunCounters* counters);
