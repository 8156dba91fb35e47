#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "quantize/sq4_distance.h"
#include "quantize/sq4_rows.h"
#include "quantize/sq8.h"
#include "quantize/sq8_rows.h"

namespace dralm {
namespace {

// The distance of a query to the vector a row of 4-bit codes stands for (SQ8 code 17 c
// of the quantizer), in double.
double decoded_distance(const Sq8Quantizer& q, const std::vector<float>& query,
                        const std::vector<uint8_t>& codes, Metric metric) {
  double ab = 0, aa = 0, bb = 0, l2 = 0;
  for (size_t j = 0; j < q.dim; ++j) {
    const double x = double(q.mins[j]) + double(q.scales[j]) * 17.0 * codes[j], y = query[j];
    ab += x * y, aa += x * x, bb += y * y, l2 += (x - y) * (x - y);
  }
  if (metric == Metric::Euclidean) return l2;
  if (metric == Metric::DotProduct) return -ab;
  return aa == 0 || bb == 0 ? 1.0 : 1.0 - ab / std::sqrt(aa * bb);
}

class Sq4DistanceTest : public ::testing::TestWithParam<Metric> {};

// Every dimension from 1 to 70 (every tail of one and two blocks) and two long rows:
// the codes pack and unpack losslessly, every kernel variant gives the portable value
// bit for bit, and that value is the decoded distance within the weights' rounding.
TEST_P(Sq4DistanceTest, EveryVariantMatchesPortableExactlyAndADoubleReference) {
  const Metric metric = GetParam();
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> nibble(0, 15);
  std::vector<size_t> dims;
  for (size_t dim = 1; dim <= 70; ++dim) dims.push_back(dim);
  dims.push_back(128), dims.push_back(784);
  for (const size_t dim : dims) {
    std::vector<float> data(dim * 20), query(dim);
    for (float& x : data) x = 3.0f + normal(rng);
    for (float& x : query) x = 3.0f + normal(rng);
    const Sq8Quantizer q = train(data, dim);
    const Sq8RowFormat format = make_row_format(q, metric, 4);
    ASSERT_EQ(format.row_bytes % 16, 0u);
    ASSERT_GE(format.row_bytes, (dim + 1) / 2 + 4);
    Sq4Query prepared;
    prepare_sq4_query(q, format, query.data(), prepared);
    std::vector<uint8_t> codes(dim), row(format.row_bytes), again(format.row_bytes);
    for (int trial = 0; trial < 4; ++trial) {
      double code_sum = 0;
      for (uint8_t& c : codes) c = static_cast<uint8_t>(nibble(rng)), code_sum += 17.0 * c;
      sq4_row_from_codes(format, codes.data(), row.data());
      for (size_t j = 0; j < dim; ++j) ASSERT_EQ(sq4_code_at(row.data(), j), codes[j]) << j;
      for (size_t j = dim; j < sq4_block_count(dim) * kSq4BlockDims; ++j) {
        ASSERT_EQ(sq4_code_at(row.data(), j), 0) << "padding nibble " << j;
      }
      sq4_row_from_blocks(format, row.data(), again.data());
      ASSERT_EQ(again, row) << "dim " << dim;

      const double want = decoded_distance(q, query, codes, metric);
      double tolerance = 0.5 * code_sum * std::abs(prepared.integer.per_unit);
      if (metric == Metric::Cosine) tolerance *= row_constant(format, row.data());
      tolerance += 1e-5 * (1 + std::abs(want) + std::abs(prepared.integer.offset));
      prepared.dot = sq4_dot_variants().back().dot;
      const float portable = sq4_distance(prepared, row.data());
      EXPECT_NEAR(portable, want, tolerance) << "dim " << dim;
      for (const Sq4DotVariant& variant : sq4_dot_variants()) {
        prepared.dot = variant.dot;
        EXPECT_EQ(sq4_distance(prepared, row.data()), portable) << variant.name << " dim " << dim;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllMetrics, Sq4DistanceTest,
                         ::testing::Values(Metric::Cosine, Metric::Euclidean, Metric::DotProduct),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

// A vector encodes to the nearest of the 16 levels of each dimension's trained range;
// values beyond the range clamp to its ends.
TEST(Sq4RowsTest, EncodesEachValueToTheNearestOfSixteenLevels) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  for (const size_t dim : {1u, 31u, 33u, 100u}) {
    std::vector<float> data(dim * 50);
    for (float& x : data) x = normal(rng);
    const Sq8Quantizer q = train(data, dim);
    const Sq8RowFormat format = make_row_format(q, Metric::Euclidean, 4);
    std::vector<uint8_t> row(format.row_bytes);
    for (size_t i = 0; i < 60; ++i) {
      std::vector<float> v(dim);
      for (float& x : v) x = 1.5f * normal(rng);  // some beyond the trained range
      encode_row(q, format, v.data(), row.data());
      for (size_t j = 0; j < dim; ++j) {
        const double step = 17.0 * q.scales[j];
        const double top = q.mins[j] + 15.0 * step;
        const double clamped = std::min(std::max(double(v[j]), double(q.mins[j])), top);
        const double decoded = q.mins[j] + step * sq4_code_at(row.data(), j);
        // Half a level, and the SQ8 code's own half step it is rounded from.
        EXPECT_LE(std::abs(decoded - clamped), 0.5 * step + 0.51 * q.scales[j])
            << "dim " << dim << " j " << j;
      }
    }
  }
}

}  // namespace
}  // namespace dralm
