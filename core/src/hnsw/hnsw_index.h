// HnswIndex: the vectors, norms, optional SQ8 codes, the layered graph and the
// deleted set of one database.
//
// Concurrency. Every per-slot array lives in chunked row storage that never moves
// (util/chunked_rows.h), and a slot becomes visible to searches only when it is
// published: the index keeps an atomic count of published slots (and the entry point
// with its level), and a search loads them once (snapshot()) and returns nothing at or
// above that count (it may walk through staged slots whose rows are all written, see
// traversable_). So searches run beside the one writer that stages new slots:
//
// - Searches, statistics, save and the lookups hold the database's `index` lock
//   shared. The one writer (the database serialises writers with its write lock) also
//   holds it shared while it stages slots (stage, stage_batch: append and link beyond
//   the published count), and needs it exclusive only for publish() and for the
//   changes readers must not see half done: update_vector, mark_deleted,
//   install_quantized / disable_quantization, set_neighbours, restore.
// - Inside, each neighbour list has a one-word lock taken by writers for one read or
//   edit of that list, never together with another list's lock; readers never take it
//   and read lists with atomic loads (graph.h).
#pragma once

#include <algorithm>
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
#include "quantize/sq8_rows.h"
#include "util/chunked_rows.h"
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
// a fixed list of 2m layer-0 slots whatever its list holds, so m also bounds the
// memory a graph file of a given node count can ask for. Useful values are 4 to 64.
inline constexpr uint64_t kMaxM = 256;

struct IndexParams {
  uint64_t dim = 0;
  Metric metric = Metric::Cosine;
  uint64_t m = 16;
  uint64_t ef_construction = 200;
};

// Full-precision vectors, slot-major, as handed to restore(): owned floats, or a
// read-only mapping of vectors.bin. The index borrows the mapping's rows as its first
// chunks and copies a chunk to owned memory only when a write lands in it.
class VectorStore {
 public:
  VectorStore() = default;
  // Mapped: the first `float_count` floats of `file`.
  VectorStore(MappedFile file, size_t float_count);

  bool is_mapped() const { return mapped_.data() != nullptr; }
  const float* data() const { return is_mapped() ? mapped_floats() : owned_.data(); }
  size_t float_count() const { return is_mapped() ? mapped_count_ : owned_.size(); }
  std::vector<float>& owned() { return owned_; }
  MappedFile& mapping() { return mapped_; }

 private:
  const float* mapped_floats() const { return reinterpret_cast<const float*>(mapped_.data()); }
  std::vector<float> owned_;
  MappedFile mapped_;
  size_t mapped_count_ = 0;
};

// Traversal codes in row storage: the quantizer, the row format derived from it, and one
// row per slot in the format of quantize/sq8_rows.h (8-bit codes) or quantize/sq4_rows.h
// (4-bit codes, format.bits = 4): codes, zero padding, the constant.
struct QuantizedRows {
  Sq8Quantizer quantizer;
  Sq8RowFormat format;
  std::unique_ptr<ChunkedRows> rows;  // format.row_bytes per slot
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
  // store.float_count() / dim. Every slot is published.
  static std::unique_ptr<HnswIndex> restore(const IndexParams& params, VectorStore store,
                                            std::vector<float> norms,
                                            std::span<const uint32_t> layer_counts,
                                            Slot entry_point, uint64_t max_level,
                                            std::unordered_set<Slot> deleted);
  // Requires: layer < layer_count(slot), every entry < node_count(), and
  // list.size() <= the layer's cap (2m on layer 0, m above).
  void set_neighbours(Slot slot, size_t layer, std::span<const Slot> list);
  // Code rows (8- or 4-bit, state->format.bits) for every slot
  // (state->row_count() == node_count()), or none.
  void set_quantized(std::optional<QuantizedState> state);

  // ---- Parameters and counts.
  uint64_t dim() const { return params_.dim; }
  Metric metric() const { return params_.metric; }
  uint64_t m() const { return params_.m; }
  uint64_t m_max0() const { return 2 * params_.m; }
  uint64_t ef_construction() const { return params_.ef_construction; }
  const IndexParams& params() const { return params_; }
  // The published entry point and its level.
  uint64_t max_level() const {
    return unpack_level(published_entry_.load(std::memory_order_acquire));
  }
  Slot entry_point() const { return unpack_slot(published_entry_.load(std::memory_order_acquire)); }
  // Published slots: what searches, lookups, save and statistics see.
  size_t node_count() const { return published_.load(std::memory_order_acquire); }
  uint64_t live_count() const { return live_count_.load(std::memory_order_relaxed); }
  const std::unordered_set<Slot>& deleted() const { return deleted_; }
  bool is_deleted(Slot slot) const {
    return !deleted_.empty() && slot < node_count() && deleted_bit(slot);
  }
  bool is_quantized() const { return quantized_.rows != nullptr; }
  // Bits per code of the traversal codes: 8, 4, or 0 when not quantized.
  int quantized_bits() const { return is_quantized() ? quantized_.format.bits : 0; }
  // The code rows in place (rows null when not quantized); read them below node_count()
  // with the index held shared (save).
  const QuantizedRows& quantized_rows() const { return quantized_; }
  // A copy of the quantizer and every published code row, or none (tests, tools).
  std::optional<QuantizedState> quantized() const;
  // Bytes of the quantizer and the published code rows.
  uint64_t quantized_bytes() const;
  // live_count * dim < kBruteForceLimit.
  bool uses_brute_force() const;

