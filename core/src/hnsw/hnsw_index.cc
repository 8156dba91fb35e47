// Construction, restoring, reading the graph, publication, deletion and quantization
// switches. Insertion, search and update live in insert.cc, search.cc and update.cc.
#include "hnsw/hnsw_index.h"

#include <cassert>
#include <cmath>
#include <cstring>

#include "distance/distance.h"
#include "hnsw/graph.h"
#include "hnsw/in_links.h"
#include "quantize/sq4_grid.h"
#include "quantize/sq4_rows.h"
#include "util/random.h"

namespace dralm {

HnswIndex::HnswIndex(const IndexParams& params)
    : params_(params), level_mult_(1.0 / std::log(static_cast<double>(params.m))),
      vectors_(params.dim * sizeof(float)), norms_(sizeof(float)), deleted_bits_(sizeof(uint64_t)),
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
  const size_t n = layer_counts.size();
  const size_t d = params.dim;
  if (store.is_mapped()) {
    // The mapping's rows become the first chunks; they are copied only when written.
    index->mapped_vectors_ = std::move(store.mapping());
    index->vectors_.borrow(reinterpret_cast<const std::byte*>(index->mapped_vectors_.data()), n);
    // The loader read the norms at the file's end; searches read rows as they need them.
    index->release_mapped_vectors();
  } else {
    index->vectors_.reserve(n);
    for (size_t s = 0; s < n; ++s) {
      std::memcpy(index->vectors_.append(), store.owned().data() + s * d, d * sizeof(float));
    }
  }
  index->norms_.reserve(n);
  for (const float norm : norms) std::memcpy(index->norms_.append(), &norm, sizeof(float));
  Graph& g = *index->graph_;
  g.reserve(n);
  for (const uint32_t layers : layer_counts) {
    assert(layers >= 1);
    g.add_node(layers - 1);
  }
  for (size_t w = 0; w < (n + 63) / 64; ++w) index->deleted_bits_.append();
  for (const Slot s : deleted) {
    assert(s < n);
    index->set_deleted_bit(s);
  }
  index->deleted_ = std::move(deleted);
  index->entry_point_ = entry_point;
  index->max_level_ = max_level;
  index->live_count_.store(n - index->deleted_.size());
  index->traversable_.store(n, std::memory_order_release);
  index->published_.store(n, std::memory_order_release);
  index->published_entry_.store(pack_entry(entry_point, max_level), std::memory_order_release);
  return index;
}

void HnswIndex::set_neighbours(Slot slot, size_t layer, std::span<const Slot> list) {
  const GraphView g = graph_->writer_view();
  assert(slot < g.node_count() && g.has_layer(slot, layer));
  assert(list.size() <= g.cap(layer));
  LockedList own(g, slot, layer);
  // The cap also bounds the copy in release builds: the list has no room beyond it.
  const size_t count = std::min<size_t>(list.size(), own.cap());
  if (layer == 0) {
    for (uint32_t i = 0; i < own.length(); ++i) detail::uncount_in_link(g, own.slots()[i]);
    for (size_t i = 0; i < count; ++i) detail::count_in_link(g, list[i]);
  }
  own.replace(list.data(), static_cast<uint32_t>(count));
}

void HnswIndex::set_quantized(std::optional<QuantizedState> state) {
  if (!state) {
    disable_quantization();
    return;
  }
  const size_t n = graph_->node_count();
  assert(state->quantizer.dim == dim() && state->format.metric == metric() &&
         state->format.row_bytes ==
             (state->format.bits == 4 ? sq4_row_bytes(dim()) : sq8_row_bytes(dim())) &&
         state->row_count() == n);
  QuantizedRows rows;
  rows.quantizer = std::move(state->quantizer);
  rows.format = std::move(state->format);
  rows.rows = std::make_unique<ChunkedRows>(rows.format.row_bytes);
  rows.rows->reserve(n);
  for (size_t s = 0; s < n; ++s) {
    std::memcpy(rows.rows->append(), state->row(s), rows.format.row_bytes);
  }
  install_quantized(std::move(rows));
}

std::optional<QuantizedState> HnswIndex::quantized() const {
  if (!is_quantized()) return std::nullopt;
  QuantizedState state;
  state.quantizer = quantized_.quantizer;
  state.format = quantized_.format;
  const size_t n = node_count();
  const size_t row_bytes = quantized_.format.row_bytes;
  state.rows.resize(n * row_bytes);
  const ChunkedRows::View rows = quantized_.rows->view();
  for (size_t s = 0; s < n; ++s) std::memcpy(state.row(s), rows.row(s), row_bytes);
  return state;
}

