// Traversal distances from SQ8 rows (sq8_rows.h) with integer arithmetic. A query is
// prepared once per search (Sq8Query) into one 16-bit weight per code byte; a distance is
// then one integer dot product of those weights with a row's codes (16-bit
// multiply-adds into 32-bit sums) and a few float operations with the row's constant:
//   euclidean  sum u^2 + row constant - 2/a * sum W c     (u = q - min, W = a u step')
//   dot        -(1/a * sum W c + sum q min)               (W = a q step')
//   cosine     1 - (1/a * sum W c + sum q^ min) * row constant   (q^ = q / |q|)
// in the units and with the steps of the row format (sq8_rows.h). The scale a is chosen
// per query so that every weight fits 16 bits and no sum can leave 32 bits, so the
// integer part is exact: every kernel variant gives the same value, bit for bit. The
// values approximate the distance to the decoded vector (the weights round to 16 bits);
// only traversal sees them, and reported distances are always exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "distance/metric.h"
#include "quantize/sq8.h"
#include "quantize/sq8_rows.h"

namespace dralm {

// The integer dot product of `length` weights with `length` code bytes; length is a
// multiple of 16.
using Sq8DotFn = int32_t (*)(const int16_t* weights, const uint8_t* codes, size_t length);

// A query prepared for one quantizer and row format. Holds copies: it stays valid while
// the quantizer changes, but then measures against the old one.
struct Sq8Query {
  Metric metric = Metric::Euclidean;
  size_t length = 0;             // row bytes: the kernel reads whole rows
  std::vector<int16_t> weights;  // one per row byte, zero past dim
  double per_unit = 0;           // euclidean -2/a, dot -1/a, cosine 1/a
  double offset = 0;             // euclidean sum u^2, dot -sum q min, cosine sum q^ min
  bool zero_query = false;       // cosine: the query is zero, every distance is 1
  Sq8DotFn dot = nullptr;        // the kernel chosen for this processor
  std::vector<double> scratch;   // reused by prepare_sq8_query
};

// Prepares `query` (q.dim floats) into `out`, reusing its storage.
void prepare_sq8_query(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* query,
                       Sq8Query& out);
// The same with `weight_count` (at least dim) weights, zero past dim, and out.length set
// to it; the weights multiply codes in SQ8 units (0 to 255). 4-bit rows use this.
void prepare_integer_query(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* query,
                           size_t weight_count, Sq8Query& out);

// The traversal distance of a prepared query from the integer dot product `dot` of its
// weights with a row's codes (in SQ8 units) and the row's constant.
inline float distance_from_dot(const Sq8Query& query, double dot, float constant) {
  switch (query.metric) {
    case Metric::Euclidean:
      return static_cast<float>((query.offset + double(constant)) + dot * query.per_unit);
    case Metric::Cosine: {
      if (query.zero_query) return 1.0f;
      const double d = 1.0 - (dot * query.per_unit + query.offset) * double(constant);
      return static_cast<float>(d < 0 ? 0 : d > 2 ? 2 : d);
    }
    case Metric::DotProduct:
      break;
  }
  return static_cast<float>(dot * query.per_unit + query.offset);
}

// The traversal distance from a prepared query to one row (format.row_bytes bytes).
inline float sq8_distance(const Sq8Query& query, const uint8_t* row) {
  const double dot = double(query.dot(query.weights.data(), row, query.length));
  float constant;
  std::memcpy(&constant, row + query.length - sizeof(float), sizeof(float));
  return distance_from_dot(query, dot, constant);
}

// One implementation of the integer dot product, named for tests and benchmarks
// ("avx512", "avx2", "portable").
struct Sq8DotVariant {
  const char* name;
  Sq8DotFn dot;
};

// Every variant this build holds that this processor runs, fastest first, portable last.
std::span<const Sq8DotVariant> sq8_dot_variants();

}  // namespace dralm
