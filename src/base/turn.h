// Taking turns without a lock the interrupt side could wait on: a scope that
// spins until it owns a flag and gives it back when it ends. The interrupt side
// never takes a turn; it reads only what a turn has published.
#pragma once

#include <atomic>

class Turn {
 public:
  explicit Turn(std::atomic<bool>& taken) : taken_(taken) {
    while (taken_.exchange(true, std::memory_order_acquire)) {
    }
  }
  ~Turn() { taken_.store(false, std::memory_order_release); }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  std::atomic<bool>& taken_;
};
