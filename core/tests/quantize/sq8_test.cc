#include "quantize/sq8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "distance/distance.h"
#include "quantize/sq8_distance.h"

namespace dralm {
namespace {

std::vector<uint8_t> encode_one(const Sq8Quantizer& q, const std::vector<float>& v) {
  std::vector<uint8_t> codes(q.dim);
  encode(q, v.data(), codes.data());
  return codes;
}

TEST(Sq8Test, TrainsPerDimensionMinimaAndSteps) {
  const std::vector<float> data{0, 0, 510, 255};
  const Sq8Quantizer q = train(data, 2);
  EXPECT_EQ(q.dim, 2u);
  EXPECT_EQ(q.mins, std::vector<float>({0.0f, 0.0f}));
  EXPECT_EQ(q.scales, std::vector<float>({2.0f, 1.0f}));
  // 101 / 2 = 50.5 rounds away from zero.
  EXPECT_EQ(encode_one(q, {101, 7.6f}), std::vector<uint8_t>({51, 8}));
  EXPECT_EQ(encode_one(q, {-5, 300}), std::vector<uint8_t>({0, 255}));
  const uint8_t codes[2] = {51, 8};
  float out[2];
  decode(q, codes, out);
  EXPECT_EQ(out[0], 102.0f);
  EXPECT_EQ(out[1], 8.0f);
}

TEST(Sq8Test, RoundsHalvesAwayFromZeroAndJustBelowHalfDown) {
  Sq8Quantizer q;
  q.dim = 4;
  q.mins = {0, 0, 0, 0};
  q.scales = {1, 1, 1, 1};
  EXPECT_EQ(encode_one(q, {2.5f, 0.5f, 254.5f, 0.49999997f}), std::vector<uint8_t>({3, 1, 255, 0}));
  EXPECT_EQ(encode_one(q, {2.4999998f, 1.5f, 3.5000002f, 254.49998f}),
            std::vector<uint8_t>({2, 2, 4, 254}));
  // NaN and values below the range give 0; above it 255.
  EXPECT_EQ(encode_one(q, {NAN, -1e30f, 1e30f, INFINITY}), std::vector<uint8_t>({0, 0, 255, 255}));
}

TEST(Sq8Test, ConstantDimensionGetsUnitStepAndDecodesExactly) {
  const std::vector<float> data{3.25f, 1, 3.25f, 2, 3.25f, 5};
  const Sq8Quantizer q = train(data, 2);
  EXPECT_EQ(q.scales[0], 1.0f);
  EXPECT_EQ(q.mins[0], 3.25f);
  const std::vector<uint8_t> codes = encode_all(q, data, 2);
  ASSERT_EQ(codes.size(), 6u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(codes[2 * i], 0);
    float out[2];
    decode(q, codes.data() + 2 * i, out);
    EXPECT_EQ(out[0], 3.25f);
  }
  // The varying dimension spans the codes from 0 to 255.
  EXPECT_EQ(codes[1], 0);
  EXPECT_EQ(codes[5], 255);
}

TEST(Sq8Test, TrainingOnNoVectorsDecodesToFiniteValues) {
  // Three floats of dim 4: no whole vector.
  for (const std::vector<float>& data : {std::vector<float>{}, std::vector<float>{1, 2, 3}}) {
    const Sq8Quantizer q = train(data, 4);
    EXPECT_EQ(q.mins, std::vector<float>(4, 0.0f));
    EXPECT_EQ(q.scales, std::vector<float>(4, 1.0f));
    const uint8_t codes[4] = {0, 1, 128, 255};
    float out[4];
    decode(q, codes, out);
    EXPECT_EQ(out[3], 255.0f);
    for (float x : out) EXPECT_TRUE(std::isfinite(x));
  }
}

TEST(Sq8Test, NanNeverMovesTheBounds) {
  const std::vector<float> data{NAN, 1, 2, NAN, 4, 3};
  const Sq8Quantizer q = train(data, 2);
  EXPECT_EQ(q.mins, std::vector<float>({2.0f, 1.0f}));
  EXPECT_EQ(q.scales[0], 2.0f / 255.0f);
  EXPECT_EQ(q.scales[1], 2.0f / 255.0f);
}

// Every code of every dimension decodes to a finite value.
void expect_finite_decoding(const Sq8Quantizer& q) {
  std::vector<uint8_t> codes(q.dim);
  std::vector<float> out(q.dim);
  for (int c = 0; c < 256; ++c) {
    std::fill(codes.begin(), codes.end(), static_cast<uint8_t>(c));
    decode(q, codes.data(), out.data());
    for (size_t j = 0; j < q.dim; ++j) EXPECT_TRUE(std::isfinite(out[j])) << "code " << c;
  }
}

TEST(Sq8Test, RangeBeyondTheLargestFloatGetsAFiniteStep) {
  // Dimension 0 spans 6e38, which overflows (max - min); dimension 1 is ordinary.
  const std::vector<float> data{3e38f, 0, -3e38f, 255, 1, 51};
  const Sq8Quantizer q = train(data, 2);
  EXPECT_TRUE(std::isfinite(q.scales[0]) && q.scales[0] > 0);
  EXPECT_EQ(q.scales[1], 1.0f);
  expect_finite_decoding(q);
  EXPECT_EQ(encode_one(q, {-3e38f, 0}), std::vector<uint8_t>({0, 0}));
  EXPECT_EQ(encode_one(q, {3e38f, 255}), std::vector<uint8_t>({255, 255}));
  // Codes still order the values of the huge dimension.
  EXPECT_LT(encode_one(q, {-1e38f, 0})[0], encode_one(q, {1e38f, 0})[0]);
}

TEST(Sq8Test, InfinitiesDoNotSetTheBoundsAndClampWhenEncoded) {
  const float inf = INFINITY;
  const std::vector<float> data{0, 0, inf, 2, 10, -inf};
  const Sq8Quantizer q = train(data, 2);
  EXPECT_EQ(q.mins, std::vector<float>({0.0f, 0.0f}));
  EXPECT_EQ(q.scales, std::vector<float>({10.0f / 255.0f, 2.0f / 255.0f}));
  expect_finite_decoding(q);
  EXPECT_EQ(encode_one(q, {inf, -inf}), std::vector<uint8_t>({255, 0}));
  // A dimension holding nothing but infinities gets the identity step.
  const Sq8Quantizer only = train(std::vector<float>{inf, -inf}, 1);
  EXPECT_EQ(only.mins[0], 0.0f);
  EXPECT_EQ(only.scales[0], 1.0f);
}

TEST(Sq8Test, TrainsOnTheSelectedVectorsOrOnAllWhenNoneIsSelected) {
  const std::vector<float> data{0, 1000, 10, 20};
  const Sq8Quantizer live = train(data, 1, [](size_t i) { return i != 1; });
  EXPECT_EQ(live.mins[0], 0.0f);
  EXPECT_EQ(live.scales[0], 20.0f / 255.0f);
  const Sq8Quantizer none = train(data, 1, [](size_t) { return false; });
  EXPECT_EQ(none.scales[0], 1000.0f / 255.0f);
}

TEST(Sq8Test, ParametersRoundTripThroughTheFileLayout) {
  Sq8Quantizer q;
  q.dim = 3;
  q.mins = {-1.5f, 0.0f, 7.0f};
  q.scales = {0.25f, 1.0f, FLT_MIN};
  std::string bytes;
  write_parameters(q, bytes);
  ASSERT_EQ(bytes.size(), 4u + 8u * 3u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x03\x00\x00\x00", 4));
  EXPECT_EQ(bytes.substr(4, 4), std::string("\x00\x00\xc0\xbf", 4));  // -1.5f little-endian
  bytes += std::string("\x01\x02\x03\x04\x05\x06", 6);
  const std::vector<uint8_t> raw(bytes.begin(), bytes.end());
  const Result<QuantizedState> state = read_quantizer(raw);
  ASSERT_TRUE(state.ok());
  EXPECT_EQ(state.value().quantizer.dim, 3u);
  EXPECT_EQ(state.value().quantizer.mins, q.mins);
  EXPECT_EQ(state.value().quantizer.scales, q.scales);
  EXPECT_EQ(state.value().codes, std::vector<uint8_t>({1, 2, 3, 4, 5, 6}));

  // Exactly the parameter block: no codes. Any shorter prefix: the fixed message.
  const std::vector<uint8_t> header(raw.begin(), raw.begin() + 28);
  ASSERT_TRUE(read_quantizer(header).ok());
  EXPECT_TRUE(read_quantizer(header).value().codes.empty());
  for (size_t cut = 0; cut < 28; ++cut) {
    const Result<QuantizedState> cut_state =
        read_quantizer(std::span<const uint8_t>(raw.data(), cut));
    ASSERT_FALSE(cut_state.ok()) << cut;
    EXPECT_EQ(cut_state.error().message(), "io error: failed to fill whole buffer");
  }
}

TEST(Sq8Test, HugeDimInHeaderFailsWithoutAllocating) {
  const std::vector<uint8_t> raw{0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0};
  const Result<QuantizedState> state = read_quantizer(raw);
  ASSERT_FALSE(state.ok());
  EXPECT_EQ(state.error().message(), "io error: failed to fill whole buffer");
}

}  // namespace
}  // namespace dralm

namespace dralm {
namespace {

class Sq8DistanceTest : public ::testing::TestWithParam<Metric> {};

TEST_P(Sq8DistanceTest, EveryKernelVariantMatchesDecodeThenDistance) {
  const Metric metric = GetParam();
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> byte(0, 255);
  for (const size_t dim : {1u, 7u, 16u, 17u, 33u, 128u, 784u}) {
    std::vector<float> data(dim * 20);
    for (float& x : data) x = normal(rng);
    const Sq8Quantizer q = train(data, dim);
    std::vector<float> query(dim), decoded(dim);
    for (float& x : query) x = normal(rng);
    Sq8Query prepared;
    prepare_sq8_query(q, metric, query.data(), prepared);
    EXPECT_EQ(prepared.unit, 1.0);  // ordinary data keeps its units
    for (int trial = 0; trial < 10; ++trial) {
      std::vector<uint8_t> codes(dim);
      for (uint8_t& c : codes) c = static_cast<uint8_t>(byte(rng));
      decode(q, codes.data(), decoded.data());
      const float expected = distance(query, decoded, metric);
      const float tolerance = 1e-4f * std::max(1.0f, std::abs(expected));
      for (const Sq8KernelVariant& variant : sq8_kernel_variants()) {
        EXPECT_NEAR(variant.for_metric(metric)(prepared, codes.data(), dim), expected, tolerance)
            << variant.name << " dim " << dim;
      }
    }
  }
}

// One dimension spanning the whole float range (+3e38 and -3e38) with the overflow
// step: ordinary rows share its middle code, and their traversal distances must still
// follow the other dimensions, finite, on every variant.
TEST_P(Sq8DistanceTest, AnOverflowingDimensionKeepsTheOrderOfTheOthers) {
  const Metric metric = GetParam();
  constexpr size_t kDim = 8, kRows = 64;
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  std::vector<float> data(kDim * kRows);
  for (float& x : data) x = normal(rng);
  for (size_t j = 1; j < kDim; ++j) data[j] = 0, data[kDim + j] = 0;
  data[0] = 3e38f, data[kDim] = -3e38f;
  for (size_t i = 2; i < kRows; ++i) data[i * kDim] = 0;
  const Sq8Quantizer q = train(data, kDim);
  ASSERT_EQ(q.scales[0], kOverflowStep);
  const std::vector<uint8_t> codes = encode_all(q, data, kDim);
  for (size_t probe = 2; probe < kRows; probe += 7) {
    const float* query = data.data() + probe * kDim;
    Sq8Query prepared;
    prepare_sq8_query(q, metric, query, prepared);
    for (const Sq8KernelVariant& variant : sq8_kernel_variants()) {
      const Sq8DistanceFn fn = variant.for_metric(metric);
      // Rows 2.. differ only in dimensions 1..7: their order is the order of the exact
      // distances over those dimensions, up to the codes' own rounding.
      std::vector<std::pair<float, float>> pairs;  // (traversal, exact)
      for (size_t i = 2; i < kRows; ++i) {
        const float got = fn(prepared, codes.data() + i * kDim, kDim);
        ASSERT_TRUE(std::isfinite(got)) << variant.name << " row " << i;
        pairs.push_back(
            {got, distance(std::span<const float>(query, kDim),
                           std::span<const float>(data.data() + i * kDim, kDim), metric)});
      }
      // The nearest by traversal is among the few nearest exactly (codes round).
      std::sort(pairs.begin(), pairs.end());
      std::vector<float> exact;
      for (const auto& p : pairs) exact.push_back(p.second);
      std::sort(exact.begin(), exact.end());
      EXPECT_LE(pairs.front().second, exact[2]) << variant.name << " probe " << probe;
      // An outlier is finite and no nearer than the nearest ordinary row.
      const float outlier = fn(prepared, codes.data(), kDim);
      ASSERT_TRUE(std::isfinite(outlier)) << variant.name;
      if (metric == Metric::Euclidean) {
        EXPECT_GT(outlier, pairs.front().first) << variant.name;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllMetrics, Sq8DistanceTest,
                         ::testing::Values(Metric::Cosine, Metric::Euclidean, Metric::DotProduct),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

}  // namespace
}  // namespace dralm
