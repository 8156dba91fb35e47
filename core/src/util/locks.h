// Lock types of the engine. Locks are only ever taken through RAII guards.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <shared_mutex>

namespace dralm {

// Reader-writer lock: many shared holders or one exclusive holder; not reentrant.
// A waiting writer goes before readers that arrive after it, so a steady stream of
// searches cannot starve a write (glibc's default, behind std::shared_mutex, lets new
// readers overtake a queued writer indefinitely). The price is that a thread must
// never take the same lock shared twice: with a writer queued in between, the second
// shared acquisition would wait for a writer that waits for the first.
class RwLock {
 public:
  RwLock() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attributes);
    pthread_rwlockattr_destroy(&attributes);
  }
  ~RwLock() { pthread_rwlock_destroy(&lock_); }
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() { pthread_rwlock_wrlock(&lock_); }
  bool try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
  void unlock() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};

using SharedGuard = std::shared_lock<RwLock>;
using ExclusiveGuard = std::unique_lock<RwLock>;

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
