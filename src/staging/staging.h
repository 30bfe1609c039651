// Building the replacement files beside the live ones (".QVCNEW"), each verified.
#pragma once

#include "base/run_counters.h"
#include "safety/lmr_inventory.h"
#include "staging/pack_context.h"

// Staged QVUSERS.DAT and QVUSERS.PTR: retained records in order, every pointer
// record rebuilt from its user record.
bool BuildStagedUserFiles(const char* usersDat, const char* usersPtr, PackContext* pack,
                          RunCounters* counters);

// Staged copy of one LMR file: retained users' slots in order, then zero capacity.
bool BuildStagedLmrFile(LmrFileEntry* entry, const PackContext* pack, RunCounters* counters);

// Staged QVPURGED.USR: the old audit log, verified, plus this run's block.
bool BuildStagedPurgedLog(const char* usersDat, const char* workDir, const char* runDate,
                          const char* runTime, PackContext* pack, RunCounters* counters);

// The most this run's block adds to QVPURGED.USR: its heading and one line per purged user.
uint64_t AuditBlockBytesAtMost(uint32_t purgeCount);

// Deletes every staged file the context and the inventory name that still exists.
void RemoveStagedFiles(const PackContext* pack, const LmrInventory* inventory);

// Deletes a staged file or copy when it is a regular file, and unregisters it
// from the interrupt clean-up.
void DiscardStagedFile(const char* path);
