// Test helpers for the HNSW index: its parameters, a checker of the graph's invariants,
// clustered test data, and exact answers to compare searches against.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "hnsw/hnsw_index.h"

namespace dralm::testing {

// Index parameters; m and ef_construction default to those of a new database.
inline IndexParams index_params(uint64_t dim, Metric metric = Metric::Euclidean, uint64_t m = 16,
                                uint64_t ef_construction = 200) {
  return IndexParams{dim, metric, m, ef_construction};
}

// Every published vector, slot after slot (the index keeps them in chunks).
std::vector<float> stored_vectors(const HnswIndex& index);

struct GraphCheckOptions {
  // The largest fraction of nodes allowed to be unreachable from the entry point over
  // layer-0 links (1 disables the walk). Linking keeps every node reachable (pruning
  // never drops a node's last incoming link, and a large batch ends with a pass that
  // links any node still cut off); tests of hand-made or partly unlinked graphs relax it.
  double max_unreachable_fraction = 0.0;
  // Linking never makes a node list itself or list a slot twice; tests of hand-made
  // lists may allow it.
  bool allow_self_links = false;
};

// Checks the data model's invariants (counts, entry point and max_level, list caps,
// slots in range, norms, codes, reachability). Returns "" when they hold, otherwise a
// description of the first violation.
std::string check_graph(const HnswIndex& index, const GraphCheckOptions& options = {});

// The number of nodes that a walk over layer-0 links from the entry point never reaches.
size_t unreachable_count(const HnswIndex& index);

// `count` vectors of `dim` floats around `clusters` centres with N(0, 1) coordinates,
// plus Gaussian noise of standard deviation `spread` per coordinate. The centres depend
// only on `centre_seed` (and the shape), the points on `seed`: data and queries drawn
// with two seeds share their clusters.
// A `spread` near 1 gives clusters that overlap like real embeddings; a small one
// (0.05) gives tight clusters far apart, the hardest case for keeping links between
// clusters.
std::vector<float> clustered_data(size_t count, size_t dim, size_t clusters, uint64_t seed,
                                  float spread = 1.0f, uint64_t centre_seed = 0);

// `count` vectors drawn as N(mean, (4 sd)^2) per coordinate, with the mean and standard
// deviation of the coordinates of `data` (rows of `dim`): each lies far from every
// cluster and from the others. Deterministic for a given seed.
std::vector<float> far_outliers(std::span<const float> data, size_t dim, size_t count,
                                uint64_t seed);

// The live slots, ascending, that a k 1 search for their own vector at beam `ef` misses
// (a hit at the vector's distance from itself, an equal vector or under cosine one in the
// same direction, counts as found). Searches run on the worker pool.
std::vector<Slot> self_search_misses(const HnswIndex& index, uint64_t ef);

// The k nearest live slots by per-pair distance(), ascending.
std::vector<Hit> exact_knn(const HnswIndex& index, std::span<const float> query, size_t k);

// |found ∩ truth| / |truth| over slot sets.
double recall(const std::vector<Hit>& found, const std::vector<Hit>& truth);

}  // namespace dralm::testing
