// The purge scan: reads every user once, applies the selection rules, lists
// every selected user and, in a write run, marks the purge map.
#pragma once

#include <cstdint>

#include "base/run_counters.h"
#include "base/run_options.h"
#include "userdb/last_call_date.h"

// PurgeReason bits.
constexpr unsigned kReasonDeleted = 1;
constexpr unsigned kReasonSec = 2;
constexpr unsigned kReasonOld = 4;

// The selection-rules block printed before the scan.
void PrintSelectionRules(const RunOptions& options);

// Reasons for one user, by the selection rules.
unsigned SelectReasons(const RunOptions& options, int16_t security, bool allowPurge,
                       bool deleted, const LastCallDate& lastCall);

struct SelectionProfile;

// What the scan fills besides the counters: purgeMap (userCount bytes) when not
// null, and the candidate profile, which starts zeroed.
struct ScanOutputs {
  unsigned char* purgeMap;
  SelectionProfile* profile;
};

// Reads every record of usersDat. Returns false after a counted error (open
// failure, short read); what was filled until then is incomplete.
bool PurgeScan(const char* usersDat, const RunOptions& options, CalendarDate today,
               uint64_t userCount, RunCounters* counters, const ScanOutputs& outputs,
               bool writeFlag);
