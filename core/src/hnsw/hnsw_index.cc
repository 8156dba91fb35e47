// Construction, restoring, reading the graph, deletion and quantization switches.
// Insertion, search and update live in insert.cc, search.cc and update.cc.
#include "hnsw/hnsw_index.h"

#include <cassert>
#include <cmath>

#include "distance/distance.h"
#include "hnsw/graph.h"
#include "hnsw/in_links.h"
#include "util/random.h"

namespace dralm {

HnswIndex::HnswIndex(const IndexParams& params)
    : params_(params), level_mult_(1.0 / std::log(static_cast<double>(params.m))),
      graph_(std::make_unique<Graph>(params.m, 2 * params.m)) {
  // The database rejects these before creating an index.
  assert(params.dim >= 1 && params.m >= 2 && params.ef_construction >= 1);
  init_distance_kernels();
}

HnswIndex::~HnswIndex() = default;

std::unique_ptr<HnswIndex> HnswIndex::restore(const IndexParams& params, VectorStore store,
                                              std::vector<float> norms,
                                              std::span<const uint32_t> layer_counts,
                                              Slot entry_point, uint64_t max_level,
                                              std::unordered_set<Slot> deleted) {
  assert(norms.size() == layer_counts.size());
  assert(store.float_count() == norms.size() * params.dim);
  auto index = std::make_unique<HnswIndex>(params);
  index->store_ = std::move(store);
  index->norms_ = std::move(norms);
  Graph& g = *index->graph_;
  g.reserve(layer_counts.size());
  for (const uint32_t layers : layer_counts) {
    assert(layers >= 1);
    g.add_node(layers - 1);
  }
  index->deleted_bits_.assign((layer_counts.size() + 63) / 64, 0);
  for (const Slot s : deleted) {
    assert(s < layer_counts.size());
    index->set_deleted_bit(s);
  }
  index->deleted_ = std::move(deleted);
  index->entry_point_ = entry_point;
  index->max_level_ = max_level;
  index->live_count_.store(layer_counts.size() - index->deleted_.size());
  return index;
}

void HnswIndex::set_neighbours(Slot slot, size_t layer, std::span<const Slot> list) {
  assert(slot < node_count() && graph_->has_layer(slot, layer));
  assert(list.size() <= graph_->cap(layer));
  uint32_t* block = graph_->block(slot, layer);
  ListLock lock(block);
  // The cap also bounds the copy in release builds: the block has no room beyond it.
  const size_t count = std::min<size_t>(list.size(), graph_->cap(layer));
  if (layer == 0) {
    for (uint32_t i = 0; i < block[0]; ++i) detail::uncount_in_link(*graph_, list_slots(block)[i]);
    for (size_t i = 0; i < count; ++i) detail::count_in_link(*graph_, list[i]);
  }
  std::copy(list.begin(), list.begin() + count, list_slots(block));
  block[0] = static_cast<uint32_t>(count);
}

void HnswIndex::set_quantized(std::optional<QuantizedState> state) {
  assert(!state || (state->quantizer.dim == dim() && state->codes.size() == node_count() * dim()));
  quantized_ = std::move(state);
}

bool HnswIndex::uses_brute_force() const {
  return static_cast<unsigned __int128>(live_count()) * dim() < kBruteForceLimit;
}

size_t HnswIndex::layer_count(Slot slot) const {
  assert(slot < node_count());
  return size_t(graph_->levels[slot]) + 1;
}

std::vector<Slot> HnswIndex::neighbours(Slot slot, size_t layer) const {
  assert(slot < node_count());
  if (!graph_->has_layer(slot, layer)) return {};
  uint32_t* block = const_cast<Graph&>(*graph_).block(slot, layer);
  ListLock lock(block);
  return std::vector<Slot>(list_slots(block), list_slots(block) + block[0]);
}

size_t HnswIndex::neighbour_count(Slot slot, size_t layer) const {
  assert(slot < node_count());
  if (!graph_->has_layer(slot, layer)) return 0;
  uint32_t* block = const_cast<Graph&>(*graph_).block(slot, layer);
  ListLock lock(block);
  return block[0];
}

void HnswIndex::set_deleted_bit(Slot slot) {
  deleted_bits_[slot >> 6] |= uint64_t(1) << (slot & 63);
}

void HnswIndex::mark_deleted(Slot slot) {
  if (slot >= node_count() || deleted_bit(slot)) return;
  deleted_.insert(slot);
  set_deleted_bit(slot);
  live_count_.fetch_sub(1, std::memory_order_relaxed);
}

void HnswIndex::enable_quantization() {
  if (node_count() == 0) return;
  const std::span<const float> data(store_.data(), store_.float_count());
  QuantizedState state;
  // Deleted slots are encoded but do not shape the parameters: a removed outlier
  // would otherwise keep coarsening every code until compaction.
  state.quantizer = train(data, dim(), [this](size_t slot) { return !deleted_bit(slot); });
  state.codes = encode_all(state.quantizer, data, dim());
  quantized_ = std::move(state);
}

uint64_t HnswIndex::random_level() const {
  return level_from_draw(thread_random_u64(), level_mult_);
}

}  // namespace dralm
