#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "quantize/sq4_distance.h"
#include "quantize/sq4_grid.h"
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

// The squared error of the 4-bit codes of `data` under `q` (its grid), in the data's units.
double sq4_error(const Sq8Quantizer& q, const std::vector<float>& data) {
  const Sq8RowFormat format = make_row_format(q, Metric::Euclidean, 4);
  std::vector<uint8_t> row(format.row_bytes);
  double error = 0;
  for (size_t i = 0; i < data.size() / q.dim; ++i) {
    const float* v = data.data() + i * q.dim;
    encode_row(q, format, v, row.data());
    for (size_t j = 0; j < q.dim; ++j) {
      const double decoded = q.mins[j] + 17.0 * q.scales[j] * sq4_code_at(row.data(), j);
      error += (decoded - v[j]) * (decoded - v[j]);
    }
  }
  return error;
}

Sq8Quantizer fitted_for(const std::vector<float>& data, uint64_t dim) {
  const Sq8Quantizer trained = train(data, dim);
  Sq8CodeCounts counts(dim);
  for (size_t i = 0; i < data.size() / dim; ++i) counts.add(trained, data.data() + i * dim);
  return fit_sq4_quantizer(trained, counts);
}

// Values dense in the middle and thin at the ends (Gaussian) get levels closer together
// than the whole range would give: less error on the data they were fitted to and on
// fresh data of the same kind. Too few rows to say where later ones will lie keep the
// trained grid.
TEST(Sq4GridTest, LevelsFollowWhereTheDataLies) {
  std::mt19937 rng(12);
  std::normal_distribution<float> normal(3.0f, 2.0f);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  constexpr size_t kDim = 37, kRows = 4000;
  const auto draw = [&](auto& distribution, size_t rows) {
    std::vector<float> data(kDim * rows);
    for (float& x : data) x = distribution(rng);
    return data;
  };
  const std::vector<float> gaussian = draw(normal, kRows), fresh = draw(normal, kRows);
  const Sq8Quantizer trained = train(gaussian, kDim), fitted = fitted_for(gaussian, kDim);
  for (const auto* data : {&gaussian, &fresh}) {
    EXPECT_LT(sq4_error(fitted, *data), 0.75 * sq4_error(trained, *data));
  }
  for (size_t j = 0; j < kDim; ++j) {
    EXPECT_GT(fitted.mins[j], trained.mins[j]) << "dimension " << j;
    EXPECT_LT(fitted.mins[j] + 255 * fitted.scales[j], trained.mins[j] + 255 * trained.scales[j]);
  }

  // Evenly spread values: levels at the centres of 16 equal cells beat levels at both
  // ends, a little.
  const std::vector<float> even = draw(uniform, kRows);
  const Sq8Quantizer even_fitted = fitted_for(even, kDim);
  EXPECT_LT(sq4_error(even_fitted, even), sq4_error(train(even, kDim), even));

  const std::vector<float> few(gaussian.begin(), gaussian.begin() + kDim * 999);
  const Sq8Quantizer few_fitted = fitted_for(few, kDim), few_trained = train(few, kDim);
  EXPECT_EQ(few_fitted.mins, few_trained.mins);
  EXPECT_EQ(few_fitted.scales, few_trained.scales);
}

}  // namespace
}  // namespace dralm
