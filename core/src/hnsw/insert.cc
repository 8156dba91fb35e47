// Insertion: appending slots, linking a node into every layer it shares with the graph,
// back-links with pruning, and the batch form whose tail links in parallel.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <optional>

#include "distance/distance.h"
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

// The smallest float row a large batch links on codes for: eight cache lines (128
// dimensions), where a code row needs three. Measured builds: 64 dimensions gain
// nothing, 128 3 to 7 % of the CPU time, 784 about 20 %.
constexpr size_t kLeastCodedRowBytes = 512;

// Appends `added` to node's list on `layer` under its lock, unless it is listed
// already. A full list is chosen anew from its links plus `added`: nearest first, the
// older link first on a tie, through the diverse selection, at most the cap kept; on
// layer 0 no node loses its last incoming link or its home's link to it
// (keep_protected_links).
template <Metric kMetric>
void add_link_impl(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, Slot node,
                   size_t layer, Slot added, detail::SearchScratch& scratch) {
  LockedList list(g, node, layer);
  if (list.lists(added)) return;
  const Slot* slots = list.slots();
  const uint32_t count = list.length();
  const uint32_t cap = list.cap();
  if (count < cap) {
    list.append(added);
    if (layer == 0) detail::count_in_link(g, added);
    return;
  }
  const float* owner = row_as<float>(vectors, node);
  auto& order = scratch.pruning;
  order.clear();
  for (uint32_t i = 0; i <= count; ++i) {
    const Slot x = i < count ? slots[i] : added;
    order.emplace_back(metric_distance<kMetric>(owner, row_as<float>(vectors, x), dim), i);
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
    detail::keep_protected_links(g, node, pool, added, cap, kept);
  }
  list.replace(kept.data(), static_cast<uint32_t>(kept.size()));
}

// The walks of a linking, the greedy descent and the beams: on the full-precision rows,
// or on 8-bit code rows when `codes` is given. A beam's hits leave it measured exactly,
// nearest first, so every choice made from them (the diverse selection, the homes)
// compares true distances either way; the codes only decide which nodes the beam meets.
template <Metric kMetric>
class LinkWalk {
 public:
  LinkWalk(const ChunkedRows::View& vectors, size_t dim, const float* vector,
           const QuantizedRows* codes, detail::SearchScratch& scratch)
      : exact_(vectors, dim, vector), scratch_(scratch) {
    if (codes != nullptr) {
      coded_.emplace(codes->quantizer, codes->format, codes->rows->view(), vector,
                     scratch.sq8_query);
    }
  }
  Slot descend(const GraphView& g, Slot entry, uint64_t top, uint64_t above) const {
    return coded_ ? detail::descend(g, *coded_, entry, top, scratch_, above)
                  : detail::descend(g, exact_, entry, top, scratch_, above);
  }
  // Leaves the beam's hits in scratch.results, nearest first.
  void search(const GraphView& g, Slot start, uint64_t ef, size_t layer) const {
    if (!coded_) {
      detail::search_layer(g, exact_, start, ef, layer, scratch_);
      return;
    }
    detail::search_layer(g, *coded_, start, ef, layer, scratch_);
    detail::measure_exactly(scratch_.results, exact_);
  }

 private:
  detail::ExactDistance<kMetric> exact_;
  std::optional<detail::QuantizedDistance> coded_;
  detail::SearchScratch& scratch_;
};

