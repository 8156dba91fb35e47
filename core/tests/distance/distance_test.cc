#include "distance/distance.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "distance/blas_gemm.h"
#include "distance/float_kernels.h"
#include "distance/metric.h"

namespace dralm {
namespace {

class KernelEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { init_distance_kernels(); }
};
[[maybe_unused]] auto* const kKernels = ::testing::AddGlobalTestEnvironment(new KernelEnvironment);

constexpr Metric kAllMetrics[] = {Metric::Cosine, Metric::Euclidean, Metric::DotProduct};

TEST(MetricTest, NamesAreExactAndCaseSensitive) {
  EXPECT_EQ(metric_from_name("cosine"), Metric::Cosine);
  EXPECT_EQ(metric_from_name("euclidean"), Metric::Euclidean);
  EXPECT_EQ(metric_from_name("l2"), Metric::Euclidean);
  EXPECT_EQ(metric_from_name("dot"), Metric::DotProduct);
  EXPECT_EQ(metric_from_name("dot_product"), Metric::DotProduct);
  for (const char* bad : {"Cosine", "L2", "dot product", " l2", "l2 ", "", "DOT", "euclid"}) {
    EXPECT_FALSE(metric_from_name(bad).has_value()) << bad;
  }
  EXPECT_EQ(metric_name(Metric::Cosine), "cosine");
  EXPECT_EQ(metric_name(Metric::Euclidean), "euclidean");
  EXPECT_EQ(metric_name(Metric::DotProduct), "dot_product");
}

TEST(MetricTest, CodesRoundTripAndUnknownCodesFail) {
  for (const Metric metric : kAllMetrics) {
    const Result<Metric> decoded = metric_from_code(static_cast<uint8_t>(metric));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value(), metric);
  }
  for (const uint8_t code : {3, 4, 200, 255}) {
    const Result<Metric> decoded = metric_from_code(code);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().kind(), DbError::Kind::Io);
    EXPECT_EQ(decoded.error().message(), "io error: unknown metric: " + std::to_string(code));
  }
}

TEST(DistanceTest, MetricValuesOnSmallPairs) {
  const std::vector<float> origin{0, 0}, p34{3, 4}, p12{1, 2};
  EXPECT_FLOAT_EQ(distance(origin, p34, Metric::Euclidean), 25.0f);
  EXPECT_FLOAT_EQ(distance(p12, p34, Metric::DotProduct), -11.0f);
  const std::vector<float> x{1, 0}, y{0, 1}, minus_x{-1, 0}, diag{1, 1};
  EXPECT_NEAR(distance(x, x, Metric::Cosine), 0.0f, 1e-6);
  EXPECT_NEAR(distance(x, y, Metric::Cosine), 1.0f, 1e-6);
  EXPECT_NEAR(distance(x, minus_x, Metric::Cosine), 2.0f, 1e-6);
  EXPECT_NEAR(distance(x, diag, Metric::Cosine), 1.0f - std::sqrt(0.5f), 1e-4);
  EXPECT_EQ(distance(p34, p34, Metric::Euclidean), 0.0f);
  // A metric byte past the table is treated as the dot product.
  EXPECT_FLOAT_EQ(distance(p12, p34, static_cast<Metric>(7)), -11.0f);
}

TEST(DistanceTest, UnequalLengthsTakeTheScalarPathOverTheFirstSlice) {
  const std::vector<float> a{1, 2}, b{3, 4, 100};
  EXPECT_FLOAT_EQ(distance(a, b, Metric::Euclidean), 8.0f);
  EXPECT_FLOAT_EQ(distance(a, b, Metric::DotProduct), -11.0f);
  EXPECT_NEAR(distance(a, b, Metric::Cosine), 1.0 - 11.0 / (std::sqrt(5.0) * 5.0), 1e-6);
  const std::vector<float> zero{0, 0};
  EXPECT_EQ(distance(zero, b, Metric::Cosine), 1.0f);
  const std::vector<float> empty;
  const float neg_zero = distance(empty, b, Metric::DotProduct);
  EXPECT_EQ(neg_zero, 0.0f);
  EXPECT_TRUE(std::signbit(neg_zero));
}

TEST(DistanceTest, NormIsSinglePrecisionSumOfSquaresInOrder) {
  EXPECT_EQ(vector_norm(std::vector<float>{3, 4}), 5.0f);
  EXPECT_EQ(vector_norm(std::vector<float>{}), 0.0f);
  // Added in order, 1e8 absorbs each following 1 in single precision; a double sum,
  // or the ones added first, would give 10000.005.
  std::vector<float> v(101, 1.0f);
  v[0] = 1e4f;
  EXPECT_EQ(vector_norm(v), 1e4f);
}

