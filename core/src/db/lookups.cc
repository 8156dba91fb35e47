// Reads that do not search by similarity: get, ids, count, membership, length and the
// size properties. They take shared locks only.
#include "db/database.h"

namespace dralm {

Result<GetResult> Database::get(std::string_view id) const {
  // id_to_slot stays held (in lock order) while the slot is read, so a concurrent
  // delete or compaction cannot renumber or tombstone it in between.
  SharedGuard ids(id_to_slot_lock_);
  const std::optional<Slot> found = ids_.find(id);
  if (!found) return DbError::not_found(std::string(id));
  const Slot slot = *found;
  GetResult result;
  {
    SharedGuard index_guard(index_lock_);
    if (slot >= index_->node_count()) return DbError::corrupt("vector slot missing");
    const std::span<const float> stored = index_->vector(slot);
    result.vector.assign(stored.begin(), stored.end());
  }
  SharedGuard metadata_guard(metadata_lock_);
  if (slot < metadata_.size() && metadata_[slot])
    result.metadata_json = metadata_[slot]->serialise();
  return result;
}

std::vector<std::string> Database::ids() const {
  SharedGuard guard(id_to_slot_lock_);
  std::vector<std::string> out;
  out.reserve(ids_.size());
  ids_.for_each([&out](std::string_view id, Slot) { out.emplace_back(id); });
  return out;
}

uint64_t Database::count(const FilterExpr* filter) const {
  if (filter == nullptr) return live_count();
  SharedGuard index_guard(index_lock_);
  SharedGuard metadata_guard(metadata_lock_);
  const std::optional<SlotSet> candidates = metadata_index_.candidates(*filter);
  const size_t node_count = std::min(index_->node_count(), metadata_.size());
  auto counts = [&](Slot slot) REQUIRES_SHARED(index_lock_, metadata_lock_) {
    return slot < node_count && !index_->is_deleted(slot) && matches(*filter, metadata_[slot]);
  };
  uint64_t total = 0;
  if (candidates) {
    for (Slot slot : *candidates) total += counts(slot);
  } else {
    for (Slot slot = 0; slot < node_count; ++slot) total += counts(slot);
  }
  return total;
}

bool Database::contains(std::string_view id) const {
  SharedGuard guard(id_to_slot_lock_);
  return ids_.contains(id);
}

uint64_t Database::live_count() const {
  SharedGuard guard(index_lock_);
  return index_->live_count();
}

std::string_view Database::metric_name() const {
  SharedGuard guard(index_lock_);
  return dralm::metric_name(index_->metric());
}

uint64_t Database::deleted_count() const {
  SharedGuard guard(index_lock_);
  return index_->deleted().size();
}

uint64_t Database::total_slots() const {
  SharedGuard guard(index_lock_);
  return index_->node_count();
}

}  // namespace dralm
