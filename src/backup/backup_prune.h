// What /PRUNE does with each backup under the root, decided from what is known
// of it, newest first. Pure: the driver gathers the facts and prints.
#pragma once

#include <cstdint>

#include "backup/backup_manifest.h"

struct PruneFacts {
  bool identified;   // IDENTITY.TXT read: a backup this program made
  bool ofThisHome;   // its identity names this home
  bool markerNames;  // the commit marker names it
  bool trusted;      // it, its parts and the root may be trusted
  bool onlyBackupFiles;  // it holds nothing a backup does not
  ManifestState manifest;
  bool mixed;    // made before a restore over a mixed database
  bool checked;  // passes is known
  bool passes;   // the check of /CHECK passes
};

enum class PruneDecision {
  NeedsCheck,         // run the check of /CHECK, set checked and passes, decide again
  KeepVerified,       // among the newest that pass
  KeepFailing,        // fails the check; kept until enough newer ones pass
  KeepNotOurs,        // no IDENTITY.TXT: not a backup this program made
  KeepOtherHome,      // another home's: prune it from there
  KeepMarkerNames,    // the commit marker names it
  KeepUntrusted,      // cannot be trusted
  KeepForeignFiles,   // holds something no backup holds
  KeepUnreadable,     // its manifest is not one this program writes
  KeepMixed,          // holds a mix; removed only by hand
  KeepComplete,       // /PRUNE alone removes incomplete backups only
  RemoveIncomplete,   // a run stopped while making it
  RemoveOlder,        // older than the backups kept
};

// keep: the verified backups to keep (0: remove incomplete backups only);
// *kept: those kept so far, counted here.
PruneDecision DecidePrune(const PruneFacts& facts, uint32_t keep, uint32_t* kept);

inline bool Removes(PruneDecision decision) {
  return decision == PruneDecision::RemoveIncomplete || decision == PruneDecision::RemoveOlder;
}
