#include "base/interrupt_hold.h"

#include <atomic>

#include "platform/platform.h"

namespace {

std::atomic<int> g_depth{0};

}  // namespace

InterruptHold::InterruptHold(HeldInterrupt atEnd)
    : atEnd_(atEnd), outermost_(!platform::HoldingInterrupts()), ended_(false) {
  g_depth.fetch_add(1);
  if (outermost_) platform::HoldInterrupts();
}

InterruptHold::~InterruptHold() { End(); }

void InterruptHold::End() {
  if (ended_) return;
  ended_ = true;
  g_depth.fetch_sub(1);
  if (!outermost_) return;
  if (atEnd_ == HeldInterrupt::KeepForRunEnd) {
    platform::ReleaseInterrupts();
  } else {
    platform::DeliverHeldInterrupt();
  }
}

int InterruptHoldDepth() { return g_depth.load(); }
