#include "quantize/sq4_grid.h"

#include <array>
#include <cassert>
#include <cmath>

#include "quantize/sq4_rows.h"

namespace dralm {

namespace {

// The number of 4-bit levels.
constexpr int kLevels = 16;
// Fewer rows say too little about where later ones will lie: the grid stays the trained
// one, which covers every value seen.
constexpr uint64_t kRowsToFit = 1000;

// Prefix sums of a dimension's code counts, of counts x code and of counts x code^2, so
// the squared error of rounding any run of codes to one level costs O(1).
struct CodeSums {
  std::array<double, 257> count{}, first{}, second{};

  explicit CodeSums(std::span<const uint64_t> counts) {
    for (int v = 0; v < 256; ++v) {
      const double n = double(counts[v]);
      count[v + 1] = count[v] + n;
      first[v + 1] = first[v] + n * v;
      second[v + 1] = second[v] + n * v * v;
    }
  }
  // Sum over codes v in [begin, end) of counts(v) (v - level)^2.
  double error(int begin, int end, double level) const {
    if (begin >= end) return 0;
    const double n = count[end] - count[begin], s1 = first[end] - first[begin],
                 s2 = second[end] - second[begin];
    return s2 - 2 * level * s1 + level * level * n;
  }
};

// The squared error of the grid lo + sp c: each code goes to the nearest level, codes
// below the first level to it and codes above the last to that.
double grid_error(const CodeSums& sums, int lo, int sp) {
  double total = 0;
  int begin = 0;
  for (int c = 0; c < kLevels; ++c) {
    const int level = lo + sp * c;
    // Codes up to the midpoint with the next level (ties go up, as rounding does).
    const int end = c + 1 == kLevels ? 256 : level + (sp + 1) / 2;
    total += sums.error(begin, end, level);
    begin = end;
  }
  return total;
}

}  // namespace

void Sq8CodeCounts::add(const Sq8Quantizer& q, const float* v) {
  assert(q.dim == dim_);
  codes_.resize(dim_);
  encode(q, v, codes_.data());
  for (size_t j = 0; j < dim_; ++j) ++counts_[j * 256 + codes_[j]];
  ++rows_;
}

Sq8Quantizer fit_sq4_quantizer(const Sq8Quantizer& q, const Sq8CodeCounts& counts) {
  assert(counts.dim() == q.dim);
  Sq8Quantizer fitted = q;
  if (counts.rows() < kRowsToFit) return fitted;
  const int spacing = int(kSq4Spacing);
  for (size_t j = 0; j < q.dim; ++j) {
    if (q.scales[j] >= kOverflowStep) continue;
    const CodeSums sums(counts.dimension(j));
    // The trained grid (lo 0, sp 17) first: another must do strictly better.
    int best_lo = 0, best_sp = spacing;
    double best = grid_error(sums, 0, spacing);
    for (int sp = 1; sp < spacing; ++sp) {
      for (int lo = 0; lo + sp * (kLevels - 1) <= 255; ++lo) {
        const double error = grid_error(sums, lo, sp);
        if (error < best) {
          best = error;
          best_lo = lo;
          best_sp = sp;
        }
      }
    }
    // Code 17 c of the fitted quantizer is SQ8 code lo + sp c of the trained one.
    fitted.mins[j] = q.mins[j] + q.scales[j] * float(best_lo);
    fitted.scales[j] = q.scales[j] * float(best_sp) / float(spacing);
  }
  return fitted;
}

}  // namespace dralm
