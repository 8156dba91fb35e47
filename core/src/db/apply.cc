// Applying one change to the in-memory record. The write operations call these after
// their log append succeeded; replay calls them for each record read back from the
// log. Keeping one code path guarantees that replaying a log rebuilds exactly the
// state that the writes built.
//
// New slots are staged in the index with `index` held shared, so searches and lookups
// go on meanwhile and do not see them; then one short step with id_to_slot, index and
// metadata held exclusive maps the ids, stores the metadata and publishes the slots.
// A search therefore never meets a slot without its id and metadata.
#include <cassert>
#include <mutex>

#include "db/database.h"
#include "db/slot_limit.h"

namespace dralm {
namespace {

// Grows a per-slot array so that `slot` is a valid position.
template <typename Array>
void ensure_position(Array& array, Slot slot) {
  if (array.size() <= slot) array.resize(size_t(slot) + 1);
}

}  // namespace

Status Database::check_slot_room(uint64_t count) const {
  SharedGuard index_guard(index_lock_);
  return slot_room(index_->node_count(), count);
}

bool Database::id_is_live(std::string_view id) const {
  SharedGuard ids(id_to_slot_lock_);
  return ids_.contains(id);
}

std::optional<Slot> Database::live_slot(std::string_view id) const {
  SharedGuard ids(id_to_slot_lock_);
  return ids_.find(id);
}

void Database::apply_insert(std::string_view id, std::span<const float> vector,
                            std::optional<JsonValue> metadata) {
  assert(vector.size() == dim_);
  Slot slot;
  {
    SharedGuard index_guard(index_lock_);
    slot = index_->stage(vector);
  }
  ExclusiveGuard ids_guard(id_to_slot_lock_);
  ExclusiveGuard index_guard(index_lock_);
  ExclusiveGuard metadata_guard(metadata_lock_);
  [[maybe_unused]] const bool inserted = ids_.insert(id, slot);
  assert(inserted);
  ensure_position(metadata_, slot);
  metadata_index_.index_add(slot, metadata);
  metadata_.set(slot, std::move(metadata));
  index_->publish();
}

void Database::apply_insert_batch(std::vector<NewItem> items) {
  if (items.empty()) return;
  // One contiguous array for stage_batch; the items' vectors may live anywhere.
  std::vector<float> flat;
  flat.reserve(items.size() * dim_);
  for (const NewItem& item : items) {
    assert(item.vector.size() == dim_);
    flat.insert(flat.end(), item.vector.begin(), item.vector.end());
  }
  std::vector<Slot> slots;
  {
    SharedGuard index_guard(index_lock_);
    slots = index_->stage_batch(flat);
  }
  assert(slots.size() == items.size());
  ExclusiveGuard ids_guard(id_to_slot_lock_);
  ExclusiveGuard index_guard(index_lock_);
  ExclusiveGuard metadata_guard(metadata_lock_);
  if (!slots.empty()) ensure_position(metadata_, slots.back());
  for (size_t i = 0; i < items.size(); ++i) {
    const Slot slot = slots[i];
    [[maybe_unused]] const bool inserted = ids_.insert(items[i].id, slot);
    assert(inserted);
    metadata_index_.index_add(slot, items[i].metadata);
    metadata_.set(slot, std::move(items[i].metadata));
  }
  index_->publish();
}

void Database::apply_replace(Slot slot, std::optional<std::span<const float>> vector,
                             bool metadata_changed, std::optional<JsonValue> metadata) {
  if (vector) {
    assert(vector->size() == dim_);
    ExclusiveGuard index_guard(index_lock_);
    assert(slot < index_->node_count() && !index_->is_deleted(slot));
    index_->update_vector(slot, *vector);
  }
  if (metadata_changed) {
    ExclusiveGuard metadata_guard(metadata_lock_);
    assert(slot < metadata_.size());
    metadata_index_.index_remove(slot, metadata_[slot]);
    metadata_index_.index_add(slot, metadata);
    metadata_.set(slot, std::move(metadata));
  }
}

uint64_t Database::apply_delete(std::span<const std::string_view> ids) {
  ExclusiveGuard ids_guard(id_to_slot_lock_);
  std::vector<Slot> slots;
  slots.reserve(ids.size());
  for (std::string_view id : ids) {
    const std::optional<Slot> slot = ids_.erase(id);
    if (!slot) continue;  // not live, or repeated in `ids`
    slots.push_back(*slot);
  }
  if (slots.empty()) return 0;
  ExclusiveGuard index_guard(index_lock_);
  ExclusiveGuard metadata_guard(metadata_lock_);
  for (Slot slot : slots) {
    assert(slot < ids_.slot_count() && slot < metadata_.size());
    index_->mark_deleted(slot);
    ids_.clear_slot(slot);
    metadata_index_.index_remove(slot, metadata_[slot]);
    metadata_.reset(slot);
  }
  return slots.size();
}

}  // namespace dralm
