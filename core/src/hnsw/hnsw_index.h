// HnswIndex: the vectors, norms, optional SQ8 codes, the layered graph and the
// deleted set of one database.
//
// Concurrency: the database's `index` reader-writer lock decides who enters.
// Searches, statistics and save hold it shared; insert, insert_batch,
// update_vector, mark_deleted, make_owned and (en|dis)able_quantization need it
// exclusive. Inside, each neighbour list has a one-word lock held for one read or
// edit of that list, never together with another list's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "distance/metric.h"
#include "quantize/sq8.h"
#include "util/file_io.h"

namespace dralm {

using Slot = uint32_t;
inline constexpr Slot kNoEntry = 0xFFFFFFFFu;
// Below this many live floats (live_count * dim) a search is an exact scan.
inline constexpr uint64_t kBruteForceLimit = 10'000'000;

struct Hit {
  Slot slot;
  float distance;
};

// Returns whether a slot may appear in a filtered search's result.
using AcceptFn = std::function<bool(Slot)>;

// The largest m an index is created with or loaded from a file with. Every node keeps
// a fixed block of 2m + 1 layer-0 slots whatever its list holds, so m also bounds the
// memory a graph file of a given node count can ask for. Useful values are 4 to 64.
inline constexpr uint64_t kMaxM = 256;

struct IndexParams {
  uint64_t dim = 0;
  Metric metric = Metric::Cosine;
  uint64_t m = 16;
  uint64_t ef_construction = 200;
};

// Full-precision vectors, slot-major: owned memory, or a read-only mapping of
// vectors.bin until the first write copies it (make_owned).
class VectorStore {
 public:
  VectorStore() = default;
  // Mapped: the first `float_count` floats of `file`.
  VectorStore(MappedFile file, size_t float_count);

  bool is_mapped() const { return mapped_.data() != nullptr; }
  const float* data() const { return is_mapped() ? mapped_floats() : owned_.data(); }
  size_t float_count() const { return is_mapped() ? mapped_count_ : owned_.size(); }
  void make_owned();
  std::vector<float>& owned() { return owned_; }

 private:
  const float* mapped_floats() const { return reinterpret_cast<const float*>(mapped_.data()); }
  std::vector<float> owned_;
  MappedFile mapped_;
  size_t mapped_count_ = 0;
};

class HnswIndex {
 public:
  explicit HnswIndex(const IndexParams& params);
  ~HnswIndex();
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  // Node layers and neighbour lists; the layout is private to the index (graph.h).
  struct Graph;

  // ---- Restoring a saved index (load). The loader validates everything first.
  // `layer_counts[s]` >= 1 is the number of layers of node s; every list starts empty
  // and is filled with set_neighbours. `norms.size()` == layer_counts.size() ==
  // store.float_count() / dim.
  static std::unique_ptr<HnswIndex> restore(const IndexParams& params, VectorStore store,
                                            std::vector<float> norms,
                                            std::span<const uint32_t> layer_counts,
                                            Slot entry_point, uint64_t max_level,
                                            std::unordered_set<Slot> deleted);
  // Requires: layer < layer_count(slot), every entry < node_count(), and
  // list.size() <= the layer's cap (2m on layer 0, m above).
  void set_neighbours(Slot slot, size_t layer, std::span<const Slot> list);
  void set_quantized(std::optional<QuantizedState> state);

  // ---- Parameters and counts.
  uint64_t dim() const { return params_.dim; }
  Metric metric() const { return params_.metric; }
  uint64_t m() const { return params_.m; }
  uint64_t m_max0() const { return 2 * params_.m; }
  uint64_t ef_construction() const { return params_.ef_construction; }
  const IndexParams& params() const { return params_; }
  uint64_t max_level() const { return max_level_; }
  Slot entry_point() const { return entry_point_; }
  size_t node_count() const { return norms_.size(); }
  uint64_t live_count() const { return live_count_.load(std::memory_order_relaxed); }
  const std::unordered_set<Slot>& deleted() const { return deleted_; }
  bool is_deleted(Slot slot) const {
    return !deleted_.empty() && slot < node_count() && deleted_bit(slot);
  }
  const std::optional<QuantizedState>& quantized() const { return quantized_; }
  // live_count * dim < kBruteForceLimit.
  bool uses_brute_force() const;

  // ---- Vectors.
  std::span<const float> vector(Slot slot) const {
    return {store_.data() + size_t(slot) * params_.dim, size_t(params_.dim)};
  }
  const VectorStore& store() const { return store_; }
  std::span<const float> norms() const { return norms_; }
  void make_owned() { store_.make_owned(); }

  // ---- Graph reading (save, statistics, tests). Each takes the list's lock.
  size_t layer_count(Slot slot) const;
  std::vector<Slot> neighbours(Slot slot, size_t layer) const;
  size_t neighbour_count(Slot slot, size_t layer) const;

