// Search: the choice between the exact scan and the graph, the graph walk (full
// precision, or 8- or 4-bit traversal with exact re-ranking), the scan, and batches of queries.
#include <algorithm>
#include <cassert>
#include <cmath>

#include "distance/blas_gemm.h"
#include "distance/distance.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/nearest_k.h"
#include "hnsw/traversal.h"
#include "util/worker_pool.h"

namespace dralm {

namespace detail {

SearchScratch& thread_scratch() {
  thread_local SearchScratch scratch;
  return scratch;
}

}  // namespace detail

namespace {

// Sorts hits ascending (NaN last) and keeps the first k.
void sort_and_truncate(std::vector<Hit>& hits, uint64_t k) {
  std::sort(hits.begin(), hits.end(), detail::FartherOnTop());
  if (hits.size() > k) hits.resize(k);
}

// Re-ranks a quantized walk's candidates (ascending by code distance) with exact
// distances, skipping the slots `skip` names, and returns the hits with exact distances
// (unsorted). Reading a float row costs more than a code row, so not every candidate is
// re-ranked: past the first max(2k, kMinReranked) candidates, and once k hits are
// measured, it stops at the first candidate whose code distance, less twice the largest
// gap between a code distance and its exact distance seen so far, is above the k-th best
// exact distance. The
// gap measured on the nearest candidates bounds how far the codes misplace the rest, so
// a candidate past that point is very unlikely to belong in the answer, and every later
// one is further still. Coarse codes have large gaps and re-rank most of the beam; 8-bit
// codes usually stop after little more than k. A NaN or infinite gap never stops early.
template <class Exact, class Skip>
std::vector<Hit> rerank_exactly(const std::vector<Hit>& candidates, const Exact& exact, uint64_t k,
                                const Skip& skip) {
  if (k == 0) return {};
  constexpr size_t kMinReranked = 16;
  const size_t least = std::max<size_t>(2 * k, kMinReranked);
  std::vector<Hit> hits;
  hits.reserve(std::min<size_t>(candidates.size(), least));
  detail::SmallestK best(k);  // the k smallest exact distances so far
  float largest_gap = 0;
  // The rows lie scattered, so a few are fetched ahead of the one being measured.
  constexpr size_t kAhead = detail::kPrefetchAhead;
  for (size_t i = 0; i < std::min(kAhead, candidates.size()); ++i) {
    exact.prefetch(candidates[i].slot);
  }
  for (size_t i = 0; i < candidates.size(); ++i) {
    const Hit& candidate = candidates[i];
    if (i >= least && candidate.distance - 2 * largest_gap > best.kth()) {
      break;
    }
    if (i + kAhead < candidates.size()) exact.prefetch(candidates[i + kAhead].slot);
    if (skip(candidate.slot)) continue;
    const float distance = exact(candidate.slot);
    hits.push_back({candidate.slot, distance});
    largest_gap = std::max(largest_gap, std::abs(candidate.distance - distance));
    best.offer(distance);
  }
  return hits;
}

// The acceptance test of the filtered walks: live, and taken by `accept`.
auto live_and_accepted(const AcceptFn& accept, const HnswIndex::Snapshot& snap, bool any_deleted) {
  return [&accept, &snap, any_deleted](Slot s) {
    if (s >= snap.count) return false;  // staged: walked through, never returned
    if (any_deleted && snap.deleted_bit(s)) return false;
    return accept(s);
  };
}

// The descent and the layer-0 beam search, leaving W sorted ascending in
// scratch.results. W admits published slots only; staged ones are walked through.
template <class Dist>
void walk(const GraphView& g, const Dist& dist, Slot entry, uint64_t max_level, size_t width,
          size_t published, detail::SearchScratch& scratch) {
  const Slot ep = detail::descend(g, dist, entry, max_level, scratch);
  detail::beam_search(
      g, dist, ep, width, 0, [published](Slot s) { return s < published; }, scratch);
}

// The same descent, then a layer-0 walk whose results are only the live slots `accept`
// takes, sorted ascending in scratch.results.
template <class Dist>
void walk_filtered(const GraphView& g, const Dist& dist, Slot entry, uint64_t max_level,
                   size_t width, const AcceptFn& accept, const HnswIndex::Snapshot& snap,
                   bool any_deleted, detail::SearchScratch& scratch) {
  const Slot ep = detail::descend(g, dist, entry, max_level, scratch);
  detail::search_layer_admitting(g, dist, ep, width, live_and_accepted(accept, snap, any_deleted),
                                 scratch);
}

// The same descent, then the layer-0 walk over accepted live slots only, started from
// where the descent ends and from `seeds`.
template <class Dist>
void walk_within(const GraphView& g, const Dist& dist, Slot entry, uint64_t max_level, size_t width,
                 size_t fanout, const AcceptFn& accept, std::span<const Slot> seeds,
                 const HnswIndex::Snapshot& snap, bool any_deleted,
                 detail::SearchScratch& scratch) {
  const Slot ep = detail::descend(g, dist, entry, max_level, scratch);
  std::vector<Slot>& starts = scratch.kept;
  starts.assign(seeds.begin(), seeds.end());
  starts.push_back(ep);
  detail::search_layer_within(g, dist, std::span<const Slot>(starts), width, fanout,
                              live_and_accepted(accept, snap, any_deleted), scratch);
}

}  // namespace

HnswIndex::Snapshot HnswIndex::snapshot() const {
  Snapshot snap;
  // The entry first and the count next (publish() stores them the other way round), so
  // the entry lies below the count; the tables after the count, so they hold every row
  // below it.
  const uint64_t entry = published_entry_.load(std::memory_order_acquire);
  snap.entry = unpack_slot(entry);
  snap.max_level = unpack_level(entry);
  snap.count = published_.load(std::memory_order_acquire);
  const size_t traversable = std::max(snap.count, traversable_.load(std::memory_order_acquire));
  snap.vectors = vectors_.view();
  snap.norms = norms_.view();
  if (quantized_.rows != nullptr) snap.sq8_rows = quantized_.rows->view();
  snap.deleted_bits = deleted_bits_.view();
  snap.graph = graph_->view(traversable);
  snap.graph.traversable = &traversable_;
  return snap;
}

std::vector<Hit> HnswIndex::search_within(std::span<const float> query, uint64_t k, uint64_t ef,
                                          const AcceptFn& accept,
                                          std::span<const Slot> seeds) const {
  assert(query.size() == dim() && "query dimension mismatch");
  if (entry_point() == kNoEntry) return {};
  if (uses_brute_force()) return scan(query, k, &accept);
  return graph_search(query, k, ef, &accept, &seeds);
}

std::vector<Hit> HnswIndex::search(std::span<const float> query, uint64_t k, uint64_t ef) const {
  return search_one(query, k, ef, nullptr);
}

std::vector<Hit> HnswIndex::search_filtered(std::span<const float> query, uint64_t k, uint64_t ef,
                                            const AcceptFn& accept) const {
  return search_one(query, k, ef, &accept);
}

std::vector<Hit> HnswIndex::search_one(std::span<const float> query, uint64_t k, uint64_t ef,
                                       const AcceptFn* accept) const {
  assert(query.size() == dim() && "query dimension mismatch");
  if (entry_point() == kNoEntry) return {};
  if (uses_brute_force()) return scan(query, k, accept);
  return graph_search(query, k, ef, accept);
}

std::vector<std::vector<Hit>> HnswIndex::search_batch(std::span<const float> queries, uint64_t k,
                                                      uint64_t ef) const {
  assert(queries.size() % dim() == 0);
  const size_t d = dim();
  const size_t n = queries.size() / d;
  std::vector<std::vector<Hit>> results(n);
  if (entry_point() == kNoEntry) return results;
  // Below the graph threshold, several queries share each pass over the vectors as
  // matrix products; one query, k = 0 or k covering every live slot gain nothing from it.
  if (kHaveBlas && n >= 2 && k > 0 && k < live_count() && uses_brute_force()) {
    scan_batch(queries, k, results);
    return results;
  }
  parallel_for(n, [&](size_t i) { results[i] = search(queries.subspan(i * d, d), k, ef); });
  return results;
}

std::vector<Hit> HnswIndex::graph_search(std::span<const float> query, uint64_t k, uint64_t ef,
                                         const AcceptFn* accept,
                                         const std::span<const Slot>* within_seeds) const {
  return graph_search_in(snapshot(), query, k, ef, accept, within_seeds);
}

std::vector<Hit> HnswIndex::graph_search_in(const Snapshot& snap, std::span<const float> query,
                                            uint64_t k, uint64_t ef, const AcceptFn* accept,
                                            const std::span<const Slot>* within_seeds) const {
  assert(query.size() == dim());
  if (snap.entry == kNoEntry) return {};
  // A filtered walk fills its beam with accepted slots only, so it needs no wider beam
  // than an unfiltered one.
  uint64_t width = std::max(ef, k);
  // W can never hold more than every node, so a wider beam changes nothing; the
  // bound keeps a huge ef from sizing buffers by it.
  width = std::clamp<uint64_t>(width, 1, snap.count);

  detail::SearchScratch& scratch = detail::thread_scratch();
  const size_t d = dim();
  const GraphView& g = snap.graph;
  const bool quantized = quantized_.rows != nullptr;
  std::vector<Hit> hits;
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    const bool any_deleted = !deleted_.empty();
    // One walk for either distance: unfiltered, over matches only, or filter-aware.
    const auto run_walk = [&](const auto& dist) {
      if (accept == nullptr) {
        walk(g, dist, snap.entry, snap.max_level, width, snap.count, scratch);
      } else if (within_seeds != nullptr) {
        walk_within(g, dist, snap.entry, snap.max_level, width, m_max0(), *accept, *within_seeds,
                    snap, any_deleted, scratch);
      } else {
        walk_filtered(g, dist, snap.entry, snap.max_level, width, *accept, snap, any_deleted,
                      scratch);
      }
    };
    if (quantized && quantized_.format.bits == 4) {
      run_walk(detail::Sq4Distance(quantized_.quantizer, quantized_.format, snap.sq8_rows,
                                   query.data(), scratch.sq4_query));
    } else if (quantized) {
      run_walk(detail::QuantizedDistance(quantized_.quantizer, quantized_.format, snap.sq8_rows,
                                         query.data(), scratch.sq8_query));
    } else {
      run_walk(detail::ExactDistance<kMetric>(snap.vectors, d, query.data()));
    }
    const std::vector<Hit>& nearest = scratch.results;
    if (!quantized) {
      // W is in ascending order: the first k live hits are the answer (a filtered walk
      // admitted only live accepted slots).
      hits.reserve(std::min<size_t>(k, nearest.size()));
      for (const Hit& hit : nearest) {
        if (hits.size() == k) break;
        if (accept == nullptr && any_deleted && snap.deleted_bit(hit.slot)) continue;
        hits.push_back(hit);
      }
      return;
    }
    // Traversal distances are approximate; every reported distance is exact.
    const detail::ExactDistance<kMetric> exact(snap.vectors, d, query.data());
    // The filtered walk admitted only live accepted slots.
    const bool skip_deleted = accept == nullptr && any_deleted;
    hits = rerank_exactly(nearest, exact, k,
                          [&](Slot s) { return skip_deleted && snap.deleted_bit(s); });
    sort_and_truncate(hits, k);
  });
  return hits;
}

