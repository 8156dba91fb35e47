// IdTable against a model (std::unordered_map id -> slot plus a vector slot -> id) under
// random insert / erase / lookup sequences: growth from empty, deletion-heavy runs that
// exercise the backward shift, ids that share long prefixes, and the empty id.
#include "db/id_table.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace dralm {
namespace {

struct Mix {
  const char* name;
  int insert_weight;
  int erase_weight;
  size_t id_space;  // ids are drawn from this many distinct names
  size_t steps;
};

class IdTableModelTest : public ::testing::TestWithParam<Mix> {};

std::string id_for(size_t n) {
  // Long shared prefixes make every comparison reach the last bytes; n == 0 is the
  // empty id, which is a real id of its own.
  if (n == 0) return std::string();
  return (n % 3 == 0 ? std::string(40, 'p') : std::string()) + "id-" + std::to_string(n);
}

void check_equal(const IdTable& table, const std::unordered_map<std::string, uint32_t>& live,
                 const std::vector<std::string>& by_slot, size_t id_space) {
  ASSERT_EQ(table.size(), live.size());
  ASSERT_EQ(table.slot_count(), by_slot.size());
  for (size_t slot = 0; slot < by_slot.size(); ++slot) {
    ASSERT_EQ(table.id_of(static_cast<uint32_t>(slot)), by_slot[slot]) << "slot " << slot;
  }
  for (size_t n = 0; n < id_space; ++n) {
    const std::string id = id_for(n);
    auto it = live.find(id);
    const std::optional<uint32_t> found = table.find(id);
    if (it == live.end()) {
      ASSERT_FALSE(found.has_value()) << id;
    } else {
      ASSERT_EQ(found, it->second) << id;
    }
  }
  size_t visited = 0;
  table.for_each([&](std::string_view id, uint32_t slot) {
    ++visited;
    auto it = live.find(std::string(id));
    ASSERT_NE(it, live.end()) << id;
    EXPECT_EQ(it->second, slot);
  });
  EXPECT_EQ(visited, live.size());
}

TEST_P(IdTableModelTest, AgreesWithAModel) {
  const Mix mix = GetParam();
  for (uint32_t seed = 0; seed < 4; ++seed) {
    std::mt19937 rng(seed);
    IdTable table;
    std::unordered_map<std::string, uint32_t> live;
    std::vector<std::string> by_slot;
    std::discrete_distribution<int> op({double(mix.insert_weight), double(mix.erase_weight), 2.0});
    std::uniform_int_distribution<size_t> pick(0, mix.id_space - 1);
    for (size_t step = 0; step < mix.steps; ++step) {
      const std::string id = id_for(pick(rng));
      switch (op(rng)) {
        case 0: {  // insert at the next slot, as the database does
          const uint32_t slot = static_cast<uint32_t>(by_slot.size());
          const bool fresh = live.emplace(id, slot).second;
          ASSERT_EQ(table.insert(id, slot), fresh) << id;
          if (fresh) by_slot.push_back(id);
          break;
        }
        case 1: {  // erase, then tombstone the slot
          auto it = live.find(id);
          const std::optional<uint32_t> erased = table.erase(id);
          if (it == live.end()) {
            ASSERT_FALSE(erased.has_value()) << id;
          } else {
            ASSERT_EQ(erased, it->second) << id;
            table.clear_slot(it->second);
            by_slot[it->second].clear();
            live.erase(it);
          }
          break;
        }
        default: {
          auto it = live.find(id);
          ASSERT_EQ(table.find(id), it == live.end() ? std::nullopt : std::optional(it->second));
        }
      }
      if (step % 997 == 0) check_equal(table, live, by_slot, mix.id_space);
    }
    check_equal(table, live, by_slot, mix.id_space);
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, IdTableModelTest,
                         ::testing::Values(Mix{"GrowthFromEmpty", 10, 1, 20000, 20000},
                                           Mix{"DeletionHeavy", 1, 1, 300, 30000},
                                           Mix{"MostlyErasing", 1, 4, 2000, 20000},
                                           Mix{"SmallTableChurn", 3, 3, 12, 5000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IdTableTest, ReserveThenFillFromSlotsGivenOutOfOrder) {
  // The open path: slots sized first, then ids arrive in file order, not slot order.
  IdTable table;
  table.reserve(3, 5, 6);
  table.resize_slots(5);
  EXPECT_TRUE(table.insert("c", 4));
  EXPECT_TRUE(table.insert("a", 0));
  EXPECT_TRUE(table.insert("bb", 2));
  EXPECT_FALSE(table.insert("a", 1));  // listed twice
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(table.id_of(1), "");
  EXPECT_EQ(table.id_of(2), "bb");
  EXPECT_EQ(table.find("c"), 4u);
  EXPECT_EQ(table.find("b"), std::nullopt);
}

}  // namespace
}  // namespace dralm
