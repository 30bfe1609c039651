// What a run knows of the live database, as one machine shared by the packer,
// the restore and the interrupt notice. Every move of a run is one event here;
// the summary's "Database state:" line and the notice an interrupt leaves are
// both read from the state, never from flags of their own.
//
//               ReadBegins             SnapshotsTaken            MarkerWritten
//   NotRead ──────────────▶ Read ──────────────────▶ Snapshotted ─────────────▶ Committing
//      │                                                  ▲                      │  │  │
//      │ MarkerFound                                      │   StoppedUnreplaced  │  │  │
//      ▼                                                  └──────────────────────┘  │  │
//   EarlierMarker                                                      Verified     │  │
//   (an earlier run's commit marker:                 Committed ◀────────────────────┘  │
//    MIXED or UNKNOWN, never UNCHANGED)              RolledBack ◀── RolledBack ────────┤
//                                                    Mixed ◀─────── RollbackFailed ────┘
//
// Any other event leaves the state as it is (and says so): a run never moves
// back to a state that claims less than it did.
#pragma once

enum class LiveState {
  NotRead,        // no live database file read yet (QVNODE.DAT, QVWHOSON.DAT may have been)
  Read,           // reading them; not every snapshot taken
  Snapshotted,    // every live file snapshotted; none written by this run
  EarlierMarker,  // refused over the commit marker an earlier run left
  Committing,     // this run's marker is on disk; renames under way
  Committed,      // every staged file in place and verified
  RolledBack,     // the commit undone, verified against the backup
  Mixed,          // neither: the backup must be restored
};

enum class LiveEvent {
  ReadBegins,
  SnapshotsTaken,
  MarkerFound,
  MarkerWritten,
  StoppedUnreplaced,  // the commit stopped before its first rename
  Verified,
  RolledBack,
  RollbackFailed,
};

// The state after event in state; *moved false (and state unchanged) when the
// event is not a move of that state.
LiveState NextLiveState(LiveState state, LiveEvent event, bool* moved);

// The run's own machine: the program's name for its notices, then its state.
// Each move also sets the notice an interrupt would leave in that state.
void StartLiveState(const char* programName);
void AdvanceLiveState(LiveEvent event);
LiveState CurrentLiveState();

// The notice an interrupt leaves in state (text that outlives the run).
const char* LiveInterruptNotice(LiveState state);
