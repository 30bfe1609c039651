// The interrupt state both backends keep: one atomic word, changed only by
// compare-and-swap, so that an interrupt that comes while the run looks at the
// state or ends a hold is never lost. Included by the backends only; the
// operations behind HoldInterrupts and its kin in platform.h.
#pragma once

namespace platform::interrupt_state {

// What an interrupt (POSIX: a signal; Windows: a console control event) is to do.
enum class Claim {
  CleanUp,  // no hold: run the clean-up and end the process
  Held,     // a hold: remembered, for the run to act on when the hold ends
  Ignored,  // one was held or is being cleaned up already: one is enough
};

// The interrupt side's move; event is the interrupt's code, above 0. Async-signal-safe.
Claim ClaimInterrupt(int event);
// Starts a hold (kept when one is on already); false when an interrupt's clean-up
// is under way and the process is ending.
bool BeginHold();
// Ends a hold no interrupt came during; a held interrupt keeps it.
void EndUnusedHold();
// Ends a hold: 0 when no interrupt came, else the held event, whose clean-up
// the caller now owns.
int EndHoldTakingEvent();
// The held event, 0 when none.
int HeldEvent();
// True from BeginHold until the hold ends.
bool Holding();

}  // namespace platform::interrupt_state
