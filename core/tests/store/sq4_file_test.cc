#include "store/sq4_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/graph_check.h"
#include "support/temp_dir.h"
#include "util/file_io.h"
#include "wal/wal_format.h"

namespace dralm {
namespace {

constexpr size_t kDim = 45, kCount = 500;  // a tail block of 13 dimensions

std::unique_ptr<HnswIndex> make_index(const std::vector<float>& data) {
  auto index = std::make_unique<HnswIndex>(IndexParams{kDim, Metric::Cosine, 8, 40});
  index->insert_batch(data);
  return index;
}

// The saved codes come back byte for byte, without training (an index holding the same
// vectors but other codes takes the file's).
TEST(Sq4FileTest, CodesRoundTripAsSaved) {
  testing::TempDir dir;
  const std::vector<float> data = testing::clustered_data(kCount, kDim, 10, 3);
  const std::unique_ptr<HnswIndex> saved = make_index(data);
  saved->enable_quantization(4);
  ASSERT_TRUE(write_sq4_file(*saved, dir.file("vectors.sq4")).ok());
  EXPECT_FALSE(file_exists(dir.file("vectors.sq4.tmp")));

  const std::unique_ptr<HnswIndex> loaded = make_index(data);
  loaded->insert(std::span<const float>(data).first(kDim));  // one slot too many
  EXPECT_FALSE(load_sq4_file(*loaded, dir.file("vectors.sq4")));
  EXPECT_FALSE(loaded->is_quantized());

  const std::unique_ptr<HnswIndex> fresh = make_index(data);
  ASSERT_TRUE(load_sq4_file(*fresh, dir.file("vectors.sq4")));
  ASSERT_EQ(fresh->quantized_bits(), 4);
  const std::optional<QuantizedState> want = saved->quantized(), got = fresh->quantized();
  EXPECT_EQ(got->rows, want->rows);
  EXPECT_EQ(got->quantizer.mins, want->quantizer.mins);
  EXPECT_EQ(got->quantizer.scales, want->quantizer.scales);
}

struct Damage {
  const char* name;
  std::function<void(std::string&)> apply;
};

class Sq4FileDamageTest : public ::testing::TestWithParam<Damage> {};

// Whatever the damage, the load refuses the file and leaves the index as it was.
TEST_P(Sq4FileDamageTest, IsRefusedAndLeavesTheIndexAsItWas) {
  testing::TempDir dir;
  const std::vector<float> data = testing::clustered_data(kCount, kDim, 10, 4);
  const std::unique_ptr<HnswIndex> index = make_index(data);
  index->enable_quantization(4);
  const std::string path = dir.file("vectors.sq4");
  ASSERT_TRUE(write_sq4_file(*index, path).ok());
  std::string bytes = testing::read_file(path);
  GetParam().apply(bytes);
  testing::write_file(path, bytes);

  const std::optional<QuantizedState> before = index->quantized();
  EXPECT_FALSE(load_sq4_file(*index, path));
  EXPECT_EQ(index->quantized()->rows, before->rows);
  index->disable_quantization();
  EXPECT_FALSE(load_sq4_file(*index, path));
  EXPECT_FALSE(index->is_quantized());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Sq4FileDamageTest,
    ::testing::Values(Damage{"cut", [](std::string& b) { b.resize(b.size() / 2); }},
                      Damage{"empty", [](std::string& b) { b.clear(); }},
                      Damage{"longer", [](std::string& b) { b += std::string(16, '\0'); }},
                      Damage{"magic", [](std::string& b) { b[3] ^= 1; }},
                      Damage{"version", [](std::string& b) { b[8] ^= 1; }},
                      Damage{"dim", [](std::string& b) { b[12] ^= 1; }},
                      Damage{"code_bit", [](std::string& b) { b[b.size() - 50] ^= 0x20; }},
                      Damage{"checksum", [](std::string& b) { b.back() ^= 1; }},
                      // A whole file (checksum matching) whose steps training could never give.
                      Damage{"negative_step",
                             [](std::string& b) {
                               b[8 + 16 + 4 * kDim + 3] ^= char(0x80);  // sign of the first step
                               const size_t summed = b.size() - 4;
                               const uint32_t crc = crc32(b.data(), summed);
                               for (int i = 0; i < 4; ++i) b[summed + i] = char(crc >> (8 * i));
                             }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dralm
