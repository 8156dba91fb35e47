// Reconnecting nodes that no layer-0 path from the entry reaches: adopting one node into
// the list of its nearest neighbour, and the pass that finds every cut-off node.
#include <vector>

#include "distance/distance.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/in_links.h"
#include "hnsw/traversal.h"

namespace dralm {
namespace {

// Adopting can take a spare link away from a node whose other incoming links all come
// from cut-off nodes; the pass then walks again. A few rounds settle every case seen.
constexpr int kReconnectRounds = 4;

}  // namespace

bool HnswIndex::adopt(Slot orphan, const std::vector<char>* reached) {
  if (entry_point_ == kNoEntry || orphan == entry_point_) return true;
  const float* vectors = store_.data();
  const size_t d = dim();
  Graph& g = *graph_;
  return with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    detail::SearchScratch& scratch = detail::thread_scratch();
    const detail::ExactDistance<kMetric> dist(vectors, d, vectors + size_t(orphan) * d);
    // The descent a search for the orphan's own vector makes: the node it ends at on
    // layer 0 is the one whose list must name the orphan.
    Slot ep = entry_point_;
    for (uint64_t layer = max_level_; layer > 0; --layer) {
      ep = detail::greedy_closest<false>(g, dist, ep, layer, scratch);
    }
    std::vector<Slot> near;
    // The descent can end in a part of layer 0 that is itself cut off (upper layers link
    // it); only nodes the walk from the entry reached may adopt, so the search starts
    // again from the entry itself when the first finds none.
    for (const Slot start : {ep, entry_point_}) {
      detail::search_layer<false>(g, dist, start, params_.ef_construction, 0, scratch);
      detail::sort_results(scratch.results);
      for (const Hit& h : scratch.results) {
        if (h.slot != orphan && (reached == nullptr || (*reached)[h.slot])) near.push_back(h.slot);
      }
      if (!near.empty()) break;
    }
    const bool adopted = detail::adopt_orphan<kMetric>(g, vectors, d, orphan, near);
    // A node whose spare link the adoption took still has another; the pass walks again
    // rather than searching for it. The list is per thread: nothing may stay behind.
    detail::at_risk_slots().clear();
    return adopted;
  });
}

void HnswIndex::reconnect() {
  const size_t n = node_count();
  if (entry_point_ == kNoEntry || n < 2) return;
  const Graph& g = *graph_;
  std::vector<char> reached(n);
  std::vector<Slot> stack;
  auto walk_from = [&](Slot start) {
    reached[start] = 1;
    stack.push_back(start);
    while (!stack.empty()) {
      const uint32_t* block = g.block(stack.back(), 0);
      stack.pop_back();
      for (uint32_t i = 0; i < block[0]; ++i) {
        const Slot x = list_slots(block)[i];
        if (!reached[x]) {
          reached[x] = 1;
          stack.push_back(x);
        }
      }
    }
  };
  for (int round = 0; round < kReconnectRounds; ++round) {
    std::fill(reached.begin(), reached.end(), 0);
    walk_from(entry_point_);
    bool adopted = false;
    for (Slot s = 0; s < n; ++s) {
      // A deleted node needs no way in; a live one behind it gets its own link.
      if (reached[s] || is_deleted(s)) continue;
      adopted = true;
      if (adopt(s, &reached)) walk_from(s);
    }
    if (!adopted) return;
  }
}

}  // namespace dralm
