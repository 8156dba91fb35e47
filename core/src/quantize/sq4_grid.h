// Where the 16 levels of 4-bit codes lie in each dimension.
//
// A 4-bit code c stands for the SQ8 code 17 c of its quantizer (sq4_rows.h), so with the
// trained SQ8 quantizer the 16 levels span each dimension's whole range, from its least
// to its largest value. Most data is dense in the middle of that range and thin at its
// ends (the extremes of a million Gaussian values lie about five deviations out), so
// evenly spread levels waste most of their resolution on the tails. The grid is
// therefore fitted to the data: per dimension, the 16 levels lo + sp c (c = 0..15) over
// SQ8 codes, with whole numbers 1 <= sp <= 17 and 0 <= lo <= 255 - 15 sp, that make the
// squared rounding error over the data's SQ8 codes least. Values past the grid's ends
// round to its end levels. The result is again a quantizer, whose code 17 c stands for
// the SQ8 code lo + sp c of the trained one, so everything that reads 4-bit rows works
// unchanged. Where the whole range fits best, the trained quantizer's dimension stays as
// it was, and so does every dimension when fewer than a thousand rows were counted.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quantize/sq8.h"

namespace dralm {

// Counts of each of the 256 SQ8 codes in every dimension: dim x 256, dimension-major.
class Sq8CodeCounts {
 public:
  explicit Sq8CodeCounts(uint64_t dim) : dim_(dim), counts_(size_t(dim) * 256, 0) {}
  // Counts the codes of the vector `v` under `q`.
  void add(const Sq8Quantizer& q, const float* v);
  std::span<const uint64_t> dimension(size_t j) const {
    return std::span<const uint64_t>(counts_).subspan(j * 256, 256);
  }
  uint64_t dim() const { return dim_; }
  uint64_t rows() const { return rows_; }

 private:
  uint64_t dim_;
  uint64_t rows_ = 0;
  std::vector<uint64_t> counts_;
  std::vector<uint8_t> codes_;
};

// The quantizer whose 4-bit codes fit `counts` (taken under `q`) best, as above.
// Dimensions whose step is the overflow step keep it.
Sq8Quantizer fit_sq4_quantizer(const Sq8Quantizer& q, const Sq8CodeCounts& counts);

}  // namespace dralm
