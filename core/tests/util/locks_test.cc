// The lock guards take their lock in the mode their name says: an exclusive hold (of
// a RwLock or a Mutex) is alone, shared holds of a RwLock run side by side. Which lock
// guards which field is the compiler's check (util/thread_annotations.h), not this one.
#include "util/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

namespace dralm {
namespace {

constexpr int kRounds = 2000;

// Who is inside the lock right now, and how often a holder met someone it must not.
struct Occupancy {
  std::atomic<int> exclusive{0};
  std::atomic<int> shared{0};
  std::atomic<int> clashes{0};

  // An exclusive holder must find nobody else inside.
  void enter_exclusive() {
    if (exclusive.fetch_add(1) != 0 || shared.load() != 0) clashes.fetch_add(1);
    std::this_thread::yield();  // stay inside a while, so an intruder gets its chance
    exclusive.fetch_sub(1);
  }
  // A shared holder must find no exclusive holder inside.
  void enter_shared() {
    shared.fetch_add(1);
    if (exclusive.load() != 0) clashes.fetch_add(1);
    std::this_thread::yield();
    shared.fetch_sub(1);
  }
};

// Runs `writers` threads taking `exclusive` and `readers` threads taking `shared`,
// kRounds times each, and returns how many clashes they saw.
template <typename Exclusive, typename Shared>
int clashes_of(int writers, Exclusive exclusive, int readers, Shared shared) {
  Occupancy inside;
  std::vector<std::thread> threads;
  for (int i = 0; i < writers; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) exclusive(inside);
    });
  }
  for (int i = 0; i < readers; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) shared(inside);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return inside.clashes.load();
}

TEST(LocksTest, ExclusiveGuardExcludesWritersAndReaders) {
  RwLock lock;
  const int clashes = clashes_of(
      2,
      [&](Occupancy& inside) {
        ExclusiveGuard guard(lock);
        inside.enter_exclusive();
      },
      2,
      [&](Occupancy& inside) {
        SharedGuard guard(lock);
        inside.enter_shared();
      });
  EXPECT_EQ(clashes, 0);
}

TEST(LocksTest, MutexGuardExcludesEveryOtherHolder) {
  Mutex mutex;
  const int clashes = clashes_of(
      4,
      [&](Occupancy& inside) {
        MutexGuard guard(mutex);
        inside.enter_exclusive();
      },
      0, [](Occupancy&) {});
  EXPECT_EQ(clashes, 0);
}

TEST(LocksTest, SharedGuardsAreHeldAtOnce) {
  RwLock lock;
  std::atomic<bool> second_holds{false};
  std::optional<SharedGuard> first(std::in_place, lock);
  std::thread second([&] {
    SharedGuard guard(lock);
    second_holds.store(true);
  });
  // Were a shared hold exclusive, the second thread could not get in while `first`
  // holds the lock, and the wait would run out.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!second_holds.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool held_at_once = second_holds.load();
  first.reset();
  second.join();
  EXPECT_TRUE(held_at_once);
}

// Readers whose holds overlap, so the lock is never free: with a lock that lets new
// readers overtake a waiting writer (glibc's default) the writer would never get in.
// It must: readers that arrive after it queued wait for it.
TEST(LocksTest, OverlappingReadersDoNotStarveAWriter) {
  RwLock lock;
  std::atomic<bool> written{false};
  std::atomic<int> entries{0};
  auto reader = [&] {
    while (!written.load()) {
      SharedGuard guard(lock);
      const int mine = entries.fetch_add(1) + 1;
      // Hold until the other reader has come in after this one, so some reader holds
      // the lock at every moment. Once the writer queues, the other reader cannot come
      // in; the wait then runs out and the writer gets its turn.
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (entries.load() == mine && std::chrono::steady_clock::now() < until &&
             !written.load()) {
        std::this_thread::yield();
      }
    }
  };
  std::thread first(reader), second(reader);
  while (entries.load() < 2) std::this_thread::yield();
  std::thread writer([&] {
    ExclusiveGuard guard(lock);
    written.store(true);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!written.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool got_in = written.load();
  written.store(true);  // lets the readers stop if the writer never got in
  first.join();
  second.join();
  writer.join();
  EXPECT_TRUE(got_in);
}

}  // namespace
}  // namespace dralm