  // ---- Vectors. Requires: slot < node_count() (or staged, for the writer).
  std::span<const float> vector(Slot slot) const {
    return {reinterpret_cast<const float*>(vectors_.row(slot)), size_t(params_.dim)};
  }
  float norm(Slot slot) const { return *reinterpret_cast<const float*>(norms_.row(slot)); }
  // A copy of every published norm, in slot order.
  std::vector<float> norms() const;
  // Whether some vectors are still read from the mapped vectors.bin.
  bool vectors_mapped() const { return vectors_.any_borrowed(); }
  // Calls f(first_slot, rows, vectors, norms) over the published slots in order, in
  // runs whose `rows` vectors (rows x dim floats) and norms are contiguous.
  template <typename F>
  void for_each_run(F&& f) const {
    const size_t n = node_count();
    const ChunkedRows::View v = vectors_.view();
    const ChunkedRows::View nv = norms_.view();
    for (size_t first = 0; first < n;) {
      const size_t rows =
          std::min({n - first, v.contiguous_from(first), nv.contiguous_from(first)});
      f(first, rows, row_as<float>(v, first), row_as<float>(nv, first));
      first += rows;
    }
  }

  // ---- Graph reading (save, statistics, tests). Each takes the list's lock.
  size_t layer_count(Slot slot) const;
  std::vector<Slot> neighbours(Slot slot, size_t layer) const;
  size_t neighbour_count(Slot slot, size_t layer) const;

  // ---- Writing. Every vector has exactly dim floats.
  // Staging (the one writer; index held shared is enough): appends and links slots
  // after the published ones; searches do not see them until publish().
  Slot stage(std::span<const float> vector);
  // `vectors` holds count = size / dim whole vectors; returns their consecutive slots.
  std::vector<Slot> stage_batch(std::span<const float> vectors);
  // Publishes every staged slot, and a new entry point among them, at once
  // (index held exclusive, so the caller can publish its ids and metadata with them).
  void publish();
  // stage + publish, and stage_batch + publish.
  Slot insert(std::span<const float> vector);
  std::vector<Slot> insert_batch(std::span<const float> vectors);
  // In place (index held exclusive).
  void update_vector(Slot slot, std::span<const float> vector);
  void mark_deleted(Slot slot);
  // Trains SQ8 over every stored vector and encodes all slots in rows of `bits` (8 or 4)
  // bits a code (the one writer; index shared is enough, nothing is changed); then lets
  // go of the mapped rows' pages (release_mapped_vectors).
  QuantizedRows train_quantized(int bits = 8) const;
  // Index held exclusive.
  void install_quantized(QuantizedRows rows);
  // train_quantized + install_quantized; no-op when empty.
  void enable_quantization(int bits = 8);
  // After a pass that read every row (training the codes, writing the files), lets go of
  // the process's resident pages of the mapped vectors.bin: the page cache keeps them and
  // searches fault back in only the rows they read. Safe beside readers; rows copied to
  // owned memory are not touched.
  void release_mapped_vectors() const { mapped_vectors_.drop_resident_pages(); }
  void disable_quantization();

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

  // What one search reads, loaded once at its start (see snapshot()).
  struct Snapshot;

 private:
  friend struct IndexInternals;

  static uint64_t pack_entry(Slot slot, uint64_t level) { return (level << 32) | slot; }
  static Slot unpack_slot(uint64_t packed) { return static_cast<Slot>(packed); }
  static uint64_t unpack_level(uint64_t packed) { return packed >> 32; }

  // The published state in the order that makes it consistent: entry, count, tables.
  Snapshot snapshot() const;

