// The text routines and the interrupt state both backends share.
#include <atomic>
#include <cstring>

#include "platform/interrupt_state.h"
#include "platform/platform.h"

namespace platform {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void CopyBounded(char* dest, size_t size, const char* source) {
  const size_t len = strnlen(source, size - 1);
  memcpy(dest, source, len);
  dest[len] = '\0';
}

namespace interrupt_state {

namespace {

// Above 0: an interrupt came during a hold and waits, with its event code.
constexpr int kNormal = 0;       // an interrupt runs the clean-up and the process ends
constexpr int kHolding = -1;     // an interrupt is remembered in the word itself
constexpr int kCleaningUp = -2;  // an interrupt's clean-up is under way; the process is ending

std::atomic<int> g_state{kNormal};
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt side changes it");

}  // namespace

Claim ClaimInterrupt(int event) {
  int state = g_state.load();
  // A failed swap reloads state: another thread moved it meanwhile.
  for (;;) {
    if (state == kNormal) {
      if (g_state.compare_exchange_weak(state, kCleaningUp)) return Claim::CleanUp;
    } else if (state == kHolding) {
      if (g_state.compare_exchange_weak(state, event)) return Claim::Held;
    } else {
      return Claim::Ignored;
    }
  }
}

bool BeginHold() {
  int state = kNormal;
  return g_state.compare_exchange_strong(state, kHolding) || state != kCleaningUp;
}

void EndUnusedHold() {
  int state = kHolding;
  g_state.compare_exchange_strong(state, kNormal);
}

int EndHoldTakingEvent() {
  int state = kHolding;
  if (g_state.compare_exchange_strong(state, kNormal)) return 0;
  // Only a held event is taken; kNormal and kCleaningUp have none to give.
  while (state > 0 && !g_state.compare_exchange_weak(state, kCleaningUp)) {
  }
  return state > 0 ? state : 0;
}

int HeldEvent() {
  const int state = g_state.load();
  return state > 0 ? state : 0;
}

bool Holding() {
  const int state = g_state.load();
  return state == kHolding || state > 0;
}

}  // namespace interrupt_state

}  // namespace platform
