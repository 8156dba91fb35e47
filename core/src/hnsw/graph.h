// The graph's memory layout (private to the index).
//
// Layer 0, which every node has and every search walks, is a chunked row store
// (util/chunked_rows.h) with a fixed-size list per node: m_max0 slots, rounded up to
// whole 64-byte cache lines, so reading a node's list costs at most ceil(list / 64)
// line fills and no pointer chase (two lines at m 16). Each node also has a small info
// row (its level and where its upper lists are). A node of level L >= 1 owns one
// allocation of L consecutive lists of m slots, one per upper layer.
//
// A list holds its links first and kEmptySlot in every position after them, so its
// length is the position of the first empty slot (or the cap when it is full). Keeping
// no count word beside the slots is what lets a layer-0 list of 32 links fill exactly
// two cache lines.
//
// Nothing here ever moves once written: rows live in chunks that are never reallocated
// and upper lists are never freed before the graph. So searches read lists while one
// writer appends nodes and links them (see "Lists under concurrent readers" below).
//
// Writers lock a list through a word of a fixed table of lock words (ListLock), chosen
// by the list's node and layer; two lists may share a word. A thread holds at most one,
// so sharing can only make a writer wait, never deadlock.
//
// Lists under concurrent readers: every write of a slot is an atomic store with
// release, and readers load slots with acquire (load_slot, list_length). A writer only
// ever appends at the first empty position, rewrites positions below the new length,
// or empties positions from the old length's end downwards, so the empty positions a
// reader meets always form the list's tail: a reader sees, for every position before
// the first empty one, some slot that was written there (an old link or a new one,
// never a torn word); a reader stops at the first empty slot it reads, so a tail
// emptied while it reads only shortens the list it sees. Links may name nodes staged
// after the reader's snapshot. Every link is stored after the count of traversable
// nodes that covers it (HnswIndex::traversable_), so a reader that meets a link at or
// above the count it loaded reads it again with acquire and then finds the current
// count covering it: it follows the link (its rows are written, the row stores reach
// them), and skips only what it cannot reach that way (traversal.h, follow_late_link).
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "hnsw/hnsw_index.h"
#include "util/chunked_rows.h"

namespace dralm {

// An unused position of a list.
inline constexpr Slot kEmptySlot = kNoEntry;

// Reading and writing list slots beside concurrent readers (see the header comment).
inline Slot load_slot(const Slot* at) { return __atomic_load_n(at, __ATOMIC_ACQUIRE); }
inline void store_slot(Slot* at, Slot value) { __atomic_store_n(at, value, __ATOMIC_RELEASE); }

// The links of `list` before its first empty position, at most `cap`.
inline uint32_t list_length(const Slot* list, uint32_t cap) {
  uint32_t n = 0;
  while (n < cap && load_slot(list + n) != kEmptySlot) ++n;
  return n;
}

// Replaces the links of `list` (its writer holds its lock) by `count` slots: the new
// slots in order, then the positions the old list used beyond them emptied from the
// last one down, so the empty positions stay the list's tail throughout.
inline void store_list(Slot* list, uint32_t cap, const Slot* slots, uint32_t count) {
  const uint32_t old = list_length(list, cap);
  for (uint32_t i = 0; i < count; ++i) store_slot(list + i, slots[i]);
  for (uint32_t i = old; i > count; --i) store_slot(list + i - 1, kEmptySlot);
}

// Appends `added` to a list that has room (length < cap), its writer holding its lock.
inline void append_to_list(Slot* list, uint32_t length, Slot added) {
  store_slot(list + length, added);
}

// The table of lock words writers lock lists with. Words sit a cache line apart, so
// threads locking different words do not contend for one line.
class ListLocks {
 public:
  static constexpr size_t kWords = 1024;
  static constexpr size_t kStride = 16;  // 64 bytes a word

