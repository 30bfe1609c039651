#include "backup/backup_prune.h"

PruneDecision DecidePrune(const PruneFacts& facts, uint32_t keep, uint32_t* kept) {
  // What is never removed, whatever its age.
  if (facts.markerNames) return PruneDecision::KeepMarkerNames;
  if (!facts.examined) return PruneDecision::KeepUnexamined;
  if (!facts.identified) return facts.empty ? PruneDecision::RemoveEmpty : PruneDecision::KeepNotOurs;
  if (!facts.ofThisHome) return PruneDecision::KeepOtherHome;
  if (!facts.trusted) return PruneDecision::KeepUntrusted;
  if (!facts.onlyBackupFiles) return PruneDecision::KeepForeignFiles;
  if (facts.manifest == ManifestState::Missing || facts.manifest == ManifestState::CutShort) {
    return PruneDecision::RemoveIncomplete;
  }
  if (facts.manifest != ManifestState::Complete) return PruneDecision::KeepUnreadable;
  if (facts.mixed) return PruneDecision::KeepMixed;
  if (keep == 0) return PruneDecision::KeepComplete;
  // Older backups go only once enough newer ones pass: never without a good one.
  if (*kept >= keep) {
    return facts.orderUnsure ? PruneDecision::KeepOrderUnsure : PruneDecision::RemoveOlder;
  }
  if (!facts.checked) return PruneDecision::NeedsCheck;
  if (!facts.passes) return PruneDecision::KeepFailing;
  ++*kept;
  return PruneDecision::KeepVerified;
}
