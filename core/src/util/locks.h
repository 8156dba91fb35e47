// Lock types of the engine and their guards. Locks are only ever taken through the
// RAII guards below (the lock and unlock calls are private to them), and every lock
// and guard is annotated for clang's thread-safety analysis (thread_annotations.h).
#pragma once

#include <pthread.h>

#include <mutex>

#include "util/thread_annotations.h"

namespace dralm {

class SharedGuard;
class ExclusiveGuard;
class MutexGuard;

// Reader-writer lock: many shared holders or one exclusive holder; not reentrant.
// A waiting writer goes before readers that arrive after it, so a steady stream of
// searches cannot starve a write (glibc's default, behind std::shared_mutex, lets new
// readers overtake a queued writer indefinitely). The price is that a thread must
// never take the same lock shared twice: with a writer queued in between, the second
// shared acquisition would wait for a writer that waits for the first.
class CAPABILITY("mutex") RwLock {
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

 private:
  friend class SharedGuard;
  friend class ExclusiveGuard;

  void lock() ACQUIRE() { pthread_rwlock_wrlock(&lock_); }
  void unlock() RELEASE() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() ACQUIRE_SHARED() { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() RELEASE_SHARED() { pthread_rwlock_unlock(&lock_); }

  pthread_rwlock_t lock_;
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