template <Metric kMetric>
void link_impl(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, uint64_t max_level,
               uint64_t ef_construction, Slot slot, uint64_t level, Slot entry, bool checks,
               bool routes, const QuantizedRows* codes) {
  detail::SearchScratch& scratch = detail::thread_scratch();
  const LinkWalk<kMetric> walk(vectors, dim, row_as<float>(vectors, slot), codes, scratch);
  Slot ep = walk.descend(g, entry, max_level, level);
  // The node's own lists are written on every layer first, the back-links to it only
  // afterwards, so other threads reach the node only once it is linked all the way
  // down. A node met half-linked would show them an empty list below: they would link
  // to it alone, and lose that one link when its list is later chosen anew.
  const uint64_t top = std::min(level, max_level);
  std::vector<std::vector<Slot>>& chosen = scratch.chosen;
  if (chosen.size() <= top) chosen.resize(top + 1);
  for (uint64_t layer = top;; --layer) {
    walk.search(g, ep, ef_construction, layer);
    std::vector<Hit>& nearest = scratch.results;
    // A node linked again after its vector changed is still the target of links that
    // others hold; it is no neighbour of its own.
    std::erase_if(nearest, [slot](const Hit& h) { return h.slot == slot; });
    std::vector<Slot>& selected = chosen[layer];
    selected.clear();
    if (!nearest.empty()) {
      detail::select_diverse<kMetric>(vectors, dim, nearest, g.cap(layer), selected);
      if (layer == 0 && detail::keeps_last_links(kMetric)) {
        detail::take_homes(g, nearest, g.cap(0), selected);
      }
      LockedList own(g, slot, layer);
      if (layer == 0) {
        for (uint32_t i = 0; i < own.length(); ++i) detail::uncount_in_link(g, own.slots()[i]);
        for (const Slot s : selected) detail::count_in_link(g, s);
      }
      own.replace(selected.data(), static_cast<uint32_t>(selected.size()));
      if (layer == 0 && detail::keeps_last_links(kMetric)) {
        // The nearest node found becomes the node's home when it takes the back-link
        // below; the node becomes the home of each it lists that has none nearer.
        detail::offer_home(g, slot, nearest.front().slot, nearest.front().distance);
        for (const Hit& h : nearest) {
          if (detail::listed(selected, h.slot)) detail::offer_home(g, h.slot, slot, h.distance);
        }
      }
      ep = nearest.front().slot;
    }
    if (layer == 0) break;
  }
  // A node that does not route yet is named on layer 0 only (route_unrouted adds the rest).
  const uint64_t back_top = routes ? top : 0;
  for (uint64_t layer = 0; layer <= back_top; ++layer) {
    for (const Slot n : chosen[layer]) {
      if (g.has_layer(n, layer)) add_link_impl<kMetric>(g, vectors, dim, n, layer, slot, scratch);
    }
  }
  if (!detail::keeps_last_links(kMetric) || !checks) {
    // An update may have noted some; after a large batch every node is looked for.
    detail::at_risk_slots().clear();
    return;
  }
  // The nodes the linking left with one link are searched for here; the node itself once
  // every node of its call is linked (look_for_new, or the update's own check).
  detail::check_at_risk<kMetric>(g, vectors, dim, entry, max_level, detail::check_ef(g), scratch);
}

}  // namespace

void HnswIndex::append_slot(const float* vector, uint32_t level) {
  const size_t d = dim();
  if (quantized_.rows != nullptr) {
    encode_row(quantized_.quantizer, quantized_.format, vector,
               reinterpret_cast<uint8_t*>(quantized_.rows->append()));
  }
  const float norm = vector_norm({vector, d});
  std::memcpy(norms_.append(), &norm, sizeof(float));
  std::memcpy(vectors_.append(), vector, d * sizeof(float));
  graph_->add_node(level);
  if (deleted_bits_.size() * 64 < graph_->node_count()) deleted_bits_.append();
}

void HnswIndex::link_node(Slot slot, uint64_t level, Slot entry, uint64_t entry_level, bool checks,
                          bool routes, const QuantizedRows* codes) {
  const ChunkedRows::View vectors = vectors_.view();
  const size_t d = dim();
  const uint64_t max_level = entry_level;
  const uint64_t ef = params_.ef_construction;
  const GraphView g = graph_->writer_view();
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    link_impl<kMetric>(g, vectors, d, max_level, ef, slot, level, entry, checks, routes, codes);
  });
}

void HnswIndex::add_link(Slot node, size_t layer, Slot added) {
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    add_link_impl<kMetric>(graph_->writer_view(), vectors_.view(), dim(), node, layer, added,
                           detail::thread_scratch());
  });
  // No linking follows to check the nodes this left with one link; the list is per
  // thread and must not carry them into another index.
  detail::at_risk_slots().clear();
}

// One scan of the layer-1 lists, then the back-links of each node found unnamed; the
// entry needs none, since every descent starts there.
void HnswIndex::route_unrouted() {
  const GraphView g = graph_->writer_view();
  const Slot n = static_cast<Slot>(g.node_count());
  std::vector<char> named(n, 0);
  for (Slot s = 0; s < n; ++s) {
    if (!g.has_layer(s, 1)) continue;
    const Slot* list = g.list(s, 1);
    const uint32_t count = list_length(list, g.cap(1));
    for (uint32_t i = 0; i < count; ++i) named[load_slot(list + i)] = 1;
  }
  for (Slot s = 0; s < n; ++s) {
    if (named[s] || s == entry_point_ || !g.has_layer(s, 1)) continue;
    const uint64_t top = std::min<uint64_t>(g.level(s), max_level_);
    for (uint64_t layer = 1; layer <= top; ++layer) {
      const Slot* list = g.list(s, layer);
      const uint32_t count = list_length(list, g.cap(layer));
      for (uint32_t i = 0; i < count; ++i) {
        const Slot neighbour = load_slot(list + i);
        if (g.has_layer(neighbour, layer)) add_link(neighbour, layer, s);
      }
    }
  }
}

Slot HnswIndex::insert(std::span<const float> vector) {
  const Slot slot = stage(vector);
  publish();
  return slot;
}

std::vector<Slot> HnswIndex::insert_batch(std::span<const float> vectors) {
  std::vector<Slot> slots = stage_batch(vectors);
  publish();
  return slots;
}

Slot HnswIndex::stage(std::span<const float> vector) {
  return stage_with_level(vector, random_level());
}

