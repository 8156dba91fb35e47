// Lock types of the engine. Locks are only ever taken through RAII guards.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

namespace dralm {

// Reader-writer lock: many shared holders or one exclusive holder; not reentrant.
using RwLock = std::shared_mutex;
using SharedGuard = std::shared_lock<std::shared_mutex>;
using ExclusiveGuard = std::unique_lock<std::shared_mutex>;

// A one-byte spin lock for neighbour lists: held for one short read or edit.
class SpinLock {
 public:
  void lock() {
    while (state_.exchange(1, std::memory_order_acquire) != 0) {
      while (state_.load(std::memory_order_relaxed) != 0) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      }
    }
  }
  void unlock() { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<uint8_t> state_{0};
};

using SpinGuard = std::lock_guard<SpinLock>;

}  // namespace dralm
