// The waiting paths of RwLock: spin for a short while, then sleep on the state word.
#include "util/locks.h"

#include <chrono>

namespace dralm {
namespace {

// How long a waiter spins before it sleeps: about the length of a search over a
// hundred thousand vectors, the longest hold that is common. Longer holds (a batch's
// publishing step, a save) are rare, and their waiters sleep after this.
constexpr auto kSpinFor = std::chrono::microseconds(50);

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Waits until `state` holds a value for which `ready` is true, and returns that value:
// spinning first, then sleeping on the word until a change wakes it. The loads acquire,
// so the holder that left has handed over everything it wrote.
template <typename Ready>
uint32_t wait_until(std::atomic<uint32_t>& state, Ready ready) {
  const auto spin_until = std::chrono::steady_clock::now() + kSpinFor;
  uint32_t seen = state.load(std::memory_order_acquire);
  while (!ready(seen)) {
    for (int i = 0; i < 64 && !ready(seen); ++i) {
      cpu_relax();
      seen = state.load(std::memory_order_acquire);
    }
    if (ready(seen)) break;
    if (std::chrono::steady_clock::now() >= spin_until) {
      state.wait(seen, std::memory_order_acquire);
      seen = state.load(std::memory_order_acquire);
    }
  }
  return seen;
}

}  // namespace

void RwLock::lock_slow() {
  // First the writer bit, taken only when no other writer has it; readers still inside
  // may hold the lock, but none gets in from now on.
  for (;;) {
    uint32_t seen = wait_until(state_, [](uint32_t s) { return (s & kWriter) == 0; });
    if (state_.compare_exchange_weak(seen, seen | kWriter, std::memory_order_acquire)) break;
  }
  // Then the readers inside leave; the last one wakes a sleeping writer.
  wait_until(state_, [](uint32_t s) { return (s & kReaders) == 0; });
}

void RwLock::lock_shared_slow() {
  for (;;) {
    uint32_t seen = wait_until(state_, [](uint32_t s) { return (s & kWriter) == 0; });
    if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) return;
  }
}

}  // namespace dralm
