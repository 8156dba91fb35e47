#include "quantize/sq8_distance.h"

#include <immintrin.h>

#include <algorithm>
#include <cassert>
#include <cmath>

#include "distance/cpu_features.h"

namespace dralm {

namespace {

// ---- Portable: a plain loop the compiler vectorises at the baseline instruction set.

int32_t dot_portable(const int16_t* w, const uint8_t* c, size_t length) {
  int32_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum += int32_t{w[i]} * int32_t{c[i]};
  return sum;
}

// ---- AVX2: 16 codes widened to 16 bits a step, multiplied and added in pairs.

#define DRALM_AVX2 __attribute__((target("avx2")))

DRALM_AVX2 inline __m256i madd16(const int16_t* w, const uint8_t* c) {
  const __m256i codes = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
  return _mm256_madd_epi16(codes, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)));
}

DRALM_AVX2 inline int32_t sum8(__m256i v) {
  __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4E));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xB1));
  return _mm_cvtsi128_si32(x);
}

DRALM_AVX2 int32_t dot_avx2(const int16_t* w, const uint8_t* c, size_t length) {
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    acc0 = _mm256_add_epi32(acc0, madd16(w + i, c + i));
    acc1 = _mm256_add_epi32(acc1, madd16(w + i + 16, c + i + 16));
  }
  if (i < length) acc0 = _mm256_add_epi32(acc0, madd16(w + i, c + i));
  return sum8(_mm256_add_epi32(acc0, acc1));
}

#undef DRALM_AVX2

#if !defined(DRALM_NO_AVX512)
// ---- AVX-512 (BW): 32 codes a step, a 16-code step with AVX2 at the end.

#define DRALM_AVX512 __attribute__((target("avx512f,avx512bw,avx2")))
// GCC 12's AVX-512 extraction and reduction intrinsics pass an "undefined" placeholder
// register that its own flow analysis then reports as uninitialised; it is never read.
#pragma GCC diagnostic push
#if !defined(__clang__)  // a GCC-only warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"

DRALM_AVX512 inline __m512i madd32(const int16_t* w, const uint8_t* c) {
  const __m512i codes =
      _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c)));
  return _mm512_madd_epi16(codes, _mm512_loadu_si512(w));
}

DRALM_AVX512 int32_t dot_avx512(const int16_t* w, const uint8_t* c, size_t length) {
  __m512i acc0 = _mm512_setzero_si512(), acc1 = _mm512_setzero_si512();
  size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    acc0 = _mm512_add_epi32(acc0, madd32(w + i, c + i));
    acc1 = _mm512_add_epi32(acc1, madd32(w + i + 32, c + i + 32));
  }
  if (i + 32 <= length) {
    acc0 = _mm512_add_epi32(acc0, madd32(w + i, c + i));
    i += 32;
  }
  int32_t sum = _mm512_reduce_add_epi32(_mm512_add_epi32(acc0, acc1));
  if (i < length) sum += sum8(madd16(w + i, c + i));
  return sum;
}

#pragma GCC diagnostic pop
#undef DRALM_AVX512
#endif  // !DRALM_NO_AVX512

// A power of two p with x p in [0.5, 1); 1 for zero.
double power_of_two_below(double x) {
  if (!(x > 0)) return 1.0;
  int exponent = 0;
  std::frexp(x, &exponent);
  return std::ldexp(1.0, -exponent);
}

// std::llround (halves away from zero) without the library call, for |v| < 2^62: the
// truncation is exact and so is v minus it.
long long round_half_away(double v) {
  long long whole = static_cast<long long>(v);
  const double fraction = v - static_cast<double>(whole);
  if (fraction >= 0.5) ++whole;
  if (fraction <= -0.5) --whole;
  return whole;
}

// The largest |x[j]| and the sum of every |x[j]|, over four running sums and maxima so
// the additions do not wait on each other.
void largest_and_sum_of_magnitudes(const std::vector<double>& x, double& largest, double& sum) {
  double top[4] = {0, 0, 0, 0}, total[4] = {0, 0, 0, 0};
  size_t j = 0;
  for (; j + 4 <= x.size(); j += 4) {
    for (size_t lane = 0; lane < 4; ++lane) {
      const double v = std::abs(x[j + lane]);
      top[lane] = std::max(top[lane], v);
      total[lane] += v;
    }
  }
  for (; j < x.size(); ++j) {
    top[0] = std::max(top[0], std::abs(x[j]));
    total[0] += std::abs(x[j]);
  }
  largest = std::max({top[0], top[1], top[2], top[3]});
  sum = (total[0] + total[1]) + (total[2] + total[3]);
}

}  // namespace