  // ---- Writing (index held exclusive). Every vector has exactly dim floats.
  Slot insert(std::span<const float> vector);
  // `vectors` holds count = size / dim whole vectors; returns their consecutive slots.
  std::vector<Slot> insert_batch(std::span<const float> vectors);
  void update_vector(Slot slot, std::span<const float> vector);
  void mark_deleted(Slot slot);
  // Trains SQ8 over every stored vector and encodes all slots; no-op when empty.
  void enable_quantization();
  void disable_quantization() { quantized_.reset(); }

  // ---- Searching (index held shared). Queries have exactly dim floats.
  std::vector<Hit> search(std::span<const float> query, uint64_t k, uint64_t ef) const;
  std::vector<Hit> search_filtered(std::span<const float> query, uint64_t k, uint64_t ef,
                                   const AcceptFn& accept) const;
  // As search_filtered, but above the brute-force threshold the layer-0 walk computes
  // distances for accepted live slots only: a rejected neighbour is passed through to
  // its own neighbours instead. It starts where the descent ends and from every slot of
  // `seeds` (accepted slots spread over the collection, so a filter whose matches lie
  // far from the query is entered near them). Can return fewer than k hits when the
  // accepted slots it reaches run out; the caller decides what to do then.
  std::vector<Hit> search_within(std::span<const float> query, uint64_t k, uint64_t ef,
                                 const AcceptFn& accept, std::span<const Slot> seeds) const;
  // The exact k nearest of `slots`, by full-precision distance, ascending. The caller
  // chooses the slots (each below node_count(), listed once; ascending order reads the
  // vectors front to back) and has already dropped the deleted ones. Whatever the
  // live-float count; never uses SQ8 codes.
  std::vector<Hit> search_slots(std::span<const float> query, uint64_t k,
                                std::span<const Slot> slots) const;
  // `queries` holds whole queries of dim floats; one result list per query, in order.
  std::vector<std::vector<Hit>> search_batch(std::span<const float> queries, uint64_t k,
                                             uint64_t ef) const;

  // Draws a node level: floor(-ln(u) / ln(m)) from the calling thread's generator.
  uint64_t random_level() const;

 private:
  friend struct IndexInternals;

  // Insertion (insert.cc). `level` is the node's level, already drawn.
  Slot insert_with_level(std::span<const float> vector, uint64_t level);
  // Appends codes, norm, floats and an unlinked node; the store must be owned.
  void append_slot(const float* vector, uint32_t level);
  // Links the stored node `slot` on layers min(level, entry_level) .. 0, descending from
  // `entry`, whose level is `entry_level`. `concurrent`: other threads link at the same
  // time (list reads lock).
  void link_node(Slot slot, uint64_t level, Slot entry, uint64_t entry_level, bool concurrent);
  // Under `node`'s list lock on `layer`: appends `added`; a full list is chosen anew.
  void add_link(Slot node, size_t layer, Slot added);

  // Reachability on layer 0 (reconnect.cc). adopt: links `orphan` from the nodes a search
  // for its vector ends at (nearest first; the first that can take it; only nodes marked
  // in `reached` when given), returns whether one did. reconnect: adopts every live node
  // that no layer-0 path from the entry reaches. Both need the index exclusive and no
  // link running.
  bool adopt(Slot orphan, const std::vector<char>* reached = nullptr);
  void reconnect();

  // Searching (search.cc). `accept` null means unfiltered.
  // `within_seeds` non-null: the walk over accepted slots only (search_within).
  std::vector<Hit> graph_search(std::span<const float> query, uint64_t k, uint64_t ef,
                                const AcceptFn* accept,
                                const std::span<const Slot>* within_seeds = nullptr) const;
  std::vector<Hit> scan(std::span<const float> query, uint64_t k, const AcceptFn* accept) const;
  std::vector<Hit> search_one(std::span<const float> query, uint64_t k, uint64_t ef,
                              const AcceptFn* accept) const;

  void set_deleted_bit(Slot slot);
  bool deleted_bit(Slot slot) const { return (deleted_bits_[slot >> 6] >> (slot & 63)) & 1; }

  IndexParams params_;
  double level_mult_;
  VectorStore store_;
  std::vector<float> norms_;
  std::unique_ptr<Graph> graph_;
  std::optional<QuantizedState> quantized_;
  std::unordered_set<Slot> deleted_;
  // The same set as one bit per slot (sized to whole 64-slot words), for the hot loops.
  std::vector<uint64_t> deleted_bits_;
  uint64_t max_level_ = 0;
  std::atomic<uint64_t> live_count_{0};
  Slot entry_point_ = kNoEntry;
};

}  // namespace dralm
