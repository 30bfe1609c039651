// What /PRUNE does with each backup under the root, decided from what is known
// of it, newest first. Pure: the driver gathers the facts and prints.
#pragma once

#include <cstdint>

#include "backup/backup_manifest.h"

struct PruneFacts {
  bool identified;   // IDENTITY.TXT read: a backup this program made
  bool empty;        // a directory named like a backup holding nothing (a removal cut short)
  bool ofThisHome;   // its identity names this home
  bool markerNames;  // the commit marker names it
  bool trusted;      // it, its parts and the root may be trusted
  bool onlyBackupFiles;  // it holds nothing a backup does not
  ManifestState manifest;
  bool mixed;    // made before a restore over a mixed database
  bool checked;  // passes is known
  bool passes;   // the check of /CHECK passes
  bool examined;     // nothing the system failed to read stands in the way of the above
  bool orderUnsure;  // a backup under the root could not be examined: which are older is unsure
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
  KeepUnexamined,     // the system failed to read part of it
  KeepOrderUnsure,    // older, but another backup could not be examined
  KeepComplete,       // /PRUNE alone removes incomplete backups only
  RemoveIncomplete,   // a run stopped while making it
  RemoveEmpty,        // an empty directory a removal cut short left
  RemoveOlder,        // older than the backups kept
};

// keep: the verified backups to keep (0: remove incomplete backups only);
// *kept: those kept so far, counted here.
PruneDecision DecidePrune(const PruneFacts& facts, uint32_t keep, uint32_t* kept);

inline bool Removes(PruneDecision decision) {
  return decision == PruneDecision::RemoveIncomplete || decision == PruneDecision::RemoveOlder ||
         decision == PruneDecision::RemoveEmpty;
}
