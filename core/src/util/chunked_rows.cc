#include "util/chunked_rows.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

namespace dralm {
namespace {

unsigned chunk_shift(size_t row_bytes, size_t chunk_bytes) {
  unsigned shift = 0;
  while ((row_bytes << (shift + 1)) <= chunk_bytes) ++shift;
  return shift;
}

constexpr size_t kPage = 4096;

size_t round_to_pages(size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

}  // namespace

ChunkedRows::ChunkedRows(size_t row_bytes)
    : row_bytes_(row_bytes), shift_(chunk_shift(row_bytes, kChunkBytes)),
      chunk_bytes_(row_bytes << shift_) {
  assert(row_bytes >= 1);
}

ChunkedRows::~ChunkedRows() {
  for (std::byte* chunk : owned_) ::munmap(chunk, round_to_pages(chunk_bytes_));
}

std::byte* ChunkedRows::allocate_chunk() {
  // Anonymous pages come zero-filled and are only committed when first touched, so a
  // small store does not cost a whole chunk of memory.
  const size_t length = round_to_pages(chunk_bytes_);
  void* at = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) throw std::bad_alloc();
  // From the second chunk on the store is large: transparent huge pages cut the page
  // faults of filling it and the TLB misses of walking it (advice only).
  if (chunk_count_ >= 1) (void)::madvise(at, length, MADV_HUGEPAGE);
  std::byte* chunk = static_cast<std::byte*>(at);
  owned_.push_back(chunk);
  ++owned_chunks_;
  return chunk;
}

void ChunkedRows::publish_table(std::unique_ptr<std::byte*[]> table, size_t capacity) {
  table_.store(table.get(), std::memory_order_release);
  tables_.push_back(std::move(table));
  capacity_ = capacity;
}

void ChunkedRows::ensure_chunk(size_t c) {
  if (c < chunk_count_) return;
  assert(c == chunk_count_);
  if (c >= capacity_) {
    const size_t capacity = std::max<size_t>(8, capacity_ * 2);
    auto table = std::make_unique<std::byte*[]>(capacity);
    std::byte** current = table_.load(std::memory_order_relaxed);
    for (size_t i = 0; i < chunk_count_; ++i) table[i] = current[i];
    table[c] = allocate_chunk();
    publish_table(std::move(table), capacity);
  } else {
    // Readers of this table never index slot c before a row in it is published, which
    // happens after this store (see the header).
    table_.load(std::memory_order_relaxed)[c] = allocate_chunk();
  }
  borrowed_.push_back(false);
  ++chunk_count_;
}

void ChunkedRows::borrow(const std::byte* data, size_t rows) {
  assert(size() == 0 && chunk_count_ == 0);
  if (rows == 0) return;
  const size_t chunks = (rows + rows_per_chunk() - 1) >> shift_;
  const size_t capacity = std::max<size_t>(8, chunks);
  auto table = std::make_unique<std::byte*[]>(capacity);
  for (size_t c = 0; c < chunks; ++c) {
    // Never written through: mutable_row copies a borrowed chunk first.
    table[c] = const_cast<std::byte*>(data + c * chunk_bytes_);
    borrowed_.push_back(true);
  }
  chunk_count_ = chunks;
  borrowed_chunks_ = chunks;
  publish_table(std::move(table), capacity);
  size_.store(rows, std::memory_order_release);
}

void ChunkedRows::reserve(size_t rows) {
  if (rows == 0) return;
  const size_t chunks = ((rows - 1) >> shift_) + 1;
  while (chunk_count_ < chunks) ensure_chunk(chunk_count_);
}

std::byte* ChunkedRows::append() {
  const size_t i = size();
  const size_t c = i >> shift_;
  ensure_chunk(c);
  std::byte* row = mutable_row(i);
  // Owned chunks start zero-filled and rows are appended once, so the row is zero.
  // Release: a View that loads this count loads a table holding the row.
  size_.store(i + 1, std::memory_order_release);
  return row;
}

std::byte* ChunkedRows::mutable_row(size_t i) {
  const size_t c = i >> shift_;
  assert(c < chunk_count_);
  std::byte** current = table_.load(std::memory_order_relaxed);
  if (borrowed_[c]) {
    // Copy on write: the rows present so far (a borrowed chunk is never appended to
    // before this copy), then a new table pointing at the copy. The bytes past them in
    // the borrowed memory belong to something else and are not copied.
    std::byte* copy = allocate_chunk();
    const size_t first = c << shift_;
    const size_t rows = std::min(size(), first + rows_per_chunk()) - first;
    std::memcpy(copy, current[c], rows * row_bytes_);
    auto table = std::make_unique<std::byte*[]>(capacity_);
    for (size_t k = 0; k < chunk_count_; ++k) table[k] = current[k];
    table[c] = copy;
    publish_table(std::move(table), capacity_);
    borrowed_[c] = false;
    --borrowed_chunks_;
    current = table_.load(std::memory_order_relaxed);
  }
  return current[c] + (i & (rows_per_chunk() - 1)) * row_bytes_;
}

}  // namespace dralm