std::span<const Sq8DotVariant> sq8_dot_variants() {
  static const std::vector<Sq8DotVariant> variants =
      runnable_variants<Sq8DotVariant>(DRALM_AVX512_KERNEL(dot_avx512), dot_avx2, dot_portable);
  return variants;
}

void prepare_sq8_query(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* query,
                       Sq8Query& out) {
  assert(format.bits == 8);
  prepare_integer_query(q, format, query, format.row_bytes, out);
}

void prepare_integer_query(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* query,
                           size_t weight_count, Sq8Query& out) {
  assert(q.dim == format.dim && weight_count >= format.dim);
  const size_t dim = format.dim;
  const Metric metric = format.metric;
  out.metric = metric;
  out.length = weight_count;
  out.dot = sq8_dot_variants().front().dot;
  out.zero_query = false;

  // The query in the format's units; in a dimension measured with another step than
  // the quantizer's (sq8_rows.h), at its position in code units, bounded 2^16 codes
  // beyond either end.
  std::vector<double>& x = out.scratch;
  x.resize(dim);
  double largest = 0;
  for (size_t j = 0; j < dim; ++j) {
    if (q.scales[j] < kOverflowStep) {
      x[j] = double(query[j]) * format.scale;
    } else {
      const double t = std::clamp((double(query[j]) - q.mins[j]) / q.scales[j], -65536.0, 65791.0);
      x[j] = format.mins[j] + t * format.steps[j];
    }
    largest = std::max(largest, std::abs(x[j]));
  }

  // Per dimension, the value that multiplies the code; the query's constant.
  double offset = 0;
  switch (metric) {
    case Metric::Euclidean: {
      // A query far outside the data in one dimension is ordered by that dimension
      // alone; bounding it 2^16 times beyond the decoded values keeps that order and
      // every square finite.
      const double bound = 65536.0 * std::max(format.largest_decoded, 1e-300);
      for (size_t j = 0; j < dim; ++j) {
        const double u = std::clamp(x[j] - format.mins[j], -bound, bound);
        offset += u * u;
        x[j] = u * format.steps[j];
      }
      break;
    }
    case Metric::Cosine: {
      if (!(largest > 0)) {  // a zero query: every distance is 1
        out.zero_query = true;
        std::fill(x.begin(), x.end(), 0.0);
        break;
      }
      // The norm of x / largest, which cannot overflow; reciprocals spare a division
      // per dimension (the weights are rounded to 16 bits afterwards).
      const double per_largest = 1.0 / largest;
      double norm = 0;
      for (size_t j = 0; j < dim; ++j) norm += (x[j] * per_largest) * (x[j] * per_largest);
      const double per_norm = 1.0 / (largest * std::sqrt(norm));
      for (size_t j = 0; j < dim; ++j) {
        const double unit = x[j] * per_norm;
        offset += unit * format.mins[j];
        x[j] = unit * format.steps[j];
      }
      break;
    }
    case Metric::DotProduct: {
      // The dot product's order does not change with the query's length: a power of
      // two keeps its sums finite.
      const double reach = largest * std::sqrt(double(dim));
      const double f = reach > 1073741824.0 ? power_of_two_below(reach) : 1.0;
      for (size_t j = 0; j < dim; ++j) {
        offset -= x[j] * f * format.mins[j];
        x[j] = x[j] * f * format.steps[j];
      }
      break;
    }
  }

  // The weights: a x rounded, with a as large as 16 bits allow and small enough that
  // the sum of |W| * 255 over every dimension stays inside 32 bits.
  double most = 0, total = 0;
  largest_and_sum_of_magnitudes(x, most, total);
  double a = 1;
  if (most > 0) {
    const double room = 2147483647.0 / 255.0 - 0.5 * double(dim) - 1.0;
    a = std::min(32767.0 / most, std::max(room, 0.0) / total);
  }
  out.weights.assign(out.length, 0);
  for (size_t j = 0; j < dim; ++j) {
    out.weights[j] =
        static_cast<int16_t>(std::clamp<long long>(round_half_away(a * x[j]), -32767, 32767));
  }
  const double per_a = a > 0 ? 1.0 / a : 0.0;
  out.per_unit = metric == Metric::Euclidean    ? -2.0 * per_a
                 : metric == Metric::DotProduct ? -per_a
                                                : per_a;
  out.offset = offset;
}

}  // namespace dralm
