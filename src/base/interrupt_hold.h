// Holding interrupts back for the length of a scope. While any hold lives, an
// interrupt is remembered instead of acted on. Holds nest: the outermost one,
// the one that began the wait, ends it when it goes, and then either delivers an
// interrupt that came meanwhile (the clean-up, then the end of the process) or,
// for the commit, keeps it until the run has printed its summary
// (platform::EndByHeldInterrupt). Inner holds change nothing when they go.
#pragma once

enum class HeldInterrupt { DeliverAtEnd, KeepForRunEnd };

class InterruptHold {
 public:
  explicit InterruptHold(HeldInterrupt atEnd = HeldInterrupt::DeliverAtEnd);
  ~InterruptHold();
  InterruptHold(const InterruptHold&) = delete;
  InterruptHold& operator=(const InterruptHold&) = delete;

  // True for the hold that began the wait (and so will end it).
  bool Outermost() const { return outermost_; }
  // Ends this hold now, as going out of scope would; later calls do nothing.
  void End();

 private:
  HeldInterrupt atEnd_;
  bool outermost_;
  bool ended_;
};

// How many holds live now, nested or on other threads.
int InterruptHoldDepth();