class BatchTest : public ::testing::TestWithParam<Metric> {};

TEST_P(BatchTest, MatchesPerPairDistancesOnRandomData) {
  const Metric metric = GetParam();
  const size_t dim = 37, count = 200;
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<float> data(dim * count), query(dim), norms(count);
  for (float& x : data) x = normal(rng);
  for (float& x : query) x = normal(rng);
  for (size_t i = 0; i < count; ++i) {
    norms[i] = vector_norm({data.data() + i * dim, dim});
  }
  // Trailing floats past the last whole row are ignored.
  std::vector<float> padded = data;
  padded.push_back(1.0f);
  const std::vector<float> batch = batch_distances(query, padded, dim, norms, metric);
  ASSERT_EQ(batch.size(), count);
  for (size_t i = 0; i < count; ++i) {
    const float pair = distance(query, {data.data() + i * dim, dim}, metric);
    EXPECT_NEAR(batch[i], pair, 2e-3f * std::max(1.0f, std::abs(pair))) << i;
  }
}

TEST_P(BatchTest, ZeroVectorsGiveOneForCosine) {
  const Metric metric = GetParam();
  const size_t dim = 3;
  const std::vector<float> data{1, 2, 3, 0, 0, 0, -1, 0, 2};
  std::vector<float> norms;
  for (size_t i = 0; i < 3; ++i) norms.push_back(vector_norm({data.data() + i * dim, dim}));
  const std::vector<float> zero_query{0, 0, 0}, query{1, 1, 1};
  const std::vector<float> from_zero = batch_distances(zero_query, data, dim, norms, metric);
  const std::vector<float> to_zero_row = batch_distances(query, data, dim, norms, metric);
  if (metric == Metric::Cosine) {
    EXPECT_EQ(from_zero, std::vector<float>({1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(to_zero_row[1], 1.0f);
  } else if (metric == Metric::Euclidean) {
    // The expansion squares a stored norm, so these are close but not always exact.
    EXPECT_NEAR(from_zero[0], 14.0f, 1e-5f);
    EXPECT_EQ(from_zero[1], 0.0f);
    EXPECT_NEAR(from_zero[2], 5.0f, 1e-5f);
    EXPECT_EQ(to_zero_row[1], 3.0f);
  } else {
    for (float d : from_zero) EXPECT_EQ(d, 0.0f);
    EXPECT_EQ(to_zero_row[0], -6.0f);
  }
}

INSTANTIATE_TEST_SUITE_P(AllMetrics, BatchTest, ::testing::ValuesIn(kAllMetrics),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

// Every variant this processor runs (float_kernel_variants) against a double-precision
// reference at every tail length and a few long rows, and bit for bit against the
// portable kernel: an answer must not depend on the processor that computed it.
TEST_P(BatchTest, EveryKernelVariantMatchesADoubleReferenceAndThePortableKernelExactly) {
  const Metric metric = GetParam();
  const std::span<const FloatKernelVariant> variants = float_kernel_variants();
  ASSERT_STREQ(variants.back().name, "portable");
  const FloatDistanceFn portable = variants.back().kernels.for_metric(metric);
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 70; ++n) lengths.push_back(n);
  for (const size_t n : {127, 128, 129, 200, 784, 1000}) lengths.push_back(n);
  for (const size_t n : lengths) {
    std::vector<float> a(n), b(n);
    for (float& x : a) x = normal(rng);
    for (float& x : b) x = normal(rng);
    double ab = 0, aa = 0, bb = 0, l2 = 0;
    for (size_t i = 0; i < n; ++i) {
      ab += double(a[i]) * b[i];
      aa += double(a[i]) * a[i];
      bb += double(b[i]) * b[i];
      l2 += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    }
    const double want = metric == Metric::Cosine      ? cosine_from_sums(ab, aa, bb)
                        : metric == Metric::Euclidean ? l2
                                                      : -ab;
    const double tolerance = 1e-5 * std::max(1.0, std::abs(want)) + 1e-6 * double(n);
    const float from_portable = portable(a.data(), b.data(), n);
    EXPECT_NEAR(from_portable, want, tolerance) << n;
    for (const FloatKernelVariant& variant : variants) {
      const float got = variant.kernels.for_metric(metric)(a.data(), b.data(), n);
      EXPECT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(from_portable))
          << variant.name << " n=" << n << ": " << got << " vs " << from_portable;
    }
    EXPECT_EQ(distance(a, b, metric), float_kernels().for_metric(metric)(a.data(), b.data(), n));
  }
}

// Overflowing products give the same NaN or infinity on every variant, wherever in the
// row they fall (main loop, short loop or tail).
TEST_P(BatchTest, EveryKernelVariantOverflowsTheSameWay) {
  const Metric metric = GetParam();
  for (const size_t n : {2, 3, 17, 40, 66, 130}) {
    for (const size_t at : {size_t{0}, (n - 2) / 2, n - 2}) {
      std::vector<float> a(n, 0.5f), b(n, 0.25f);
      // [3e38, 3e38] . [3e38, -3e38]: +inf and -inf products, in different partial sums
      // (NaN) when the two are adjacent; a lone overflow gives an infinity.
      a[at] = 3e38f, a[at + 1] = 3e38f, b[at] = 3e38f, b[at + 1] = -3e38f;
      std::vector<float> lone = b;
      lone[at + 1] = 0.25f;
      for (const std::vector<float>* other : {&b, &lone}) {
        const float portable =
            float_kernel_variants().back().kernels.for_metric(metric)(a.data(), other->data(), n);
        for (const FloatKernelVariant& variant : float_kernel_variants()) {
          const float got = variant.kernels.for_metric(metric)(a.data(), other->data(), n);
          EXPECT_EQ(std::isnan(got), std::isnan(portable)) << variant.name << " n=" << n;
          if (!std::isnan(portable)) {
            EXPECT_EQ(got, portable) << variant.name << " n=" << n;
          }
        }
        if (metric == Metric::DotProduct) {
          if (other == &b) {
            EXPECT_TRUE(std::isnan(portable)) << n;
          } else {
            EXPECT_EQ(portable, -INFINITY) << n;
          }
        }
      }
    }
  }
}

TEST(DistanceTest, CosineStaysInItsRangeAndNonFiniteInputsGiveNan) {
  const std::vector<float> v{0.1f, 0.2f, 0.3f, 0.7f, 1e-3f, 5.0f, 0.25f, 9.0f, 1.0f};
  std::vector<float> twice = v;
  for (float& x : twice) x *= 2;
  std::vector<float> negated = v;
  for (float& x : negated) x = -x;
  const std::vector<float> zero(v.size(), 0.0f);
  for (const FloatKernelVariant& variant : float_kernel_variants()) {
    const FloatKernels* kernels = &variant.kernels;
    const FloatDistanceFn cosine = kernels->cosine;
    const float same = cosine(v.data(), twice.data(), v.size());
    EXPECT_GE(same, 0.0f);
    EXPECT_LE(same, 1e-6f);
    const float opposite = cosine(v.data(), negated.data(), v.size());
    EXPECT_LE(opposite, 2.0f);
    EXPECT_GE(opposite, 2.0f - 1e-6f);
    EXPECT_EQ(cosine(zero.data(), zero.data(), v.size()), 0.0f);
    EXPECT_EQ(cosine(v.data(), zero.data(), v.size()), 1.0f);
    for (const float bad : {NAN, INFINITY, -INFINITY}) {
      std::vector<float> odd = v;
      odd[4] = bad;
      for (const Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
        if (metric == Metric::Cosine || bad != bad) {
          EXPECT_TRUE(std::isnan(kernels->for_metric(metric)(v.data(), odd.data(), v.size())))
              << metric_name(metric) << " " << bad;
        }
      }
    }
  }
  // The batch form keeps [0, 2] too: a stored vector parallel to the query.
  const std::vector<float> norms{vector_norm(twice)};
  EXPECT_GE(batch_distances(v, twice, v.size(), norms, Metric::Cosine)[0], 0.0f);
}

TEST(DistanceTest, BatchDotUsesScalarLoopForShortQueries) {
  const std::vector<float> data{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(batch_dot(std::vector<float>{1, 1, 1}, data.data(), 3, 2), std::vector<float>({6, 15}));
  EXPECT_EQ(batch_dot(std::vector<float>{2, 1}, data.data(), 3, 2), std::vector<float>({4, 13}));
}

constexpr char kNoticeRegex[] =
    "dralm: brute-force search would be ~5x faster with BLAS\\. Install OpenBLAS:\n"
    "  conda install -c conda-forge openblas   # or via vcpkg\n"
    "  Then rebuild: pip install --force-reinstall dralm\n";

[[noreturn]] void notice_twice_then_mark() {
  brute_force_notice();
  brute_force_notice();
  std::fputs("END\n", stderr);
  std::exit(0);
}

TEST(NoticeTest, PrintedOnceWithItsExactText) {
  // A fresh process: an earlier test in this binary may have printed it already.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A build with a BLAS runs exact batches as matrix products and never prints it.
  EXPECT_EXIT(notice_twice_then_mark(), ::testing::ExitedWithCode(0),
              std::string("^") + (kHaveBlas ? "" : kNoticeRegex) + "END\n$");
}

}  // namespace
}  // namespace dralm