// Rows are appended into memory that never moves, and a vector read from the store
// itself (even from the mapped file) stays where it is, so the caller's vectors are
// read in place.
Slot HnswIndex::stage_with_level(std::span<const float> vector, uint64_t level) {
  assert(vector.size() == dim());
  level = std::min(level, kMaxDrawnLevel);
  const Slot slot = static_cast<Slot>(graph_->node_count());
  append_slot(vector.data(), static_cast<uint32_t>(level));
  traversable_.store(graph_->node_count(), std::memory_order_release);
  if (entry_point_ == kNoEntry) {
    entry_point_ = slot;
    max_level_ = level;
    return slot;
  }
  // A new entry routes every descent at once: its linking is followed by a look for
  // every node. Any other node routes only from the next such look on (route_unrouted).
  const bool new_entry = level > max_level_;
  link_node(slot, level, entry_point_, max_level_, true, new_entry);
  if (new_entry) {
    entry_point_ = slot;
    max_level_ = level;
    make_findable();
    return slot;
  }
  look_for_new(slot, 1);
  note_unchecked(1);
  return slot;
}

std::vector<Slot> HnswIndex::stage_batch(std::span<const float> vectors) {
  const size_t d = dim();
  const size_t n = vectors.size() / d;
  if (n == 0) return {};
  std::vector<uint64_t> levels(n);
  for (uint64_t& level : levels) level = std::min(random_level(), kMaxDrawnLevel);

  const Slot first = static_cast<Slot>(graph_->node_count());
  // Every row exists before any link starts: the parallel phase only reads the tables.
  const size_t total = size_t(first) + n;
  vectors_.reserve(total);
  norms_.reserve(total);
  graph_->reserve(total);
  deleted_bits_.reserve((total + 63) / 64);
  if (quantized_.rows != nullptr) quantized_.rows->reserve(total);
  for (size_t i = 0; i < n; ++i) {
    append_slot(vectors.data() + i * d, static_cast<uint32_t>(levels[i]));
  }
  traversable_.store(graph_->node_count(), std::memory_order_release);
  // A batch of at least an eighth of the graph ends by looking for every node
  // (make_findable), so its linkings check nothing themselves.
  const bool large = n * 8 >= total;
  // A small batch's nodes route descents only from the next look for every node on
  // (route_unrouted), unless one of them becomes the entry, which calls for that look now.
  const uint64_t level_before = max_level_;
  // A large batch's linkings walk on 8-bit codes of every slot, trained on every stored
  // vector (the new ones among them, so none falls outside the codes' range) and dropped
  // after the batch: sq8_row_bytes(dim) a slot while it links, about a quarter of the
  // float rows. Linking is mostly the beams' fetching of rows, and a code row is a
  // quarter of a float row's cache lines; a short row gains too little to pay for
  // measuring every hit again. The rows are appended already, so a failure to hold the
  // codes must not leave them unlinked: the batch then links on floats.
  QuantizedRows batch_codes;
  if (large && n > kSequentialLinks && d * sizeof(float) >= kLeastCodedRowBytes) {
    try {
      batch_codes = code_every_slot(8);
    } catch (const std::bad_alloc&) {
      // batch_codes stays empty: the batch links on floats.
    }
  }
  const QuantizedRows* codes = batch_codes.rows != nullptr ? &batch_codes : nullptr;
  size_t start = 0;
  if (entry_point_ == kNoEntry) {
    entry_point_ = first;
    max_level_ = levels[0];
    start = 1;
  }
  const size_t sequential_end = std::min(n, kSequentialLinks);
  for (size_t k = start; k < sequential_end; ++k) {
    const bool entry_next = levels[k] > max_level_;
    link_node(first + k, levels[k], entry_point_, max_level_, !large, large || entry_next, codes);
    if (entry_next) {
      entry_point_ = static_cast<Slot>(first + k);
      max_level_ = levels[k];
    }
  }
  if (n > kSequentialLinks) {
    // entry_point_ and max_level_ stay fixed while the tail links; new entries are
    // chosen afterwards, lowest slot first among equal new levels.
    const Slot entry = entry_point_;
    const uint64_t entry_level = max_level_;
    parallel_for(n - kSequentialLinks, [&](size_t i) {
      const size_t k = kSequentialLinks + i;
      link_node(static_cast<Slot>(first + k), levels[k], entry, entry_level, !large,
                large || levels[k] > entry_level, codes);
    });
    for (size_t k = kSequentialLinks; k < n; ++k) {
      if (levels[k] > max_level_) {
        entry_point_ = static_cast<Slot>(first + k);
        max_level_ = levels[k];
      }
    }
  }
  if (large || max_level_ > level_before) {
    make_findable();
  } else {
    look_for_new(first, n);
    note_unchecked(n);
  }
  std::vector<Slot> slots(n);
  for (size_t i = 0; i < n; ++i) slots[i] = static_cast<Slot>(first + i);
  return slots;
}

}  // namespace dralm
