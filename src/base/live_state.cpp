// The live database's state machine and the interrupt notice of each state.
#include "base/live_state.h"

#include <atomic>

#include "base/cleanup_registry.h"
#include "base/output.h"

namespace {

struct Move {
  LiveState from;
  LiveEvent event;
  LiveState to;
};

// Every move there is; anything else is none.
constexpr Move kMoves[] = {
    {LiveState::NotRead, LiveEvent::ReadBegins, LiveState::Read},
    {LiveState::NotRead, LiveEvent::MarkerFound, LiveState::EarlierMarker},
    {LiveState::Read, LiveEvent::SnapshotsTaken, LiveState::Snapshotted},
    {LiveState::Snapshotted, LiveEvent::MarkerWritten, LiveState::Committing},
    {LiveState::Committing, LiveEvent::StoppedUnreplaced, LiveState::Snapshotted},
    {LiveState::Committing, LiveEvent::Verified, LiveState::Committed},
    {LiveState::Committing, LiveEvent::RolledBack, LiveState::RolledBack},
    {LiveState::Committing, LiveEvent::RollbackFailed, LiveState::Mixed},
};

constexpr int kStates = static_cast<int>(LiveState::Mixed) + 1;

std::atomic<LiveState> g_state{LiveState::NotRead};
const char* g_program = "QVCULLDB32";
// One notice per state, formatted when the run starts: an interrupt reads them
// without formatting anything.
char g_notices[kStates][320];

const char* NoticeTemplate(LiveState state) {
  switch (state) {
    case LiveState::NotRead:
      return "\nINTERRUPTED: %s was stopped before it read the live database files; it wrote "
             "none.\nDatabase state:      NOT WRITTEN - this run stopped before it read the user "
             "files and the LMR files.\nNext step:           run again.\n";
    case LiveState::Read:
    case LiveState::Snapshotted:
      return "\nINTERRUPTED: %s was stopped. It wrote no live database file.\nDatabase state:  "
             "    NOT WRITTEN - this run wrote no live file and did not look at them again.\n"
             "Next step:           keep the nodes closed and preview (/DRYRUN) to see their "
             "state, then run again.\n";
    case LiveState::EarlierMarker:
      return "\nINTERRUPTED: %s was stopped. It wrote no live database file.\nDatabase state:  "
             "    UNKNOWN - an earlier run's commit marker is in place.\nNext step:           "
             "keep the nodes closed and preview (/DRYRUN) to see what the marker shows.\n";
    case LiveState::Committing:
      return "\nINTERRUPTED: %s was stopped inside its commit. Keep the nodes offline and read "
             "this report.\n";
    case LiveState::Committed:
      return "\nINTERRUPTED: stopped after the commit. The new database files are in place and "
             "verified.\n";
    case LiveState::RolledBack:
      return "\nINTERRUPTED: stopped after the rollback. The database files are as they were "
             "before this run, verified.\n";
    case LiveState::Mixed:
      break;
  }
  return "\nINTERRUPTED: stopped after a failed commit. Keep the nodes offline and read this "
         "report.\n";
}

}  // namespace

LiveState NextLiveState(LiveState state, LiveEvent event, bool* moved) {
  for (const Move& move : kMoves) {
    if (move.from == state && move.event == event) {
      *moved = true;
      return move.to;
    }
  }
  *moved = false;
  return state;
}

const char* LiveInterruptNotice(LiveState state) { return g_notices[static_cast<int>(state)]; }

void StartLiveState(const char* programName) {
  g_program = programName;
  for (int i = 0; i < kStates; ++i) {
    FormatBounded(g_notices[i], sizeof g_notices[i], NoticeTemplate(static_cast<LiveState>(i)),
                  g_program);
  }
  g_state.store(LiveState::NotRead);
  SetInterruptNotice(LiveInterruptNotice(LiveState::NotRead));
}

void AdvanceLiveState(LiveEvent event) {
  bool moved = false;
  const LiveState next = NextLiveState(g_state.load(), event, &moved);
  if (!moved) return;
  g_state.store(next);
  SetInterruptNotice(LiveInterruptNotice(next));
}

LiveState CurrentLiveState() { return g_state.load(); }
