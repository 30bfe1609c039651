// The live database's state machine: every state against every event, as one table. A move
// not in the table leaves the state as it is, so that no late event makes a claim smaller.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <utility>

#include "base/live_state.h"

namespace {

using S = LiveState;
using E = LiveEvent;

constexpr S kStates[] = {S::NotRead,   S::Read,      S::Snapshotted, S::EarlierMarker,
                         S::Committing, S::Committed, S::RolledBack, S::Mixed};
constexpr E kEvents[] = {E::ReadBegins, E::SnapshotsTaken, E::MarkerFound, E::MarkerWritten,
                         E::StoppedUnreplaced, E::Verified, E::RolledBack, E::RollbackFailed};

TEST(LiveState, MovesAsDrawn) {
  const std::map<std::pair<S, E>, S> moves = {
      {{S::NotRead, E::ReadBegins}, S::Read},
      {{S::NotRead, E::MarkerFound}, S::EarlierMarker},
      {{S::Read, E::SnapshotsTaken}, S::Snapshotted},
      {{S::Snapshotted, E::MarkerWritten}, S::Committing},
      {{S::Committing, E::StoppedUnreplaced}, S::Snapshotted},
      {{S::Committing, E::Verified}, S::Committed},
      {{S::Committing, E::RolledBack}, S::RolledBack},
      {{S::Committing, E::RollbackFailed}, S::Mixed},
  };
  for (S state : kStates) {
    for (E event : kEvents) {
      const auto move = moves.find({state, event});
      bool moved = true;
      const S next = NextLiveState(state, event, &moved);
      EXPECT_EQ(moved, move != moves.end()) << int(state) << " " << int(event);
      EXPECT_EQ(next, move != moves.end() ? move->second : state) << int(state) << " " << int(event);
    }
  }
}

// The notice an interrupt leaves names the program and never claims the files unchanged.
TEST(LiveState, NoticesFollowTheState) {
  StartLiveState("QVRESTORE");
  EXPECT_EQ(CurrentLiveState(), S::NotRead);
  for (E event : {E::ReadBegins, E::SnapshotsTaken, E::Verified, E::MarkerWritten, E::Verified}) {
    AdvanceLiveState(event);
  }
  EXPECT_EQ(CurrentLiveState(), S::Committed);
  for (S state : kStates) {
    const char* notice = LiveInterruptNotice(state);
    EXPECT_EQ(std::strstr(notice, "UNCHANGED"), nullptr) << notice;
    EXPECT_NE(std::strstr(notice, "INTERRUPTED: "), nullptr) << notice;
  }
  EXPECT_NE(std::strstr(LiveInterruptNotice(S::Snapshotted), "QVRESTORE was stopped"), nullptr);
}

}  // namespace
