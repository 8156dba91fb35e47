// The id map's keyed hash and the slot-number limit of writes.
#include "db/id_hash.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/slot_limit.h"

namespace dralm {
namespace {

// Reference vectors of SipHash-2-4 (key 00..0f, message 00..len-1); the 1-3 variant
// the map uses runs the same code with other round counts.
TEST(DbIdMapTest, SipHashMatchesTheReferenceVectors) {
  const uint64_t k0 = 0x0706050403020100ULL;
  const uint64_t k1 = 0x0f0e0d0c0b0a0908ULL;
  std::vector<uint8_t> message(15);
  std::iota(message.begin(), message.end(), uint8_t{0});
  EXPECT_EQ(siphash(2, 4, k0, k1, message.data(), 0), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(siphash(2, 4, k0, k1, message.data(), 15), 0xa129ca6149be45e5ULL);
}

TEST(DbIdMapTest, LooksUpByViewAndSpreadsSimilarIds) {
  std::unordered_map<std::string, uint32_t, IdHash, std::equal_to<>> map;
  for (uint32_t i = 0; i < 1000; ++i) map.emplace("id-" + std::to_string(i), i);
  EXPECT_EQ(map.find(std::string_view("id-417"))->second, 417u);
  EXPECT_EQ(map.find(std::string_view("id-1000")), map.end());
  // A hash that ignored some bytes would pile these into few buckets.
  size_t largest = 0;
  for (size_t b = 0; b < map.bucket_count(); ++b) largest = std::max(largest, map.bucket_size(b));
  EXPECT_LE(largest, 12u);
  EXPECT_NE(IdHash()("a"), IdHash()("b"));
  EXPECT_NE(IdHash()(std::string_view("\0", 1)), IdHash()(""));
}

TEST(DbSlotLimitTest, LastUsableSlotIsBelowTheNoEntryMarker) {
  EXPECT_TRUE(slot_room(0, kMaxSlots).ok());
  EXPECT_TRUE(slot_room(kMaxSlots - 1, 1).ok());  // takes slot 0xFFFFFFFE
  EXPECT_FALSE(slot_room(kMaxSlots, 1).ok());     // would need slot 0xFFFFFFFF
  EXPECT_FALSE(slot_room(kMaxSlots - 2, 3).ok());
  EXPECT_FALSE(slot_room(10, UINT64_MAX).ok()) << "must not wrap";
  EXPECT_TRUE(slot_room(kMaxSlots, 0).ok());
  const Status full = slot_room(kMaxSlots, 1);
  EXPECT_EQ(full.error().kind(), DbError::Kind::Io);
  EXPECT_NE(full.error().message().find("4294967295"), std::string::npos);
}

}  // namespace
}  // namespace dralm
