// The in-memory form of SQ8 codes that traversal reads: one fixed-size row per slot.
//
// Row layout (row_bytes = sq8_row_bytes(dim), a multiple of 16):
//   bytes [0, dim)                 the slot's dim code bytes, as in vectors.sq8
//   bytes [dim, row_bytes - 4)     zero
//   bytes [row_bytes - 4, row_bytes)  the row constant, a little-endian float:
//       euclidean  sum of (step' * code)^2       (step' below)
//       cosine     1 / |decoded vector|, 0 for a zero vector
//       dot        0 (unused)
// The distance kernel reads the whole row as codes against a query that is zero past
// dim, so the padding and the constant add nothing to its sum and it needs no tail.
// Rows are opaque to their holder: any storage that keeps row_bytes per slot, at any
// address (16-byte alignment is best; the kernel loads unaligned), can hold them;
// encode_row fills one and sq8_distance (sq8_distance.h) reads one.
//
// The file vectors.sq8 keeps its own layout (dim bytes per slot); rows are derived from
// it at load (rows_from_codes) and never written.
//
// A format with bits = 4 describes the rows of 4-bit traversal codes instead
// (quantize/sq4_rows.h): the same measure (steps, mins, scale), coarser codes packed two
// to a byte, the constant at the end of the row in the same place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "distance/metric.h"
#include "quantize/sq8.h"

namespace dralm {

// Bytes of one row for `dim` dimensions: dim code bytes and the 4-byte constant,
// rounded up to a multiple of 16.
constexpr size_t sq8_row_bytes(uint64_t dim) { return (size_t(dim) + 4 + 15) / 16 * 16; }

// What traversal measures with, derived once from a quantizer and the index metric.
// Traversal decodes code c of dimension j as mins[j] + c * steps[j]: the quantizer's
// own values, except that
//   - a dimension with the overflow step (kOverflowStep: values near both ends of the
//     float range) is measured with the largest ordinary step, centred on zero (the
//     quantizer's own centre is only known to within about 1e31); its codes 127 and
//     128 would otherwise stand half a step (about 7e35) from their values and swamp
//     every other dimension;
//   - data whose sums could leave the float range (values beyond about 1e9 / sqrt(dim),
//     or below 1e-9) is measured in units scaled by a power of two (`scale`), which
//     keeps every order and every sum finite.
// Ordinary data keeps its units: scale is 1 and steps and mins are the quantizer's.
struct Sq8RowFormat {
  Metric metric = Metric::Euclidean;
  int bits = 8;  // 8: one code byte per dimension; 4: quantize/sq4_rows.h
  uint64_t dim = 0;
  size_t row_bytes = 0;
  double scale = 1;
  std::vector<double> steps;  // per dimension, times scale
  std::vector<double> mins;   // per dimension, times scale
  // The largest magnitude a code decodes to in any dimension (in the scaled units):
  // what bounds a query far outside the data.
  double largest_decoded = 0;
};

// `bits` is 8 or 4 (the row layout; the measure is the same).
Sq8RowFormat make_row_format(const Sq8Quantizer& q, Metric metric, int bits = 8);

// Writes the row of the vector `v` (q.dim floats) to `row` (format.row_bytes bytes), in
// the layout of format.bits.
void encode_row(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* v, uint8_t* row);
// The row constant (above) of a vector whose dim SQ8 codes are `codes`.
float constant_of_codes(const Sq8RowFormat& format, const uint8_t* codes);
// Writes the row of the given dim code bytes (a slot of vectors.sq8) to `row`; 8-bit
// formats only.
void row_from_codes(const Sq8RowFormat& format, const uint8_t* codes, uint8_t* row);
// The row's constant (the last four bytes).
float row_constant(const Sq8RowFormat& format, const uint8_t* row);

// The quantized state of an index: its quantizer, the format derived from it, and one
// row per slot in slot order.
struct QuantizedState {
  Sq8Quantizer quantizer;
  Sq8RowFormat format;
  std::vector<uint8_t> rows;  // format.row_bytes per slot

  size_t row_count() const { return format.row_bytes == 0 ? 0 : rows.size() / format.row_bytes; }
  const uint8_t* row(size_t slot) const { return rows.data() + slot * format.row_bytes; }
  uint8_t* row(size_t slot) { return rows.data() + slot * format.row_bytes; }
  // Appends the row of `v`.
  void append(const float* v);
  // The slot's dim code bytes (the first bytes of its row).
  std::span<const uint8_t> codes(size_t slot) const { return {row(slot), quantizer.dim}; }
};

// Rows for every whole vector of `data` under `q`.
QuantizedState encode_state(Sq8Quantizer q, Metric metric, std::span<const float> data);
// Rows for codes read from vectors.sq8 (dim bytes per slot).
QuantizedState state_from_codes(Sq8Quantizer q, Metric metric, std::span<const uint8_t> codes);

}  // namespace dralm
