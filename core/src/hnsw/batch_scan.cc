// The exact scan of a batch of queries through matrix products.
//
// For a block of queries and a tile of rows, one matrix product gives every query-row
// dot product, and from it and the stored norms an estimate of every distance. A BLAS
// sums in its own order, so an estimate can differ from what the per-query scan computes
// for the same pair by a few rounding errors. The estimates are therefore used only to
// choose candidates: each comes with a bound on that difference, a row is kept while its
// lower bound does not exceed the k-th smallest upper bound so far, and the kept rows get
// the per-query scan's own distance. Every row left out is provably farther than k rows
// that were kept, so the k nearest, their distances and their order (ties by slot) are
// exactly those of the per-query scan.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "distance/blas_gemm.h"
#include "distance/distance.h"
#include "distance/metric_kernels.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/nearest_k.h"
#include "util/worker_pool.h"

namespace dralm {

namespace {

// Queries per matrix product: enough that each row tile read from memory serves many
// queries; fewer when the batch is small, so every worker gets a block.
constexpr size_t kMaxQueryBlock = 128;
// Rows per matrix product: the product block (queries x rows floats) stays in L2.
constexpr size_t kRowTile = 1024;

// How far a distance derived from a BLAS dot product may lie from the one the per-query
// scan computes, per unit of scale (the sum of squared norms for euclidean, the product of
// the norms for dot, 1 for cosine). A float dot product of length d is within
// d * u * |q| * |x| of the exact one whatever the summation order (u = 2^-24); both
// sides carry such an error, the stored norms and the final operations a few u more, and
// the other kernels (the direct squared difference, the double cosine) are no worse. The
// factor 8d + 64 covers all of it twice over; a wider bound only keeps a few more rows.
float rounding_slack(size_t dim) {
  return static_cast<float>((8.0 * double(dim) + 64.0) * std::ldexp(1.0, -24));
}

// The norms for which the bound above holds: far enough from both ends of the float range
// that no product, square or sum of the dot products or distances (all at most about
// 1e30 in size) overflows, and that underflow in them (at most d * 2^-150) is negligible
// beside the bound (at least about 1e-36).
constexpr float kMinNorm = 1e-15f;
constexpr float kMaxNorm = 1e15f;

// One query's state across the row tiles: the k smallest upper bounds seen (a max-heap)
// and the rows whose lower bound has not yet been shown to exceed the k-th of them.
struct QueryState {
  const float* query = nullptr;
  float qn2 = 0;  // the per-query scan's squared norm: float, in index order
  float qn = 0;
  bool per_query = false;  // estimates would tell nothing; run the per-query scan
  detail::SmallestK upper;
  struct Candidate {
    Slot slot;
    float lower;
  };
  std::vector<Candidate> candidates;

  // Drops the candidates the threshold has since excluded; the threshold only falls.
  void prune() {
    const float t = upper.kth();
    std::erase_if(candidates, [t](const Candidate& c) { return c.lower > t; });
  }
};

}  // namespace

void HnswIndex::scan_batch(std::span<const float> queries, uint64_t k,
                           std::vector<std::vector<Hit>>& results) const {
  assert(kHaveBlas && k > 0);
  const size_t d = dim();
  // The published slots as of now; rows appended meanwhile are not this search's.
  const Snapshot snap = snapshot();
  const size_t n = snap.count;
  const size_t query_count = queries.size() / d;
  assert(results.size() == query_count);
  const Metric m = metric();
  const bool any_deleted = !deleted_.empty();
  const float slack = rounding_slack(d);

  const size_t blocks_wanted = std::max<size_t>(worker_count(), 1);
  const size_t block =
      std::clamp<size_t>((query_count + blocks_wanted - 1) / blocks_wanted, 1, kMaxQueryBlock);
  const size_t block_count = (query_count + block - 1) / block;

  parallel_for(block_count, [&](size_t b) {
    const size_t first_query = b * block;
    const size_t count = std::min(block, query_count - first_query);
    const float* block_queries = queries.data() + first_query * d;
    std::vector<QueryState> states(count);
    for (size_t i = 0; i < count; ++i) {
      QueryState& s = states[i];
      s.query = block_queries + i * d;
      for (size_t j = 0; j < d; ++j) s.qn2 += s.query[j] * s.query[j];
      s.qn = std::sqrt(s.qn2);
      // Outside the norm range the bound is not known to hold (a zero query under cosine
      // ties every row at 1 anyway); such rare queries take the per-query scan.
      s.per_query = !(s.qn >= kMinNorm && s.qn <= kMaxNorm);
      s.upper.reset(k);
    }
    std::vector<float> dots(count * kRowTile);
    for (size_t first_row = 0; first_row < n;) {
      // A tile never crosses a chunk of the vector store: its rows are one matrix.
      const size_t rows =
          std::min({kRowTile, n - first_row, snap.vectors.contiguous_from(first_row)});
      gemm_dots(block_queries, count, row_as<float>(snap.vectors, first_row), rows, d, dots.data());
      for (size_t i = 0; i < count; ++i) {
        QueryState& s = states[i];
        if (s.per_query) continue;
        const float* g = dots.data() + i * rows;
        for (size_t j = 0; j < rows; ++j) {
          const Slot slot = static_cast<Slot>(first_row + j);
          if (any_deleted && snap.deleted_bit(slot)) continue;
          const float xn = *row_as<float>(snap.norms, slot);
          if (!(xn >= kMinNorm && xn <= kMaxNorm)) {
            // Zero, tiny, huge or non-finite: the bound would not hold (or a zero row's
            // cosine is the kernel's convention), so the row is simply re-ranked.
            s.candidates.push_back({slot, -std::numeric_limits<float>::infinity()});
            continue;
          }
          float estimate, bound;
          if (m == Metric::Euclidean) {
            const float scale = s.qn2 + xn * xn;
            estimate = scale - 2.0f * g[j];
            bound = slack * scale;
          } else if (m == Metric::DotProduct) {
            estimate = -g[j];
            bound = slack * (s.qn * xn);
          } else {
            estimate = 1.0f - g[j] / (s.qn * xn);
            bound = slack;
          }
          const float lower = estimate - bound;
          s.upper.offer(estimate + bound);
          if (lower <= s.upper.kth()) s.candidates.push_back({slot, lower});
        }
        if (s.candidates.size() > 4 * k + 4 * kRowTile) s.prune();
      }
      first_row += rows;
    }

    for (size_t i = 0; i < count; ++i) {
      QueryState& s = states[i];
      std::vector<Hit>& out = results[first_query + i];
      if (s.per_query) {
        out = scan(std::span<const float>(s.query, d), k, nullptr);
        continue;
      }
      s.prune();
      // The per-query scan's distance for each remaining row: the batch form over the
      // norms without deletions, the per-pair kernel with them.
      detail::NearestK nearest(k, s.candidates.size());
      with_metric(m, [&](auto metric_constant) {
        constexpr Metric kMetric = decltype(metric_constant)::value;
        const std::span<const float> query(s.query, d);
        for (const QueryState::Candidate& c : s.candidates) {
          const float* row = row_as<float>(snap.vectors, c.slot);
          float exact;
          if (any_deleted) {
            exact = metric_distance<kMetric>(s.query, row, d);
          } else {
            batch_distances_into(query, row, d, 1, row_as<float>(snap.norms, c.slot), kMetric,
                                 &exact);
          }
          nearest.offer({c.slot, exact});
        }
      });
      out = nearest.take_sorted();
    }
  });
}

}  // namespace dralm