std::vector<Hit> HnswIndex::scan(std::span<const float> query, uint64_t k,
                                 const AcceptFn* accept) const {
  brute_force_notice();
  const Snapshot snap = snapshot();
  const size_t n = snap.count;
  const size_t d = dim();
  detail::NearestK nearest(k, n);
  if (accept == nullptr && deleted_.empty()) {
    // The batch distances, a block of rows at a time: the block stays in L1 and the
    // selection runs while the rows are hot. A block never crosses a chunk.
    constexpr size_t kBlockRows = 256;
    float block[kBlockRows];
    for (size_t first = 0; first < n;) {
      const size_t rows = std::min({kBlockRows, n - first, snap.vectors.contiguous_from(first),
                                    snap.norms.contiguous_from(first)});
      batch_distances_into(query, row_as<float>(snap.vectors, first), d, rows,
                           row_as<float>(snap.norms, first), metric(), block);
      for (size_t j = 0; j < rows; ++j) nearest.offer({static_cast<Slot>(first + j), block[j]});
      first += rows;
    }
  } else {
    // Deletions or a filter: exact per-slot distances over the slots that qualify.
    with_metric(metric(), [&](auto metric_constant) {
      constexpr Metric kMetric = decltype(metric_constant)::value;
      const bool any_deleted = !deleted_.empty();
      for (size_t i = 0; i < n; ++i) {
        const Slot s = static_cast<Slot>(i);
        if (any_deleted && snap.deleted_bit(s)) continue;
        if (accept != nullptr && !(*accept)(s)) continue;
        nearest.offer(
            {s, metric_distance<kMetric>(query.data(), row_as<float>(snap.vectors, i), d)});
      }
    });
  }
  return nearest.take_sorted();
}

std::vector<Hit> HnswIndex::search_slots(std::span<const float> query, uint64_t k,
                                         std::span<const Slot> slots) const {
  assert(query.size() == dim());
  const size_t d = dim();
  detail::NearestK nearest(k, slots.size());
  if (k == 0) return {};
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    const detail::ExactDistance<kMetric> dist(vectors_.view(), d, query.data());
    // The rows are scattered, so fetch a few ahead as the walk does.
    for (size_t i = 0; i < std::min(slots.size(), detail::kPrefetchAhead); ++i) {
      dist.prefetch(slots[i]);
    }
    for (size_t i = 0; i < slots.size(); ++i) {
      if (i + detail::kPrefetchAhead < slots.size()) {
        dist.prefetch(slots[i + detail::kPrefetchAhead]);
      }
      assert(slots[i] < node_count() && !is_deleted(slots[i]));
      nearest.offer({slots[i], dist(slots[i])});
    }
  });
  return nearest.take_sorted();
}

}  // namespace dralm
