// Insertion: appending slots, linking a node into every layer it shares with the graph,
// back-links with pruning, and the batch form whose tail links in parallel.
#include <algorithm>
#include <cassert>

#include "distance/distance.h"
#include "hnsw/aliasing.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/in_links.h"
#include "hnsw/neighbour_select.h"
#include "hnsw/traversal.h"
#include "util/worker_pool.h"

namespace dralm {
namespace {

// A drawn level is infinite only when the draw is exactly zero (u = 0, odds 2^-53);
// clamping keeps such a node to a storable number of layers. Any other draw gives at
// most 53 (m = 2), so no ordinary level is changed.
constexpr uint64_t kMaxDrawnLevel = 64;

// Batches link their first this many nodes one after another, so that a batch into an
// empty or small index grows a connected core before threads link concurrently.
constexpr size_t kSequentialLinks = 128;

// Appends `added` to node's list on `layer` under its lock, unless it is listed
// already. A full list is chosen anew from its links plus `added`: nearest first, the
// older link first on a tie, through the diverse selection, at most the cap kept; on
// layer 0 no node loses its last incoming link to it (keep_last_in_links).
template <Metric kMetric>
void add_link_impl(HnswIndex::Graph& g, const float* vectors, size_t dim, Slot node, size_t layer,
                   Slot added, detail::SearchScratch& scratch) {
  uint32_t* block = g.block(node, layer);
  ListLock lock(block);
  Slot* slots = list_slots(block);
  const uint32_t count = block[0];
  if (std::find(slots, slots + count, added) != slots + count) return;
  const uint32_t cap = g.cap(layer);
  if (count < cap) {
    slots[count] = added;
    block[0] = count + 1;
    if (layer == 0) detail::count_in_link(g, added);
    return;
  }
  const float* owner = vectors + size_t(node) * dim;
  auto& order = scratch.pruning;
  order.clear();
  for (uint32_t i = 0; i <= count; ++i) {
    const Slot x = i < count ? slots[i] : added;
    order.emplace_back(metric_distance<kMetric>(owner, vectors + size_t(x) * dim, dim), i);
  }
  // The new link has the last position, so ordering equal distances by position keeps
  // the older link first; with this key an unstable sort orders like a stable one.
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    if (detail::closer(a.first, b.first)) return true;
    if (detail::closer(b.first, a.first)) return false;
    return a.second < b.second;
  });
  std::vector<Hit>& pool = scratch.pool;
  pool.clear();
  for (const auto& [d, i] : order) pool.push_back({i < count ? slots[i] : added, d});
  std::vector<Slot>& kept = scratch.kept;
  detail::select_diverse<kMetric>(vectors, dim, pool, cap, kept);
  if (layer == 0 && detail::keeps_last_links(kMetric)) {
    detail::keep_last_in_links(g, pool, added, cap, kept);
  }
  std::copy(kept.begin(), kept.end(), slots);
  block[0] = static_cast<uint32_t>(kept.size());
}

// Searches, as an insertion does, for each node in at_risk_slots() (left with one
// incoming layer-0 link, or none) and empties it; one the search misses is adopted by
// the nearest node found.
// Adopting can leave another node with one link, which is then checked in turn, up to a
// bound that keeps one linking's work small (a node left unchecked is still reachable).
template <Metric kMetric, bool kLocked>
void keep_findable(HnswIndex::Graph& g, const float* vectors, size_t dim, uint64_t max_level,
                   uint64_t ef, Slot entry, detail::SearchScratch& scratch) {
  constexpr size_t kMostChecked = 64;
  std::vector<Slot>& at_risk = detail::at_risk_slots();
  thread_local std::vector<Slot> near;
  for (size_t i = 0; i < at_risk.size() && i < kMostChecked; ++i) {
    const Slot r = at_risk[i];
    assert(r < g.node_count());
    if (std::find(at_risk.begin(), at_risk.begin() + ptrdiff_t(i), r) !=
        at_risk.begin() + ptrdiff_t(i))
      continue;
    const detail::ExactDistance<kMetric> dist(vectors, dim, vectors + size_t(r) * dim);
    Slot ep = entry;
    for (uint64_t layer = max_level; layer > 0; --layer) {
      ep = detail::greedy_closest<kLocked>(g, dist, ep, layer, scratch);
    }
    detail::search_layer<kLocked>(g, dist, ep, ef, 0, scratch);
    detail::sort_results(scratch.results);
    near.clear();
    bool found = false;
    for (const Hit& h : scratch.results) {
      if (h.slot == r) {
        found = true;
        break;
      }
      near.push_back(h.slot);
    }
    if (!found) detail::adopt_orphan<kMetric>(g, vectors, dim, r, near);
  }
  at_risk.clear();
}

