// The test binary's entry point. Every test starts with the main thread's level
// generator at the same seed, so the graphs a test builds (and the recall it measures)
// are the same on every run and whatever tests ran before it. Threads a test starts
// itself still draw from the operating system's random source.
#include <gtest/gtest.h>

#include "util/random.h"

namespace {

class SeedLevelsPerTest : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { dralm::seed_thread_random(20261208); }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new SeedLevelsPerTest);
  return RUN_ALL_TESTS();
}
