// The lock guards take their lock in the mode their name says: an exclusive hold (of
// a RwLock or a Mutex) is alone, shared holds of a RwLock run side by side. Which lock
// guards which field is the compiler's check (util/thread_annotations.h), not this one.
#include "util/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dralm {
namespace {

// Who is inside the lock right now, and how often a holder met someone it must not.
struct Occupancy {
  std::atomic<int> exclusive{0};
  std::atomic<int> shared{0};
  std::atomic<int> clashes{0};
  // How long a holder stays inside: zero yields once (waiters mostly spin), a hold
  // longer than a waiter's spin sends the waiters to sleep on the lock.
  std::chrono::microseconds hold{0};

  // An exclusive holder must find nobody else inside.
  void enter_exclusive() {
    if (exclusive.fetch_add(1) != 0 || shared.load() != 0) clashes.fetch_add(1);
    stay();  // stay inside a while, so an intruder gets its chance
    exclusive.fetch_sub(1);
  }
  // A shared holder must find no exclusive holder inside.
  void enter_shared() {
    shared.fetch_add(1);
    if (exclusive.load() != 0) clashes.fetch_add(1);
    stay();
    shared.fetch_sub(1);
  }
  void stay() const {
    if (hold.count() == 0) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(hold);
    }
  }
};

// Runs `writers` threads taking `exclusive` and `readers` threads taking `shared`,
// `rounds` times each, each hold lasting `hold`, and returns how many clashes they saw.
template <typename Exclusive, typename Shared>
int clashes_of(int writers, Exclusive exclusive, int readers, Shared shared, int rounds = 2000,
               std::chrono::microseconds hold = std::chrono::microseconds(0)) {
  Occupancy inside;
  inside.hold = hold;
  std::vector<std::thread> threads;
  for (int i = 0; i < writers; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < rounds; ++round) exclusive(inside);
    });
  }
  for (int i = 0; i < readers; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < rounds; ++round) shared(inside);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return inside.clashes.load();
}

// Short holds (waiters catch the lock while spinning) and holds longer than the spin
// (waiters sleep and must be woken by the holder that leaves).
class RwLockHoldTest : public testing::TestWithParam<int> {};

TEST_P(RwLockHoldTest, ExclusiveGuardExcludesWritersAndReaders) {
  const std::chrono::microseconds hold(GetParam());
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
      },
      hold.count() == 0 ? 2000 : 100, hold);
  EXPECT_EQ(clashes, 0);
}

INSTANTIATE_TEST_SUITE_P(Holds, RwLockHoldTest, testing::Values(0, 500),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param == 0 ? std::string("Short") : std::string("Long");
                         });

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
