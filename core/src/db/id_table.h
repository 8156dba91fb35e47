// IdTable: the ids of a database in both directions, without a heap allocation per id.
//
// - the arena: every id once, as a u32 length followed by its bytes; offset 0 holds
//   the empty id, which every tombstone points at;
// - slot -> id: for every slot, the offset of its id in the arena;
// - live id -> slot: an open-addressing hash table (linear probing, deletion by
//   backward shift, so no tombstone buckets pile up under deletion-heavy use) whose
//   8-byte buckets hold the id's slot and 32 bits of its hash; the slot's offset leads
//   to the id's bytes. A lookup of a random id costs three cache misses (the bucket,
//   the offset, the bytes), the last two only when the 32 bits match. The buckets cost
//   8 to 21 bytes an id with the load between 3/8 and 3/4 (16.8 at a million ids).
//
// The hash is SipHash-1-3 under a key drawn once per process (IdHash), so ids chosen
// by an adversary cannot be made to collide, and iteration order is not something
// callers can rely on.
//
// The arena only grows: the bytes of a deleted id stay until the table is rebuilt
// (compaction builds a fresh one), just as the deleted slot itself does.
//
// Thread safety: none of its own. The database guards the two directions with its
// id_to_slot and slot_to_id locks: find/for_each/erase touch the hash table (and read
// the slot side), id_of reads the slot side only. Every change to the slot side
// (insert, clear_slot) happens with both locks held exclusive, erase with id_to_slot
// held exclusive.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "db/id_hash.h"

namespace dralm {

class IdTable {
 public:
  using SlotNumber = uint32_t;

  IdTable() = default;
  IdTable(IdTable&&) noexcept = default;
  IdTable& operator=(IdTable&&) noexcept = default;
  IdTable(const IdTable&) = delete;
  IdTable& operator=(const IdTable&) = delete;

  // ---- Slot side.
  size_t slot_count() const { return offsets_.size(); }
  // The id stored at `slot`, empty for a tombstone. Valid until the next insert.
  // Requires: slot < slot_count().
  std::string_view id_of(SlotNumber slot) const {
    assert(slot < slot_count());
    return at_offset(offsets_[slot]);
  }
  // Empties the id of `slot` (its hash entry must already be erased).
  void clear_slot(SlotNumber slot) {
    assert(slot < slot_count());
    offsets_[slot] = kEmptyOffset;
  }
  // Grows the slot side to `count` slots; new slots are tombstones.
  void resize_slots(size_t count);

  // ---- Id side (live ids only).
  size_t size() const { return size_; }
  std::optional<SlotNumber> find(std::string_view id) const;
  bool contains(std::string_view id) const { return find(id).has_value(); }
  // Stores `id` at `slot` and maps it. Returns false (nothing changed) when the id is
  // already live. Requires: slot < kNoSlot; the slot is empty or beyond slot_count().
  bool insert(std::string_view id, SlotNumber slot) { return insert(id, slot, hash_of(id)); }
  // The same with the id's hash computed by the caller (hash_of), so that a bulk insert
  // can hash ahead and prefetch the buckets it will probe.
  bool insert(std::string_view id, SlotNumber slot, uint64_t hash);
  static uint64_t hash_of(std::string_view id) { return IdHash()(id); }
  // Starts loading the bucket where a probe for `hash` begins.
  void prefetch(uint64_t hash) const {
    if (!buckets_.empty()) __builtin_prefetch(&buckets_[home(hash)]);
  }
  // Unmaps a live id and returns its slot; the slot side keeps the id until
  // clear_slot.
  std::optional<SlotNumber> erase(std::string_view id);
  // Room for `ids` live ids, `slots` slots and `bytes` id bytes (lengths not
  // counted) without regrowing.
  void reserve(size_t ids, size_t slots, size_t bytes);

  // Calls f(id, slot) for every live id, in no particular order.
  template <typename F>
  void for_each(F&& f) const {
    for (const Bucket& bucket : buckets_) {
      if (bucket.slot != kNoSlot) f(id_of(bucket.slot), bucket.slot);
    }
  }

  // Bytes held (arena, per-slot arrays, buckets), for statistics and benchmarks.
  size_t memory_bytes() const;

  static constexpr SlotNumber kNoSlot = 0xFFFFFFFFu;

 private:
  struct Bucket {
    SlotNumber slot = kNoSlot;  // kNoSlot: empty; the id is id_of(slot)
    uint32_t tag = 0;           // low 32 bits of the id's hash
  };
  static constexpr uint64_t kEmptyOffset = 0;  // the empty id every tombstone shares

  std::string_view at_offset(uint64_t offset) const {
    assert(offset + 4 <= arena_.size());
    uint32_t length;
    std::memcpy(&length, arena_.data() + offset, 4);
    return {arena_.data() + offset + 4, length};
  }
  // Appends `id` to the arena and returns its offset.
  uint64_t append(std::string_view id);

  // The bucket a hash starts probing at.
  size_t home(uint64_t h) const { return static_cast<size_t>(h) & mask_; }
  // The home bucket of an occupied bucket. The tag holds the hash's low 32 bits, which
  // is all the mask uses until the table outgrows 2^32 buckets.
  size_t home_of(const Bucket& bucket) const {
    if (mask_ <= 0xFFFFFFFFu) return bucket.tag & mask_;
    return home(hash_of(id_of(bucket.slot)));
  }
  // The bucket holding `id`, or the empty bucket that ends its probe sequence.
  size_t probe(std::string_view id, uint64_t h) const;
  void grow_buckets(size_t capacity);
  void place(const Bucket& bucket, size_t home_bucket);

  std::vector<char> arena_ = std::vector<char>(4, 0);  // starts with the empty id
  std::vector<uint64_t> offsets_;                      // per slot
  std::vector<Bucket> buckets_;                        // size is 0 or a power of two
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace dralm