  // Insertion (insert.cc). `level` is the node's level, already drawn.
  Slot stage_with_level(std::span<const float> vector, uint64_t level);
  // Appends codes, norm, floats and an unlinked node.
  void append_slot(const float* vector, uint32_t level);
  // Links the stored node `slot` on layers min(level, entry_level) .. 0, descending from
  // `entry`, whose level is `entry_level`. Other threads may link at the same time.
  // `checks`: the linking looks for the other nodes it leaves
  // with one incoming layer-0 link (the caller looks for `slot` itself); false when
  // make_findable follows. `routes`: the node is also named on its upper layers, so
  // descents pass through it; otherwise only on layer 0 until route_unrouted names it
  // there (true when make_findable follows or the node becomes the entry).
  // `codes`, when given (8-bit rows of every slot), is what the linking's walks measure
  // on; the hits they find are measured exactly before any choice.
  void link_node(Slot slot, uint64_t level, Slot entry, uint64_t entry_level, bool checks,
                 bool routes, const QuantizedRows* codes = nullptr);
  // train_quantized without letting go of any page: the rows a large batch's linkings
  // walk on (insert.cc).
  QuantizedRows code_every_slot(int bits) const;
  // Under `node`'s list lock on `layer`: appends `added`; a full list is chosen anew.
  void add_link(Slot node, size_t layer, Slot added);
  // Searches for every live node's own vector from the entry and links each one the
  // search misses from the nearest node it found, then looks again for those and the
  // nodes their links displaced, and passes over every node again while a pass adopted
  // any (findable.cc); returns the adoptions. The one writer, no linking running;
  // searches may run beside.
  size_t make_findable();
  // Counts `linked` nodes linked or moved by small batches, single inserts and updates
  // since the last make_findable, and runs it once they reach an eighth of the graph, so
  // that a graph grown in small steps gets the guarantee of one built in one batch.
  void note_unchecked(size_t linked);
  // Gives each node of level 1 or more that no layer-1 list names (a node added by an
  // insert or a small batch, or one whose upper links were all pruned) the back-links
  // of its upper lists, so descents pass through it (insert.cc). make_findable runs it
  // first: a node that joins the descents changes where the searches for nodes far
  // from it end (an outlier high in the graph can draw the descents of whole clusters
  // into a region their beams cannot leave), and only a look for every node finds the
  // nodes that leaves unfound.
  void route_unrouted();
  // Whether a node of `level` lies on the top layer of a non-empty graph or the one below
  // it (above layer 0), through which every search's descent passes: moving such a node
  // can send the search for a node far from it into a region its beam cannot leave, so
  // make_findable follows (update.cc). Such nodes are about m to m^2 of the n.
  bool routes_descents(uint64_t level) const {
    return entry_point_ != kNoEntry && level > 0 && level + 1 >= max_level_;
  }
  // Searches for each of `slots` from the entry, one thread, links each one missed from
  // the nearest node found, and looks again for those and the nodes that displaced.
  void keep_findable(std::span<const Slot> slots);
  // After an insert or a small batch: looks for each of the `count` nodes from `first`
  // (in parallel, no list changes) and keeps findable those missed (keep_findable).
  // Looking once all of them are linked catches a node that a later linking of its
  // batch cut off as well as one its own linking left unreachable.
  void look_for_new(Slot first, size_t count);

  // Searching (search.cc). `accept` null means unfiltered.
  // `within_seeds` non-null: the walk over accepted slots only (search_within).
  std::vector<Hit> graph_search(std::span<const float> query, uint64_t k, uint64_t ef,
                                const AcceptFn* accept,
                                const std::span<const Slot>* within_seeds = nullptr) const;
  // The same on a published state loaded earlier (graph_search loads it first).
  std::vector<Hit> graph_search_in(const Snapshot& snap, std::span<const float> query, uint64_t k,
                                   uint64_t ef, const AcceptFn* accept,
                                   const std::span<const Slot>* within_seeds) const;
  std::vector<Hit> scan(std::span<const float> query, uint64_t k, const AcceptFn* accept) const;
  // The unfiltered exact scan of many queries at once (batch_scan.cc), through matrix
  // products; requires kHaveBlas. Fills results[i] with what scan(query i, k, nullptr)
  // returns: the same slots, distances and order.
  void scan_batch(std::span<const float> queries, uint64_t k,
                  std::vector<std::vector<Hit>>& results) const;
  std::vector<Hit> search_one(std::span<const float> query, uint64_t k, uint64_t ef,
                              const AcceptFn* accept) const;

  void set_deleted_bit(Slot slot);
  bool deleted_bit(Slot slot) const {
    return (*reinterpret_cast<const uint64_t*>(deleted_bits_.row(slot >> 6)) >> (slot & 63)) & 1;
  }

  IndexParams params_;
  double level_mult_;
  // Per-slot rows: dim floats, one float norm, one 64-bit word of deletion marks per 64
  // slots. The first vector chunks may be borrowed from `mapped_vectors_`, which is
  // declared first so that it outlives them.
  MappedFile mapped_vectors_;
  ChunkedRows vectors_;
  ChunkedRows norms_;
  ChunkedRows deleted_bits_;
  std::unique_ptr<Graph> graph_;
  // SQ8 rows when quantized (rows non-null); replaced only with the index held exclusive.
  QuantizedRows quantized_;
  // The deleted slots; changed only with the index held exclusive.
  std::unordered_set<Slot> deleted_;
  // The writer's entry point and level, ahead of the published ones while it stages.
  Slot entry_point_ = kNoEntry;
  uint64_t max_level_ = 0;
  // Nodes linked or moved since the last pass over every node (note_unchecked).
  size_t unchecked_ = 0;
  // Published: slots below this count are complete (vector, lists, and the caller's
  // id and metadata), then the entry point packed with its level.
  std::atomic<size_t> published_{0};
  std::atomic<uint64_t> published_entry_{pack_entry(kNoEntry, 0)};
  // Slots whose rows are all written (vector, norm, codes, node row), stored before any
  // of them is linked: a search walks through staged slots below this count, so a batch
  // that replaces old links by links to its own slots cannot cut the published ones off
  // from each other, but it returns only published slots.
  std::atomic<size_t> traversable_{0};
  std::atomic<uint64_t> live_count_{0};
};

}  // namespace dralm
