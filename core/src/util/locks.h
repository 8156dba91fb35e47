// Lock types of the engine and their guards. Locks are only ever taken through the
// RAII guards below (the lock and unlock calls are private to them), and every lock
// and guard is annotated for clang's thread-safety analysis (thread_annotations.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "util/thread_annotations.h"

namespace dralm {

class SharedGuard;
class ExclusiveGuard;
class MutexGuard;

// Reader-writer lock: many shared holders or one exclusive holder; not reentrant.
// A waiting writer goes before readers that arrive after it, so a steady stream of
// searches cannot starve a write. The price is that a thread must never take the same
// lock shared twice: with a writer queued in between, the second shared acquisition
// would wait for a writer that waits for the first.
//
// The whole state is one word: the reader count and a writer bit. A writer sets the bit
// (from then on no reader gets in) and waits for the readers inside to leave. Waiting
// spins for a short while before it sleeps: the holds it waits for are mostly short (a
// search, a publishing step of a few microseconds), and the thread it waits for runs on
// another CPU, so spinning takes the lock the moment it is free, where a sleeper would
// first have to be woken and scheduled again (tens of microseconds, as long as the wait
// itself). A wait that outlasts the spin sleeps on the word (a futex).
class CAPABILITY("mutex") RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

 private:
  friend class SharedGuard;
  friend class ExclusiveGuard;

  static constexpr uint32_t kWriter = 1u << 31;      // a writer holds or waits for the lock
  static constexpr uint32_t kReaders = kWriter - 1;  // the count of shared holders

  void lock() ACQUIRE() {
    uint32_t seen = 0;
    if (!state_.compare_exchange_strong(seen, kWriter, std::memory_order_acquire)) {
      lock_slow();
    }
  }
  void unlock() RELEASE() {
    state_.fetch_and(~kWriter);
    state_.notify_all();
  }
  void lock_shared() ACQUIRE_SHARED() {
    uint32_t seen = state_.load(std::memory_order_relaxed);
    if ((seen & kWriter) != 0 ||
        !state_.compare_exchange_strong(seen, seen + 1, std::memory_order_acquire)) {
      lock_shared_slow();
    }
  }
  void unlock_shared() RELEASE_SHARED() {
    const uint32_t before = state_.fetch_sub(1);
    // The last reader out wakes a writer waiting for the readers to leave.
    if (before == (kWriter | 1)) state_.notify_all();
  }

  void lock_slow();
  void lock_shared_slow();

  std::atomic<uint32_t> state_{0};
};

// Holds `lock` shared from construction to destruction.
class SCOPED_CAPABILITY SharedGuard {
 public:
  explicit SharedGuard(RwLock& lock) ACQUIRE_SHARED(lock) : lock_(lock) { lock_.lock_shared(); }
  ~SharedGuard() RELEASE() { lock_.unlock_shared(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;

 private:
  RwLock& lock_;
};

// Holds `lock` exclusive from construction to destruction.
class SCOPED_CAPABILITY ExclusiveGuard {
 public:
  explicit ExclusiveGuard(RwLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~ExclusiveGuard() RELEASE() { lock_.unlock(); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

 private:
  RwLock& lock_;
};

// A plain mutex (std::mutex) that the analysis knows as a lock.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

 private:
  friend class MutexGuard;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

  std::mutex mutex_;
};

// Holds `mutex` from construction to destruction.
class SCOPED_CAPABILITY MutexGuard {
 public:
  explicit MutexGuard(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexGuard() RELEASE() { mutex_.unlock(); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace dralm
