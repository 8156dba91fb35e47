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
#include "quantize/sq8_rows.h"

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
  const Result<Sq8File> state = read_quantizer(raw);
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
    const Result<Sq8File> cut_state = read_quantizer(std::span<const uint8_t>(raw.data(), cut));
    ASSERT_FALSE(cut_state.ok()) << cut;
    EXPECT_EQ(cut_state.error().message(), "io error: failed to fill whole buffer");
  }
}

TEST(Sq8Test, HugeDimInHeaderFailsWithoutAllocating) {
  const std::vector<uint8_t> raw{0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0};
  const Result<Sq8File> state = read_quantizer(raw);
  ASSERT_FALSE(state.ok());
  EXPECT_EQ(state.error().message(), "io error: failed to fill whole buffer");
}

}  // namespace
}  // namespace dralm

namespace dralm {
namespace {

class Sq8DistanceTest : public ::testing::TestWithParam<Metric> {};

// The distance of a query to a decoded row, in double.
double decoded_distance(const Sq8Quantizer& q, const std::vector<float>& query,
                        const uint8_t* codes, Metric metric) {
  double ab = 0, aa = 0, bb = 0, l2 = 0;
  for (size_t j = 0; j < q.dim; ++j) {
    const double x = double(q.mins[j]) + double(q.scales[j]) * codes[j], y = query[j];
    ab += x * y, aa += x * x, bb += y * y, l2 += (x - y) * (x - y);
  }
  if (metric == Metric::Euclidean) return l2;
  if (metric == Metric::DotProduct) return -ab;
  return aa == 0 || bb == 0 ? 1.0 : 1.0 - ab / std::sqrt(aa * bb);
}

// Every dimension from 1 to 70 (every tail of every variant) and two long rows: each
// variant gives the portable kernel's value bit for bit, and that value is the decoded
// distance within the bound of the 16-bit weights' rounding.
TEST_P(Sq8DistanceTest, EveryVariantMatchesPortableExactlyAndADoubleReference) {
  const Metric metric = GetParam();
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<size_t> dims;
  for (size_t dim = 1; dim <= 70; ++dim) dims.push_back(dim);
  dims.push_back(128), dims.push_back(784);
  for (const size_t dim : dims) {
    std::vector<float> data(dim * 20), query(dim);
    for (float& x : data) x = 3.0f + normal(rng);
    for (float& x : query) x = 3.0f + normal(rng);
    const Sq8Quantizer q = train(data, dim);
    const Sq8RowFormat format = make_row_format(q, metric);
    ASSERT_EQ(format.row_bytes % 16, 0u);
    ASSERT_GE(format.row_bytes, dim + 4);
    Sq8Query prepared;
    prepare_sq8_query(q, format, query.data(), prepared);
    std::vector<uint8_t> codes(dim), row(format.row_bytes);
    for (int trial = 0; trial < 4; ++trial) {
      double code_sum = 0;
      for (uint8_t& c : codes) c = static_cast<uint8_t>(byte(rng)), code_sum += c;
      row_from_codes(format, codes.data(), row.data());
      const double want = decoded_distance(q, query, codes.data(), metric);
      // |W - a x| <= 1/2 for each weight; the cosine sum is then scaled by the row's
      // inverse norm.
      double tolerance = 0.5 * code_sum * std::abs(prepared.per_unit);
      if (metric == Metric::Cosine) tolerance *= row_constant(format, row.data());
      tolerance += 1e-5 * (1 + std::abs(want) + std::abs(prepared.offset));
      prepared.dot = sq8_dot_variants().back().dot;
      const float portable = sq8_distance(prepared, row.data());
      EXPECT_NEAR(portable, want, tolerance) << "dim " << dim;
      for (const Sq8DotVariant& variant : sq8_dot_variants()) {
        prepared.dot = variant.dot;
        EXPECT_EQ(sq8_distance(prepared, row.data()), portable) << variant.name << " dim " << dim;
      }
    }
  }
}

// One dimension spanning the whole float range (+3e38 and -3e38) gets the overflow step;
// ordinary rows share its middle code, and their traversal distances must still follow
// the other dimensions, finite, with the outliers apart.
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
  const QuantizedState state = encode_state(train(data, kDim), metric, data);
  ASSERT_EQ(state.quantizer.scales[0], kOverflowStep);
  for (size_t probe = 2; probe < kRows; probe += 7) {
    const std::span<const float> query(data.data() + probe * kDim, kDim);
    Sq8Query prepared;
    prepare_sq8_query(state.quantizer, state.format, query.data(), prepared);
    std::vector<std::pair<float, float>> pairs;  // (traversal, exact) of rows 2..
    for (size_t i = 2; i < kRows; ++i) {
      const float got = sq8_distance(prepared, state.row(i));
      ASSERT_TRUE(std::isfinite(got)) << "row " << i;
      pairs.push_back({got, distance(query, {data.data() + i * kDim, kDim}, metric)});
    }
    // The nearest by traversal is among the three nearest exactly (codes round).
    std::sort(pairs.begin(), pairs.end());
    std::vector<float> exact;
    for (const auto& p : pairs) exact.push_back(p.second);
    std::sort(exact.begin(), exact.end());
    EXPECT_LE(pairs.front().second, exact[2]) << "probe " << probe;
    // An outlier is finite and no nearer than the nearest ordinary row.
    for (size_t outlier = 0; outlier < 2; ++outlier) {
      const float d = sq8_distance(prepared, state.row(outlier));
      ASSERT_TRUE(std::isfinite(d));
      if (metric == Metric::Euclidean) {
        EXPECT_GT(d, pairs.front().first);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllMetrics, Sq8DistanceTest,
                         ::testing::Values(Metric::Cosine, Metric::Euclidean, Metric::DotProduct),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

// Rows made from the float vectors and rows made from the file's codes are the same
// bytes; the codes lead each row and the padding is zero.
TEST(Sq8RowsTest, RowsFromVectorsAndFromFileCodesAgree) {
  std::mt19937 rng(9);
  std::normal_distribution<float> normal;
  for (const Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
    for (const size_t dim : {1u, 12u, 13u, 100u}) {
      std::vector<float> data(dim * 30);
      for (float& x : data) x = normal(rng);
      data[0] = 0;  // no effect on the checks; keeps a zero in the data
      const Sq8Quantizer q = train(data, dim);
      const QuantizedState direct = encode_state(q, metric, data);
      const QuantizedState loaded = state_from_codes(q, metric, encode_all(q, data, dim));
      ASSERT_EQ(direct.row_count(), 30u);
      EXPECT_EQ(direct.rows, loaded.rows);
      const std::vector<uint8_t> codes = encode_all(q, data, dim);
      for (size_t i = 0; i < 30; ++i) {
        const std::span<const uint8_t> lead = direct.codes(i);
        EXPECT_TRUE(std::equal(lead.begin(), lead.end(), codes.begin() + i * dim));
        for (size_t b = dim; b + 4 < direct.format.row_bytes; ++b) EXPECT_EQ(direct.row(i)[b], 0);
      }
    }
  }
}

}  // namespace
}  // namespace dralm
