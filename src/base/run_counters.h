// The ten counters of a run, printed in the summary. Every phase that reports an
// error adds one to `errors`; no phase resets the record.
#pragma once

#include <cstdint>

struct RunCounters {
  uint64_t userRecords;      // complete 315-byte records in QVUSERS.DAT
  uint64_t retained;         // users kept (user #1 included when it matched)
  uint64_t selected;         // users matched by at least one reason
  uint64_t purgeCandidates;  // users that will be / would be purged
  uint64_t protectedUser1;   // user #1 matched and was kept
  uint64_t deletedHits;
  uint64_t secHits;
  uint64_t oldHits;
  uint64_t warnings;
  uint64_t errors;
};
