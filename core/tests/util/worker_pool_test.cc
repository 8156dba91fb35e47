#include "util/worker_pool.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace dralm {
namespace {

TEST(WorkerPoolTest, RunsEveryItemOnceAndResultsLandInInputOrder) {
  for (const size_t count : {0u, 1u, 2u, 3u, 1000u}) {
    std::vector<size_t> out(count, SIZE_MAX);
    std::vector<std::atomic<int>> runs(count);
    parallel_for(count, [&](size_t i) {
      runs[i].fetch_add(1);
      out[i] = i * i;
    });
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(runs[i].load(), 1) << i;
      EXPECT_EQ(out[i], i * i);
    }
  }
}

TEST(WorkerPoolTest, WaitsForSlowItemsBeforeReturning) {
  std::atomic<int> finished{0};
  parallel_for(8, [&](size_t i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 2 == 0 ? 20 : 1));
    finished.fetch_add(1);
  });
  EXPECT_EQ(finished.load(), 8);
}

TEST(WorkerPoolTest, NestedCallsRunInlineWithoutDeadlock) {
  std::vector<std::vector<size_t>> out(6, std::vector<size_t>(5, 0));
  parallel_for(6, [&](size_t i) { parallel_for(5, [&](size_t j) { out[i][j] = i * 10 + j; }); });
  for (size_t i = 0; i < 6; ++i) {
    for (size_t j = 0; j < 5; ++j) EXPECT_EQ(out[i][j], i * 10 + j);
  }
}

TEST(WorkerPoolTest, SeveralCallersShareThePool) {
  constexpr size_t kCallers = 4, kItems = 300;
  std::vector<std::vector<size_t>> out(kCallers, std::vector<size_t>(kItems, 0));
  std::vector<std::thread> callers;
  for (size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 5; ++round) {
        parallel_for(kItems, [&](size_t i) { out[c][i] += i + c; });
      }
    });
  }
  for (std::thread& t : callers) t.join();
  for (size_t c = 0; c < kCallers; ++c) {
    for (size_t i = 0; i < kItems; ++i) EXPECT_EQ(out[c][i], 5 * (i + c));
  }
}

TEST(WorkerPoolTest, ExceptionInAnItemReachesTheCaller) {
  std::atomic<int> ran{0};
  EXPECT_THROW(parallel_for(50,
                            [&](size_t i) {
                              ran.fetch_add(1);
                              if (i == 17) throw std::runtime_error("item failed");
                            }),
               std::runtime_error);
  EXPECT_EQ(ran.load(), 50);  // the other items still ran and were waited for
  // The pool still works afterwards.
  std::atomic<int> after{0};
  parallel_for(10, [&](size_t) { after.fetch_add(1); });
  EXPECT_EQ(after.load(), 10);
}

size_t affinity_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  return static_cast<size_t>(CPU_COUNT(&set));
}

// Restricts the process to one processor, runs a job and exits 0 when the pool has one
// worker and every item ran.
[[noreturn]] void run_on_one_processor() {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  if (sched_setaffinity(0, sizeof(one), &one) != 0) std::exit(3);
  std::vector<int> out(100, 0);
  parallel_for(100, [&](size_t i) { out[i] = 1; });
  for (int x : out) {
    if (x != 1) std::exit(2);
  }
  std::exit(worker_count() == 1 ? 0 : 1);
}

TEST(WorkerPoolTest, OneWorkerPerProcessorOfTheAffinityMask) {
  EXPECT_EQ(worker_count(), affinity_count());
  // A process restricted to one processor (as under `taskset -c 0`) gets one worker and
  // still runs every item. Fresh process: this one may have built its pool already.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_on_one_processor(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace dralm
