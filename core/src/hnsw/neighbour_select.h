// Neighbour selection: which candidates a node keeps as links on one layer, both when a
// node is linked and when a list overflows.
//
// Keeping only the nearest candidates lets a dense region absorb every link: its nodes
// point at each other, the nodes around them lose their inbound links, and tight
// clusters close up into islands that a search cannot leave. The diverse rule keeps a
// candidate only when it is closer to the node than to every neighbour already kept,
// so each kept link covers a direction of its own and links to other clusters survive.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "hnsw/hnsw_index.h"
#include "hnsw/traversal.h"

namespace dralm::detail {

// Walks `candidates` (hits measured from the node, nearest first, NaN last) and appends
// to `kept` each one that no already kept neighbour shadows, until `kept` holds `cap`.
// A candidate is shadowed when it lies strictly closer to a kept neighbour than to the
// node; a candidate equidistant from both stays. Candidates at a NaN distance come
// last; a number is nearer than NaN, so one is kept only when no kept neighbour lies at
// a number from it (a node whose every distance is NaN still gets one link, which keeps
// it in the graph). `kept` starts empty.
template <Metric kMetric>
void select_diverse(const ChunkedRows::View& vectors, size_t dim, std::span<const Hit> candidates,
                    size_t cap, std::vector<Slot>& kept) {
  kept.clear();
  for (const Hit& candidate : candidates) {
    if (kept.size() >= cap) break;
    const float* c = row_as<float>(vectors, candidate.slot);
    bool shadowed = false;
    for (const Slot r : kept) {
      if (closer(metric_distance<kMetric>(c, row_as<float>(vectors, r), dim), candidate.distance)) {
        shadowed = true;
        break;
      }
    }
    if (!shadowed) kept.push_back(candidate.slot);
  }
}

}  // namespace dralm::detail