  ListLocks() : words_(new uint32_t[kWords * kStride]()) {}
  // The word of the list of `s` on `layer`.
  uint32_t* word(Slot s, size_t layer) const {
    // Neighbouring slots get different words; a Fibonacci hash spreads the layers.
    const uint64_t key = (uint64_t{s} << 6) ^ layer;
    return words_.get() + ((key * 0x9E3779B97F4A7C15ull) >> 54) * kStride;
  }

 private:
  std::unique_ptr<uint32_t[]> words_;
};

// Holds one list's lock for its lifetime.
class ListLock {
 public:
  explicit ListLock(uint32_t* word) : word_(*word) {
    std::atomic_ref<uint32_t> lock(word_);
    while (lock.exchange(1, std::memory_order_acquire) != 0) {
      while (lock.load(std::memory_order_relaxed) != 0) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      }
    }
  }
  ~ListLock() { std::atomic_ref<uint32_t>(word_).store(0, std::memory_order_release); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

 private:
  uint32_t& word_;
};

// A node's home before any is known (hnsw/in_links.h): no slot, at infinite distance.
inline constexpr uint64_t kNoHome = (uint64_t{0x7F800000} << 32) | kNoEntry;

// Per node: its level, its upper-layer lists (null at level 0), and for the writers
// only, through std::atomic_ref (hnsw/in_links.h): how many layer-0 lists name it and
// its home, the nearest node known to list it, packed with that node's distance.
struct NodeInfo {
  uint32_t level;
  uint32_t in_links0;
  uint32_t* upper;
  uint64_t home;
};

// The graph as one reader (or writer) sees it: the row tables loaded once, and the
// number of nodes it may read. Every walk goes through a view.
struct GraphView {
  ChunkedRows::View level0;
  ChunkedRows::View nodes;
  size_t count = 0;  // nodes below this are readable
  // A search's view: the index's count of traversable nodes, which may have grown past
  // `count` since it was loaded. Null in a writer's view, which holds every node.
  const std::atomic<size_t>* traversable = nullptr;
  const ListLocks* locks = nullptr;
  uint32_t cap0 = 0;
  uint32_t cap_upper = 0;
  size_t stride_upper = 0;

  size_t node_count() const { return count; }
  uint32_t cap(size_t layer) const { return layer == 0 ? cap0 : cap_upper; }
  uint32_t level(Slot s) const { return row_as<NodeInfo>(nodes, s)->level; }
  // The node's count of incoming layer-0 links and its home, for writers.
  std::atomic_ref<uint32_t> in_links(Slot s) const {
    return std::atomic_ref<uint32_t>(const_cast<NodeInfo*>(row_as<NodeInfo>(nodes, s))->in_links0);
  }
  std::atomic_ref<uint64_t> home(Slot s) const {
    return std::atomic_ref<uint64_t>(const_cast<NodeInfo*>(row_as<NodeInfo>(nodes, s))->home);
  }
  bool has_layer(Slot s, size_t layer) const { return layer == 0 || layer <= level(s); }
  // The list of `s` on `layer`, cap(layer) slots. Requires: has_layer(s, layer).
  Slot* list(Slot s, size_t layer) const {
    assert(has_layer(s, layer));
    if (layer == 0) return const_cast<Slot*>(row_as<Slot>(level0, s));
    return row_as<NodeInfo>(nodes, s)->upper + (layer - 1) * stride_upper;
  }
  // The lock word of that list (writers only).
  uint32_t* lock_word(Slot s, size_t layer) const { return locks->word(s, layer); }
};

// A list held under its lock for the holder's lifetime: where its slots are, its cap,
// and its length, measured once the lock is held and kept up to date by the edits made
// through the holder.
class LockedList {
 public:
  LockedList(const GraphView& g, Slot s, size_t layer)
      : slots_(g.list(s, layer)), cap_(g.cap(layer)), lock_(g.lock_word(s, layer)),
        length_(list_length(slots_, cap_)) {}

