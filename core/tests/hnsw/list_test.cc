// Neighbour lists without a count word: the links first, empty slots after them. Every
// rewrite and append must leave exactly the new links and an empty tail, or a reader
// would measure a wrong length and walk stale links.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "hnsw/graph.h"

namespace dralm {
namespace {

class ListStorageTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ListStorageTest, RewritesAndAppendsLeaveTheLinksAndAnEmptyTail) {
  const uint32_t cap = GetParam();
  std::vector<Slot> list(cap, kEmptySlot);
  std::vector<Slot> model;
  std::mt19937 rng(cap);
  for (int step = 0; step < 2000; ++step) {
    if (model.size() < cap && rng() % 3 == 0) {
      const Slot added = rng() % 100000;
      append_to_list(list.data(), list_length(list.data(), cap), added);
      model.push_back(added);
    } else {
      // Lengths 0 and cap (a full list, which has no empty slot) come up often.
      const uint32_t length = rng() % 4 == 0 ? (rng() % 2) * cap : rng() % (cap + 1);
      model.resize(length);
      for (Slot& s : model) s = rng() % 100000;
      store_list(list.data(), cap, model.data(), length);
    }
    ASSERT_EQ(list_length(list.data(), cap), model.size()) << "step " << step;
    for (uint32_t i = 0; i < cap; ++i) {
      ASSERT_EQ(list[i], i < model.size() ? model[i] : kEmptySlot)
          << "step " << step << " at " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Caps, ListStorageTest, ::testing::Values(1u, 12u, 32u));

}  // namespace
}  // namespace dralm