uint64_t HnswIndex::quantized_bytes() const {
  if (!is_quantized()) return 0;
  // Parameters and one byte a code (two 4-bit codes a byte), as the statistic is
  // defined; the rows in memory add their padding and constant (sq8_rows.h).
  const uint64_t code_bytes = quantized_.format.bits == 4 ? (dim() + 1) / 2 : dim();
  return quantized_.quantizer.dim * 8 + uint64_t(node_count()) * code_bytes;
}

std::vector<float> HnswIndex::norms() const {
  std::vector<float> out(node_count());
  for (size_t s = 0; s < out.size(); ++s) out[s] = norm(static_cast<Slot>(s));
  return out;
}

bool HnswIndex::uses_brute_force() const {
  return static_cast<unsigned __int128>(live_count()) * dim() < kBruteForceLimit;
}

size_t HnswIndex::layer_count(Slot slot) const {
  const GraphView g = graph_->writer_view();
  assert(slot < g.node_count());
  return size_t(g.level(slot)) + 1;
}

std::vector<Slot> HnswIndex::neighbours(Slot slot, size_t layer) const {
  const GraphView g = graph_->writer_view();
  assert(slot < g.node_count());
  if (!g.has_layer(slot, layer)) return {};
  const LockedList list(g, slot, layer);
  return std::vector<Slot>(list.slots(), list.slots() + list.length());
}

size_t HnswIndex::neighbour_count(Slot slot, size_t layer) const {
  const GraphView g = graph_->writer_view();
  assert(slot < g.node_count());
  if (!g.has_layer(slot, layer)) return 0;
  return LockedList(g, slot, layer).length();
}

void HnswIndex::publish() {
  const size_t staged = graph_->node_count();
  const size_t published = published_.load(std::memory_order_relaxed);
  live_count_.fetch_add(staged - published, std::memory_order_relaxed);
  // The count first, then the entry: a search loads the entry first, so any entry it
  // sees lies below the count it loads next.
  published_.store(staged, std::memory_order_release);
  published_entry_.store(pack_entry(entry_point_, max_level_), std::memory_order_release);
}

void HnswIndex::set_deleted_bit(Slot slot) {
  uint64_t* word = reinterpret_cast<uint64_t*>(deleted_bits_.mutable_row(slot >> 6));
  *word |= uint64_t(1) << (slot & 63);
}

void HnswIndex::mark_deleted(Slot slot) {
  if (slot >= node_count() || deleted_bit(slot)) return;
  deleted_.insert(slot);
  set_deleted_bit(slot);
  live_count_.fetch_sub(1, std::memory_order_relaxed);
}

QuantizedRows HnswIndex::train_quantized(int bits) const {
  QuantizedRows rows = code_every_slot(bits);
  // Searches over the codes read only the rows they re-rank.
  release_mapped_vectors();
  return rows;
}

QuantizedRows HnswIndex::code_every_slot(int bits) const {
  const size_t n = graph_->node_count();
  const size_t d = dim();
  QuantizedRows rows;
  // Deleted slots are encoded but do not shape the parameters: a removed outlier
  // would otherwise keep coarsening every code until compaction.
  rows.quantizer = train_rows(
      n, d, [this](size_t s) { return vector(static_cast<Slot>(s)).data(); },
      [this](size_t s) { return !deleted_bit(static_cast<Slot>(s)); });
  if (bits == 4) {
    // 4-bit levels placed where the live vectors lie (quantize/sq4_grid.h).
    Sq8CodeCounts counts(d);
    for (size_t s = 0; s < n; ++s) {
      if (!deleted_bit(static_cast<Slot>(s))) counts.add(rows.quantizer, vector(Slot(s)).data());
    }
    rows.quantizer = fit_sq4_quantizer(rows.quantizer, counts);
  }
  rows.format = make_row_format(rows.quantizer, metric(), bits);
  rows.rows = std::make_unique<ChunkedRows>(rows.format.row_bytes);
  rows.rows->reserve(n);
  for (size_t s = 0; s < n; ++s) {
    encode_row(rows.quantizer, rows.format, vector(static_cast<Slot>(s)).data(),
               reinterpret_cast<uint8_t*>(rows.rows->append()));
  }
  return rows;
}

void HnswIndex::install_quantized(QuantizedRows rows) {
  assert(rows.rows == nullptr || rows.rows->size() == graph_->node_count());
  quantized_ = std::move(rows);
}

void HnswIndex::enable_quantization(int bits) {
  if (graph_->node_count() == 0) return;
  install_quantized(train_quantized(bits));
}

void HnswIndex::disable_quantization() { quantized_ = QuantizedRows(); }

uint64_t HnswIndex::random_level() const {
  return level_from_draw(thread_random_u64(), level_mult_);
}

}  // namespace dralm
