// ChunkedRows: a growable array of fixed-size rows whose memory never moves, so that
// readers can use rows while one writer appends more.
//
// Rows live in chunks of a power-of-two row count (a chunk is about 2 MiB), reached
// through a table of chunk pointers. A chunk, once allocated, is never moved, shrunk or
// freed before the store is destroyed. The table grows by copy-and-publish: the writer
// builds a larger copy and stores its pointer with release; the tables it replaces are
// kept until destruction, so a reader that loaded a table earlier can keep using it.
//
// Readers take a View (acquire loads of the row count and the table pointer) and then
// reach the rows it covers with a shift and a mask, without further atomics. A View may
// be used for every row below a count the reader saw published (with acquire), before
// or after taking the View: the writer allocates a row's chunk and publishes the table
// holding it before it appends that row, and appends it before it publishes it (see
// HnswIndex's publication). Rows the View's own table was not loaded for are reached
// through the current table, loaded again (acquire) for each such row, so a walk that
// learns of newer rows while it runs can read them without taking a new View.
//
// Borrowed chunks: the first rows may be borrowed from read-only memory (a mapped file)
// that outlives the store. A write into a borrowed chunk first copies the chunk to owned
// memory and publishes a table pointing at the copy (copy on write, per chunk), so the
// borrowed bytes are never written; readers holding the old table still read the
// borrowed chunk, whose rows are equal to the copy's.
//
// Thread safety: one writer at a time (appending, mutable_row, borrow); any number of
// readers through views, as described above. Rows themselves carry no synchronisation:
// what a row holds is published by the caller's own release/acquire pair.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace dralm {

class ChunkedRows {
 public:
  // A reader's snapshot of the chunk table.
  class View {
   public:
    View() = default;
    const std::byte* row(size_t i) const {
      std::byte* const* chunks = i < rows_ ? chunks_ : live_table_->load(std::memory_order_acquire);
      return chunks[i >> shift_] + (i & mask_) * row_bytes_;
    }
    // Rows i, i + 1, ... stay contiguous for this many rows (to the end of i's chunk).
    size_t contiguous_from(size_t i) const { return (mask_ + 1) - (i & mask_); }

   private:
    friend class ChunkedRows;
    View(size_t rows, std::byte* const* chunks, const std::atomic<std::byte**>* live_table,
         unsigned shift, size_t row_bytes)
        : rows_(rows), chunks_(chunks), live_table_(live_table), shift_(shift),
          mask_((size_t{1} << shift) - 1), row_bytes_(row_bytes) {}
    size_t rows_ = 0;  // rows `chunks_` is known to hold
    std::byte* const* chunks_ = nullptr;
    const std::atomic<std::byte**>* live_table_ = nullptr;  // the store's current table
    unsigned shift_ = 0;
    size_t mask_ = 0;
    size_t row_bytes_ = 0;
  };

  // `row_bytes` >= 1. Rows per chunk: the largest power of two whose rows fit in
  // kChunkBytes (at least one row).
  explicit ChunkedRows(size_t row_bytes);
  ~ChunkedRows();
  ChunkedRows(const ChunkedRows&) = delete;
  ChunkedRows& operator=(const ChunkedRows&) = delete;

  size_t row_bytes() const { return row_bytes_; }
  size_t rows_per_chunk() const { return size_t{1} << shift_; }
  // Rows appended so far (the writer's count; readers use their published count).
  size_t size() const { return size_.load(std::memory_order_relaxed); }
  // Bytes of owned chunk memory (borrowed chunks not counted).
  size_t owned_bytes() const { return owned_chunks_ * chunk_bytes_; }
  // Whether any chunk is still borrowed.
  bool any_borrowed() const { return borrowed_chunks_ != 0; }

  // The row count first: the table loaded after it holds every row below it.
  View view() const {
    const size_t rows = size_.load(std::memory_order_acquire);
    return View(rows, table_.load(std::memory_order_acquire), &table_, shift_, row_bytes_);
  }
  // Requires: i < size(); the caller is the writer or holds a published count above i.
  const std::byte* row(size_t i) const { return view().row(i); }

  // ---- Writer side.
  // Starts the store as `rows` rows read from `data` (row after row, at least
  // rows * row_bytes bytes, unchanged and alive until this store is destroyed).
  // Requires: size() == 0.
  void borrow(const std::byte* data, size_t rows);
  // Makes room for `rows` rows in total without allocating while appending.
  void reserve(size_t rows);
  // Appends one zero-filled row and returns it (owned memory).
  std::byte* append();
  // Row i for writing: a borrowed chunk is copied to owned memory first.
  std::byte* mutable_row(size_t i);

 private:
  static constexpr size_t kChunkBytes = size_t{2} << 20;

  std::byte* allocate_chunk();
  // Publishes `table` (capacity entries) and keeps it until destruction.
  void publish_table(std::unique_ptr<std::byte*[]> table, size_t capacity);
  // Ensures chunk `c` exists in the table (owned, zero-filled when new).
  void ensure_chunk(size_t c);

  const size_t row_bytes_;
  const unsigned shift_;
  const size_t chunk_bytes_;
  std::atomic<std::byte**> table_{nullptr};
  size_t capacity_ = 0;                                // entries in the current table
  size_t chunk_count_ = 0;                             // chunks present in the table
  std::vector<bool> borrowed_;                         // per chunk: read-only borrowed memory
  size_t borrowed_chunks_ = 0;                         // how many are still borrowed
  size_t owned_chunks_ = 0;                            // owned chunks allocated
  std::vector<std::unique_ptr<std::byte*[]>> tables_;  // the current one last
  std::vector<std::byte*> owned_;                      // every owned chunk, freed at destruction
  std::atomic<size_t> size_{0};
};

// Typed access to a ChunkedRows whose rows are arrays of T (row_bytes a multiple of
// sizeof(T)); all chunks are page-aligned, so T's alignment holds.
template <typename T>
inline const T* row_as(const ChunkedRows::View& view, size_t i) {
  return reinterpret_cast<const T*>(view.row(i));
}

}  // namespace dralm