  Slot* slots() const { return slots_; }
  uint32_t cap() const { return cap_; }
  uint32_t length() const { return length_; }
  bool lists(Slot s) const { return std::find(slots_, slots_ + length_, s) != slots_ + length_; }
  // Requires: length() < cap().
  void append(Slot added) { append_to_list(slots_, length_++, added); }
  // Puts `s` in place of the link at `position` (< length()).
  void set(uint32_t position, Slot s) { store_slot(slots_ + position, s); }
  void replace(const Slot* slots, uint32_t count) {
    store_list(slots_, cap_, slots, count);
    length_ = count;
  }

 private:
  Slot* const slots_;
  const uint32_t cap_;
  ListLock lock_;  // taken before the length is measured
  uint32_t length_;
};

struct HnswIndex::Graph {
  Graph(uint64_t m, uint64_t m_max0)
      : cap_upper(static_cast<uint32_t>(m)), cap0(static_cast<uint32_t>(m_max0)),
        stride0(round_to_line(m_max0)), stride_upper(m), level0(stride0 * sizeof(Slot)),
        nodes(sizeof(NodeInfo)) {}

  static size_t round_to_line(size_t words) { return (words + 15) / 16 * 16; }

  // Nodes appended so far (the writer's count).
  size_t node_count() const { return nodes.size(); }

  // The graph with the first `count` nodes readable. Requires: count <= node_count(),
  // and for a reader, count loaded (acquire) before this call.
  GraphView view(size_t count) const {
    GraphView v;
    v.level0 = level0.view();
    v.nodes = nodes.view();
    v.count = count;
    v.locks = &locks;
    v.cap0 = cap0;
    v.cap_upper = cap_upper;
    v.stride_upper = stride_upper;
    return v;
  }
  // Every appended node (for the one writer).
  GraphView writer_view() const { return view(node_count()); }

  void reserve(size_t count) {
    level0.reserve(count);
    nodes.reserve(count);
  }

  // Appends a node with `level` + 1 empty lists.
  void add_node(uint32_t level) {
    Slot* list0 = reinterpret_cast<Slot*>(level0.append());
    std::fill_n(list0, stride0, kEmptySlot);
    NodeInfo* info = reinterpret_cast<NodeInfo*>(nodes.append());
    info->level = level;
    info->home = kNoHome;
    if (level > 0) {
      const size_t words = size_t(level) * stride_upper;
      upper.push_back(std::make_unique_for_overwrite<Slot[]>(words));
      std::fill_n(upper.back().get(), words, kEmptySlot);
      info->upper = upper.back().get();
    }
  }

  const uint32_t cap_upper;  // m
  const uint32_t cap0;       // m_max0
  const size_t stride0;
  const size_t stride_upper;
  ChunkedRows level0;
  ChunkedRows nodes;  // NodeInfo per node
  // The upper lists, owned here; reached through NodeInfo::upper. Writer only.
  std::vector<std::unique_ptr<Slot[]>> upper;
  ListLocks locks;
};

// What one search reads, loaded once (HnswIndex::snapshot): the entry point, then the
// published count, then the traversable count, then the row tables, so every table
// holds every row the walk may read.
struct HnswIndex::Snapshot {
  Slot entry = kNoEntry;
  uint64_t max_level = 0;
  size_t count = 0;  // published: the only slots a search returns
  // graph.count: slots the walk may pass through (published, or staged with every row
  // written), at least count.
  ChunkedRows::View vectors;
  ChunkedRows::View norms;
  ChunkedRows::View sq8_rows;  // when quantized: 8- or 4-bit rows (quantize/sq8_rows.h)
  ChunkedRows::View deleted_bits;
  GraphView graph;

  bool deleted_bit(Slot s) const {
    return (*row_as<uint64_t>(deleted_bits, s >> 6) >> (s & 63)) & 1;
  }
};

}  // namespace dralm
