#include "db/id_table.h"

#include <cstring>
#include <utility>

namespace dralm {
namespace {

// At most three quarters of the buckets are used: linear probing stays short (about
// 2.5 buckets for a hit, 8.5 for a miss) while a bucket is only 8 bytes.
bool over_load(size_t used, size_t capacity) { return used * 4 > capacity * 3; }

size_t capacity_for(size_t ids) {
  size_t capacity = 16;
  while (over_load(ids, capacity)) capacity *= 2;
  return capacity;
}

}  // namespace

void IdTable::resize_slots(size_t count) {
  if (count <= slot_count()) return;
  offsets_.resize(count, kEmptyOffset);
}

size_t IdTable::probe(std::string_view id, uint64_t h) const {
  const uint32_t tag = static_cast<uint32_t>(h);
  for (size_t i = home(h);; i = (i + 1) & mask_) {
    const Bucket& bucket = buckets_[i];
    if (bucket.slot == kNoSlot) return i;
    if (bucket.tag == tag && id_of(bucket.slot) == id) return i;
  }
}

std::optional<IdTable::SlotNumber> IdTable::find(std::string_view id) const {
  if (size_ == 0) return std::nullopt;
  const Bucket& bucket = buckets_[probe(id, hash_of(id))];
  if (bucket.slot == kNoSlot) return std::nullopt;
  return bucket.slot;
}

void IdTable::place(const Bucket& bucket, size_t home_bucket) {
  size_t i = home_bucket;
  while (buckets_[i].slot != kNoSlot) i = (i + 1) & mask_;
  buckets_[i] = bucket;
}

uint64_t IdTable::append(std::string_view id) {
  // Lengths are u32 like everywhere else an id is stored (log, graph file).
  assert(id.size() <= 0xFFFFFFFFu);
  const uint64_t offset = arena_.size();
  const uint32_t length = static_cast<uint32_t>(id.size());
  arena_.resize(offset + 4 + id.size());
  std::memcpy(arena_.data() + offset, &length, 4);
  if (!id.empty()) std::memcpy(arena_.data() + offset + 4, id.data(), id.size());
  return offset;
}

void IdTable::grow_buckets(size_t capacity) {
  assert(capacity > 0 && (capacity & (capacity - 1)) == 0 && capacity > size_);
  std::vector<Bucket> old = std::exchange(buckets_, std::vector<Bucket>(capacity));
  mask_ = capacity - 1;
  for (const Bucket& bucket : old) {
    if (bucket.slot != kNoSlot) place(bucket, home_of(bucket));
  }
}

void IdTable::reserve(size_t ids, size_t slots, size_t bytes) {
  if (buckets_.empty() || over_load(ids, buckets_.size())) grow_buckets(capacity_for(ids));
  offsets_.reserve(slots);
  arena_.reserve(arena_.size() + bytes + 4 * ids);
}

bool IdTable::insert(std::string_view id, SlotNumber slot, uint64_t h) {
  assert(slot != kNoSlot && h == hash_of(id));
  if (buckets_.empty() || over_load(size_ + 1, buckets_.size())) {
    grow_buckets(buckets_.empty() ? 16 : buckets_.size() * 2);
  }
  const size_t at = probe(id, h);
  if (buckets_[at].slot != kNoSlot) return false;
  resize_slots(size_t(slot) + 1);
  assert(offsets_[slot] == kEmptyOffset);
  const uint64_t offset = append(id);
  offsets_[slot] = offset;
  buckets_[at] = Bucket{slot, static_cast<uint32_t>(h)};
  ++size_;
  return true;
}

std::optional<IdTable::SlotNumber> IdTable::erase(std::string_view id) {
  if (size_ == 0) return std::nullopt;
  size_t hole = probe(id, hash_of(id));
  const SlotNumber slot = buckets_[hole].slot;
  if (slot == kNoSlot) return std::nullopt;
  // Backward shift: move later members of the probe run into the hole whenever the
  // hole lies on their way from their home bucket, so every id stays reachable
  // without marking deleted buckets.
  for (size_t i = (hole + 1) & mask_; buckets_[i].slot != kNoSlot; i = (i + 1) & mask_) {
    const size_t wanted = home_of(buckets_[i]);
    // Can bucket i's entry move to `hole`? Only if `hole` is cyclically in [wanted, i).
    const bool movable = ((i - wanted) & mask_) >= ((i - hole) & mask_);
    if (movable) {
      buckets_[hole] = buckets_[i];
      hole = i;
    }
  }
  buckets_[hole] = Bucket{};
  --size_;
  return slot;
}

size_t IdTable::memory_bytes() const {
  return arena_.capacity() + offsets_.capacity() * sizeof(uint64_t) +
         buckets_.capacity() * sizeof(Bucket);
}

}  // namespace dralm