template <Metric kMetric, bool kLocked>
void link_impl(HnswIndex::Graph& g, const float* vectors, size_t dim, uint64_t max_level,
               uint64_t ef_construction, Slot slot, uint64_t level, Slot entry) {
  detail::SearchScratch& scratch = detail::thread_scratch();
  const detail::ExactDistance<kMetric> dist(vectors, dim, vectors + size_t(slot) * dim);
  Slot ep = entry;
  for (uint64_t layer = max_level; layer > level; --layer) {
    ep = detail::greedy_closest<kLocked>(g, dist, ep, layer, scratch);
  }
  // The node's own lists are written on every layer first, the back-links to it only
  // afterwards, so other threads reach the node only once it is linked all the way
  // down. A node met half-linked would show them an empty list below: they would link
  // to it alone, and lose that one link when its list is later chosen anew.
  const uint64_t top = std::min(level, max_level);
  std::vector<std::vector<Slot>>& chosen = scratch.chosen;
  if (chosen.size() <= top) chosen.resize(top + 1);
  for (uint64_t layer = top;; --layer) {
    detail::search_layer<kLocked>(g, dist, ep, ef_construction, layer, scratch);
    detail::sort_results(scratch.results);
    std::vector<Hit>& nearest = scratch.results;
    // A node linked again after its vector changed is still the target of links that
    // others hold; it is no neighbour of its own.
    std::erase_if(nearest, [slot](const Hit& h) { return h.slot == slot; });
    std::vector<Slot>& selected = chosen[layer];
    selected.clear();
    if (!nearest.empty()) {
      detail::select_diverse<kMetric>(vectors, dim, nearest, g.cap(layer), selected);
      uint32_t* block = g.block(slot, layer);
      ListLock lock(block);
      if (layer == 0) {
        for (uint32_t i = 0; i < block[0]; ++i) detail::uncount_in_link(g, list_slots(block)[i]);
        for (const Slot s : selected) detail::count_in_link(g, s);
      }
      std::copy(selected.begin(), selected.end(), list_slots(block));
      block[0] = static_cast<uint32_t>(selected.size());
      ep = nearest.front().slot;
    }
    if (layer == 0) break;
  }
  for (uint64_t layer = 0; layer <= top; ++layer) {
    for (const Slot n : chosen[layer]) {
      if (g.has_layer(n, layer)) add_link_impl<kMetric>(g, vectors, dim, n, layer, slot, scratch);
    }
  }
  // Every neighbour may have judged the node covered by its other links (a node far from
  // the rest, most of all). Nothing can reach it then, so no other thread links to it:
  // its nearest neighbour takes it in place of a link it can spare.
  if constexpr (!detail::keeps_last_links(kMetric)) {
    detail::at_risk_slots().clear();  // an update may have noted some
    return;
  }
  if (detail::in_link_count(g, slot) == 0) {
    detail::adopt_orphan<kMetric>(g, vectors, dim, slot, chosen[0]);
  }
  // A node with a single way in may not be where a search for it ends (a far node among
  // clusters is linked from one of them, not necessarily the one a search descends to).
  if (detail::in_link_count(g, slot) <= 1) detail::at_risk_slots().push_back(slot);
  // The check's beam is the layer-0 cap, not ef_construction: a node found by the narrow
  // beam is found by a search's wider one, and checking costs a fraction of a linking.
  keep_findable<kMetric, kLocked>(g, vectors, dim, max_level,
                                  std::min<uint64_t>(ef_construction, g.cap(0)), entry, scratch);
}

}  // namespace

void HnswIndex::append_slot(const float* vector, uint32_t level) {
  assert(!store_.is_mapped());
  const size_t d = dim();
  if (quantized_) {
    std::vector<uint8_t>& codes = quantized_->codes;
    codes.resize(codes.size() + d);
    encode(quantized_->quantizer, vector, codes.data() + codes.size() - d);
  }
  norms_.push_back(vector_norm({vector, d}));
  std::vector<float>& floats = store_.owned();
  floats.insert(floats.end(), vector, vector + d);
  graph_->add_node(level);
  if (deleted_bits_.size() * 64 < norms_.size()) deleted_bits_.push_back(0);
}

