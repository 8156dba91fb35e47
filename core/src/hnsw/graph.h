// The graph's memory layout (private to the index).
//
// Layer 0, which every node has and every search walks, is one flat array with a
// fixed-size block per node: [count][lock][m_max0 slots], rounded up to whole 64-byte
// cache lines and 64-byte aligned, so reading a node's list costs at most
// ceil(block / 64) line fills and no pointer chase. Upper layers (about one node in m
// has any) live in a second flat array: a node of level L >= 1 owns L consecutive
// blocks [count][lock][m slots], found through its offset.
//
// Each list's lock is its own 32-bit word next to its count, taken through
// std::atomic_ref. The arrays grow only while the index is held exclusively and no
// link is running, so no lock word is ever moved while in use.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "hnsw/hnsw_index.h"

namespace dralm {

// A growable array of 32-bit words, 64-byte aligned, zero-filled when grown.
//
// Large arrays (a million nodes' layer-0 blocks are ~200 MB) come straight from mmap:
// the kernel hands out zeroed pages, so growing into them needs no memset, and they
// are marked for transparent huge pages, so an open that fills the whole array takes
// one page fault per 2 MiB instead of one per 4 KiB.
class AlignedWords {
 public:
  AlignedWords() = default;
  AlignedWords(const AlignedWords&) = delete;
  AlignedWords& operator=(const AlignedWords&) = delete;
  ~AlignedWords() { release(); }

  uint32_t* data() { return data_; }
  const uint32_t* data() const { return data_; }
  size_t size() const { return size_; }

  void reserve(size_t words) {
    if (words <= capacity_) return;
    const size_t bytes = words * sizeof(uint32_t);
    uint32_t* fresh = nullptr;
    bool mapped = false;
    if (bytes >= kMapThreshold) {
      const size_t length = round_to_huge(bytes);
      void* at =
          ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (at != MAP_FAILED) {
        (void)::madvise(at, length, MADV_HUGEPAGE);  // advice only; fine if refused
        fresh = static_cast<uint32_t*>(at);
        mapped = true;
      }
    }
    if (fresh == nullptr) {
      fresh = static_cast<uint32_t*>(::operator new(bytes, std::align_val_t(kAlignment)));
    }
    if (size_ != 0) std::memcpy(fresh, data_, size_ * sizeof(uint32_t));
    release_storage();
    data_ = fresh;
    capacity_ = words;
    mapped_ = mapped;
  }

  void grow_zeroed(size_t words) {
    const size_t wanted = size_ + words;
    if (wanted > capacity_) reserve(std::max(wanted, capacity_ + capacity_ / 2));
    // Mapped words past size_ have never been written: still the kernel's zeros.
    if (!mapped_) std::memset(data_ + size_, 0, words * sizeof(uint32_t));
    size_ = wanted;
  }

 private:
  static constexpr size_t kAlignment = 64;
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kMapThreshold = kHugePage;
  static size_t round_to_huge(size_t bytes) {
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
  }

  void release_storage() {
    if (data_ == nullptr) return;
    if (mapped_) {
      ::munmap(data_, round_to_huge(capacity_ * sizeof(uint32_t)));
    } else {
      ::operator delete(data_, std::align_val_t(kAlignment));
    }
  }
  void release() {
    release_storage();
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    mapped_ = false;
  }

  uint32_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool mapped_ = false;  // from mmap: every word at or past size_ is zero
};

// A neighbour list inside a block: word 0 the count, word 1 the lock, then the slots.
inline constexpr size_t kListHeaderWords = 2;

inline uint32_t* list_slots(uint32_t* block) { return block + kListHeaderWords; }
inline const uint32_t* list_slots(const uint32_t* block) { return block + kListHeaderWords; }

// Holds one list's lock for its lifetime.
class ListLock {
 public:
  explicit ListLock(uint32_t* block) : word_(block[1]) {
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

struct HnswIndex::Graph {
  Graph(uint64_t m, uint64_t m_max0)
      : cap_upper(static_cast<uint32_t>(m)), cap0(static_cast<uint32_t>(m_max0)),
        stride0(round_to_line(kListHeaderWords + m_max0)), stride_upper(kListHeaderWords + m) {}

  static size_t round_to_line(size_t words) { return (words + 15) / 16 * 16; }

  size_t node_count() const { return levels.size(); }
  uint32_t cap(size_t layer) const { return layer == 0 ? cap0 : cap_upper; }
  bool has_layer(Slot s, size_t layer) const { return layer <= levels[s]; }

  // Requires: has_layer(s, layer).
  uint32_t* block(Slot s, size_t layer) {
    assert(has_layer(s, layer));
    if (layer == 0) return level0.data() + size_t(s) * stride0;
    return upper.data() + upper_offset[s] + (layer - 1) * stride_upper;
  }
  const uint32_t* block(Slot s, size_t layer) const {
    return const_cast<Graph*>(this)->block(s, layer);
  }

  void reserve(size_t nodes) {
    level0.reserve(nodes * stride0);
    in_links0.reserve(nodes);
    levels.reserve(nodes);
    upper_offset.reserve(nodes);
  }

  // Appends a node with `level` + 1 empty lists.
  void add_node(uint32_t level) {
    level0.grow_zeroed(stride0);
    in_links0.push_back(0);
    levels.push_back(level);
    upper_offset.push_back(upper.size());
    if (level > 0) upper.resize(upper.size() + size_t(level) * stride_upper, 0);
  }

  const uint32_t cap_upper;  // m
  const uint32_t cap0;       // m_max0
  const size_t stride0;
  const size_t stride_upper;
  AlignedWords level0;
  // Per node: how many layer-0 lists name it (see hnsw/in_links.h).
  std::vector<uint32_t> in_links0;
  std::vector<uint32_t> levels;        // per node: its level (layer count - 1)
  std::vector<uint64_t> upper_offset;  // per node: first word of its layer-1 block
  std::vector<uint32_t> upper;
};

}  // namespace dralm
