// The findability pass after a large batch: nodes at risk of being missed are searched
// for as a search would (from the entry, at the check beam) and a node the search misses
// is adopted by the nearest node found (hnsw/in_links.h).
//
// The in-link counts keep every node linked and the homes keep each listed by the
// nearest node its linking found, but a batch can still leave a node whose links all
// come from nodes a search for it never expands: its true nearest neighbour arrived
// later and did not find it, or it was linked while the graph was sparse. Such nodes
// have few incoming links, or none on a path from the entry. Checking only those (a few
// per cent of the nodes) costs a small part of a build; the pass runs after a batch of
// at least an eighth of the graph (a build, a compaction's rebuild among them).
#include <atomic>
#include <vector>

#include "distance/distance.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/in_links.h"
#include "hnsw/traversal.h"
#include "util/worker_pool.h"

namespace dralm {
namespace {

// Marks every node a walk over layer-0 links from `entry` reaches.
std::vector<char> reached_from(const GraphView& g, Slot entry) {
  std::vector<char> reached(g.node_count(), 0);
  std::vector<Slot> stack{entry};
  reached[entry] = 1;
  while (!stack.empty()) {
    const uint32_t* block = g.block(stack.back(), 0);
    stack.pop_back();
    const uint32_t count = load_count(block);
    for (uint32_t i = 0; i < count; ++i) {
      const Slot x = load_slot(list_slots(block) + i);
      if (!reached[x]) {
        reached[x] = 1;
        stack.push_back(x);
      }
    }
  }
  return reached;
}

}  // namespace

size_t HnswIndex::make_findable() {
  if (!detail::keeps_last_links(metric()) || entry_point_ == kNoEntry) return 0;
  const GraphView g = graph_->writer_view();
  const ChunkedRows::View vectors = vectors_.view();
  const size_t d = dim();
  const Slot entry = entry_point_;
  const uint64_t max_level = max_level_;
  const uint64_t ef = detail::check_ef(g);
  const uint32_t few = detail::few_in_links(g);
  const std::vector<char> reached = reached_from(g, entry);
  std::atomic<size_t> adopted{0};
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    auto check = [&]<bool kLocked>(Slot s) {
      detail::SearchScratch& scratch = detail::thread_scratch();
      if (detail::find_or_adopt<kMetric, kLocked>(g, vectors, d, entry, max_level, ef, s,
                                                  scratch)) {
        adopted.fetch_add(1, std::memory_order_relaxed);
      }
      detail::check_at_risk<kMetric, kLocked>(g, vectors, d, entry, max_level, ef, scratch);
    };
    // Several threads edit lists at once: their walks copy each list under its lock.
    const bool concurrent = worker_count() > 1;
    parallel_for(g.node_count(), [&](size_t i) {
      const Slot s = static_cast<Slot>(i);
      if (deleted_bit(s)) return;  // a deleted node needs no way in
      if (reached[s] && detail::in_link_count(g, s) > few) return;
      if (concurrent) {
        check.template operator()<true>(s);
      } else {
        check.template operator()<false>(s);
      }
    });
  });
  return adopted.load(std::memory_order_relaxed);
}

void HnswIndex::keep_findable(std::span<const Slot> slots) {
  if (!detail::keeps_last_links(metric()) || entry_point_ == kNoEntry) return;
  const GraphView g = graph_->writer_view();
  const ChunkedRows::View vectors = vectors_.view();
  const uint64_t ef = detail::check_ef(g);
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    detail::SearchScratch& scratch = detail::thread_scratch();
    std::vector<Slot>& at_risk = detail::at_risk_slots();
    at_risk.insert(at_risk.begin(), slots.begin(), slots.end());
    detail::check_at_risk<kMetric, false>(g, vectors, dim(), entry_point_, max_level_, ef, scratch);
  });
}

}  // namespace dralm