void HnswIndex::link_node(Slot slot, uint64_t level, Slot entry, uint64_t entry_level,
                          bool concurrent) {
  const float* vectors = store_.data();
  const size_t d = dim();
  const uint64_t max_level = entry_level;
  const uint64_t ef = params_.ef_construction;
  Graph& g = *graph_;
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    if (concurrent) {
      link_impl<kMetric, true>(g, vectors, d, max_level, ef, slot, level, entry);
    } else {
      link_impl<kMetric, false>(g, vectors, d, max_level, ef, slot, level, entry);
    }
  });
}

void HnswIndex::add_link(Slot node, size_t layer, Slot added) {
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    add_link_impl<kMetric>(*graph_, store_.data(), dim(), node, layer, added,
                           detail::thread_scratch());
  });
  // No linking follows to check the nodes this left with one link; the list is per
  // thread and must not carry them into another index.
  detail::at_risk_slots().clear();
}

Slot HnswIndex::insert(std::span<const float> vector) {
  return insert_with_level(vector, random_level());
}

Slot HnswIndex::insert_with_level(std::span<const float> vector, uint64_t level) {
  assert(vector.size() == dim());
  level = std::min(level, kMaxDrawnLevel);
  std::vector<float> copy;
  if (detail::overlaps(vector.data(), vector.size(), store_.data(), store_.float_count())) {
    copy.assign(vector.begin(), vector.end());
    vector = copy;
  }
  make_owned();
  const Slot slot = static_cast<Slot>(node_count());
  append_slot(vector.data(), static_cast<uint32_t>(level));
  live_count_.fetch_add(1, std::memory_order_relaxed);
  if (entry_point_ == kNoEntry) {
    entry_point_ = slot;
    max_level_ = level;
    return slot;
  }
  link_node(slot, level, entry_point_, max_level_, false);
  if (level > max_level_) {
    entry_point_ = slot;
    max_level_ = level;
  }
  return slot;
}

std::vector<Slot> HnswIndex::insert_batch(std::span<const float> vectors) {
  const size_t d = dim();
  const size_t n = vectors.size() / d;
  if (n == 0) return {};
  std::vector<uint64_t> levels(n);
  for (uint64_t& level : levels) level = std::min(random_level(), kMaxDrawnLevel);

  std::vector<float> copy;
  if (detail::overlaps(vectors.data(), n * d, store_.data(), store_.float_count())) {
    copy.assign(vectors.begin(), vectors.begin() + n * d);
    vectors = copy;
  }
  make_owned();
  const Slot first = static_cast<Slot>(node_count());
  // Every array reaches its final size before any link starts; the parallel phase
  // relies on nothing moving under it.
  store_.owned().reserve(store_.float_count() + n * d);
  norms_.reserve(norms_.size() + n);
  graph_->reserve(node_count() + n);
  if (quantized_) quantized_->codes.reserve(quantized_->codes.size() + n * d);
  for (size_t i = 0; i < n; ++i) {
    append_slot(vectors.data() + i * d, static_cast<uint32_t>(levels[i]));
  }

  size_t start = 0;
  if (entry_point_ == kNoEntry) {
    entry_point_ = first;
    max_level_ = levels[0];
    start = 1;
  }
  const size_t sequential_end = std::min(n, kSequentialLinks);
  for (size_t k = start; k < sequential_end; ++k) {
    link_node(first + k, levels[k], entry_point_, max_level_, false);
    if (levels[k] > max_level_) {
      entry_point_ = static_cast<Slot>(first + k);
      max_level_ = levels[k];
    }
  }
  if (n > kSequentialLinks) {
    // entry_point_ and max_level_ stay fixed while the tail links; new entries are
    // chosen afterwards, lowest slot first among equal new levels.
    const Slot entry = entry_point_;
    const uint64_t entry_level = max_level_;
    const bool concurrent = worker_count() > 1;
    parallel_for(n - kSequentialLinks, [&](size_t i) {
      const size_t k = kSequentialLinks + i;
      link_node(static_cast<Slot>(first + k), levels[k], entry, entry_level, concurrent);
    });
    for (size_t k = kSequentialLinks; k < n; ++k) {
      if (levels[k] > max_level_) {
        entry_point_ = static_cast<Slot>(first + k);
        max_level_ = levels[k];
      }
    }
  }
  live_count_.fetch_add(n, std::memory_order_relaxed);
  // The pass walks every list once. Run after a batch of at least an eighth of the graph
  // (a compaction's rebuild among them), it costs at most eight list reads per node
  // linked; smaller batches and single inserts rely on the in-link counts alone.
  if (n * 8 >= node_count() && detail::keeps_last_links(metric())) reconnect();

  std::vector<Slot> slots(n);
  for (size_t i = 0; i < n; ++i) slots[i] = static_cast<Slot>(first + i);
  return slots;
}

}  // namespace dralm
