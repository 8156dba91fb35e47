// Traversal distances from 4-bit rows (sq4_rows.h) with integer arithmetic. The query is
// prepared as for SQ8 (sq8_distance.h: one 16-bit weight per dimension, the metric's
// offset and unit), one weight per dimension of every code block; a distance is then
// 17 times the integer dot product of the weights with the row's 4-bit codes (the
// codes' SQ8 values are 17 c) and the SQ8 formula with the row's constant. The weights'
// scale bounds the sum for codes up to 255, so the sum over codes up to 15 is exact in
// 32 bits and every kernel variant gives the same value, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "quantize/sq4_rows.h"
#include "quantize/sq8.h"
#include "quantize/sq8_distance.h"
#include "quantize/sq8_rows.h"

namespace dralm {

// The integer dot product of the weights of `blocks` blocks (32 each, in dimension
// order) with the 4-bit codes of those blocks (16 bytes each, sq4_rows.h).
using Sq4DotFn = int32_t (*)(const int16_t* weights, const uint8_t* codes, size_t blocks);

// A query prepared for one quantizer and 4-bit row format (copies, as Sq8Query).
struct Sq4Query {
  Sq8Query integer;  // weights (blocks x 32, zero past dim), offset and unit
  size_t blocks = 0;
  size_t row_bytes = 0;
  Sq4DotFn dot = nullptr;  // the kernel chosen for this processor
};

// Prepares `query` (q.dim floats) into `out` for rows of `format` (bits = 4).
void prepare_sq4_query(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* query,
                       Sq4Query& out);

// The traversal distance from a prepared query to one 4-bit row.
inline float sq4_distance(const Sq4Query& query, const uint8_t* row) {
  const int32_t sum = query.dot(query.integer.weights.data(), row, query.blocks);
  float constant;
  std::memcpy(&constant, row + query.row_bytes - sizeof(float), sizeof(float));
  return distance_from_dot(query.integer, double(kSq4Spacing) * double(sum), constant);
}

// One implementation of the 4-bit dot product ("avx512", "avx2", "portable").
struct Sq4DotVariant {
  const char* name;
  Sq4DotFn dot;
};

// Every variant this build holds that this processor runs, fastest first, portable last.
std::span<const Sq4DotVariant> sq4_dot_variants();

}  // namespace dralm
