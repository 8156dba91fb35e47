// Statistics of the index for diagnostics: sizes, degrees and which search path runs.
#include "db/stats.h"

#include <cstdint>
#include <limits>

namespace dralm {

Stats index_stats(const HnswIndex& index) {
  Stats stats;
  stats.num_deleted = index.deleted().size();
  stats.uses_quantized_search = index.is_quantized();
  stats.quantized_search_bits = uint64_t(index.quantized_bits());
  const size_t node_count = index.node_count();
  if (node_count == 0) {
    stats.uses_brute_force = true;
    return stats;
  }

  stats.num_vectors = index.live_count();
  stats.num_layers = index.max_level() + 1;
  uint64_t sum = 0;
  uint64_t max_degree = 0;
  uint64_t min_degree = std::numeric_limits<uint64_t>::max();
  uint64_t graph_entries = 0;
  const bool any_deleted = !index.deleted().empty();
  for (size_t s = 0; s < node_count; ++s) {
    const Slot slot = static_cast<Slot>(s);
    const size_t layers = index.layer_count(slot);
    for (size_t layer = 0; layer < layers; ++layer) {
      const uint64_t degree = index.neighbour_count(slot, layer);
      graph_entries += degree;
      if (layer != 0 || (any_deleted && index.is_deleted(slot))) continue;
      sum += degree;
      max_degree = std::max(max_degree, degree);
      min_degree = std::min(min_degree, degree);
    }
  }
  stats.avg_degree_layer0 =
      stats.num_vectors == 0 ? 0.0 : static_cast<double>(sum) / double(stats.num_vectors);
  stats.max_degree_layer0 = max_degree;
  stats.min_degree_layer0 = stats.num_vectors == 0 ? 0 : min_degree;
  stats.memory_vectors_bytes = uint64_t(node_count) * index.dim() * 4;
  stats.memory_graph_bytes = graph_entries * 4;
  stats.memory_quantized_bytes = index.quantized_bytes();
  stats.uses_brute_force = index.uses_brute_force();
  return stats;
}

Stats Database::stats() const {
  SharedGuard index_guard(index_lock_);
  return index_stats(*index_);
}

}  // namespace dralm
