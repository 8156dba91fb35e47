// Entry points below the public surface of HnswIndex, for the engine's own tests and
// benchmarks: the graph walk whatever the live-float count, the state a walk reads,
// node insertion at a chosen level, and one back-link with its pruning.
#pragma once

#include <span>
#include <vector>

#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"

namespace dralm {

struct IndexInternals {
  // search / search_filtered as they run above the brute-force threshold.
  static std::vector<Hit> graph_search(const HnswIndex& index, std::span<const float> query,
                                       uint64_t k, uint64_t ef, const AcceptFn* accept = nullptr) {
    return index.graph_search(query, k, ef, accept);
  }
  // search_within as it runs above the brute-force threshold.
  static std::vector<Hit> graph_search_within(const HnswIndex& index, std::span<const float> query,
                                              uint64_t k, uint64_t ef, const AcceptFn& accept,
                                              std::span<const Slot> seeds) {
    return index.graph_search(query, k, ef, &accept, &seeds);
  }
  // The published state a search loads when it starts, and the graph walk run on such a
  // state later: a test changes the index in between, as a writer does while a search
  // runs. `seeds` non-null: search_within's walk. Tests also run the walks of
  // traversal.h directly on a snapshot.
  static HnswIndex::Snapshot snapshot(const HnswIndex& index) { return index.snapshot(); }
  static std::vector<Hit> graph_search_in(const HnswIndex& index, const HnswIndex::Snapshot& snap,
                                          std::span<const float> query, uint64_t k, uint64_t ef,
                                          const AcceptFn* accept = nullptr,
                                          const std::span<const Slot>* seeds = nullptr) {
    return index.graph_search_in(snap, query, k, ef, accept, seeds);
  }
  // The exact scan search uses below the threshold.
  static std::vector<Hit> scan(const HnswIndex& index, std::span<const float> query, uint64_t k,
                               const AcceptFn* accept = nullptr) {
    return index.scan(query, k, accept);
  }
  // The quantized rows, for running the walks of traversal.h directly on a snapshot.
  static const QuantizedRows& quantized_rows(const HnswIndex& index) { return index.quantized_; }
  // insert() with the level given instead of drawn.
  static Slot insert_with_level(HnswIndex& index, std::span<const float> vector, uint64_t level) {
    const Slot slot = index.stage_with_level(vector, level);
    index.publish();
    return slot;
  }
  // Appends `added` to `node`'s list on `layer`, pruning past the cap.
  static void add_link(HnswIndex& index, Slot node, size_t layer, Slot added) {
    index.add_link(node, layer, added);
  }
};

}  // namespace dralm
