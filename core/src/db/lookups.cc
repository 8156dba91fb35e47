// Reads that do not search by similarity: get, ids, count, membership, length and the
// size properties. They take shared locks only.
#include <algorithm>
#include <cassert>
#include <utility>
#include <vector>

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

// Calls visit(slot) for every live slot that matches `filter` (in no set order): only
// the candidate slots when the metadata index narrows the filter, every slot
// otherwise. visit runs with index and metadata held shared.
template <typename Visit>
void Database::for_each_match(const FilterExpr& filter, Visit&& visit) const {
  SharedGuard index_guard(index_lock_);
  SharedGuard metadata_guard(metadata_lock_);
  const std::optional<SlotSet> candidates = metadata_index_.candidates(filter);
  const size_t node_count = std::min(index_->node_count(), metadata_.size());
  auto holds = [&](Slot slot) REQUIRES_SHARED(index_lock_, metadata_lock_) {
    return slot < node_count && !index_->is_deleted(slot) && matches(filter, metadata_[slot]);
  };
  if (candidates) {
    for (Slot slot : *candidates) {
      if (holds(slot)) visit(slot);
    }
  } else {
    for (Slot slot = 0; slot < node_count; ++slot) {
      if (holds(slot)) visit(slot);
    }
  }
}

uint64_t Database::count(const FilterExpr* filter) const {
  if (filter == nullptr) return live_count();
  uint64_t total = 0;
  for_each_match(*filter, [&total](Slot) { ++total; });
  return total;
}

std::vector<std::string> Database::ids_matching(const FilterExpr& filter) const {
  std::vector<std::pair<Slot, std::string>> found;
  for_each_match(filter, [&](Slot slot) REQUIRES_SHARED(index_lock_) {
    found.emplace_back(slot, slot_ids().id_of(slot));
  });
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  out.reserve(found.size());
  for (auto& [slot, id] : found) out.push_back(std::move(id));
  return out;
}

Result<ManyResult> Database::get_many(std::span<const std::string> ids,
                                      std::span<float> out) const {
  assert(out.size() == ids.size() * dim_);
  // All three held together (in lock order), so every row and its metadata come from
  // one state even while other threads write.
  SharedGuard ids_guard(id_to_slot_lock_);
  SharedGuard index_guard(index_lock_);
  SharedGuard metadata_guard(metadata_lock_);
  ManyResult result;
  result.metadata_json.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::optional<Slot> found = ids_.find(ids[i]);
    if (!found) return DbError::not_found(ids[i]);
    if (*found >= index_->node_count()) return DbError::corrupt("vector slot missing");
    const std::span<const float> stored = index_->vector(*found);
    std::copy(stored.begin(), stored.end(), out.begin() + static_cast<ptrdiff_t>(i * dim_));
    std::optional<std::string>& text = result.metadata_json.emplace_back();
    if (*found < metadata_.size() && metadata_[*found]) text = metadata_[*found]->serialise();
  }
  return result;
}

ExportChunk Database::export_chunk(uint64_t begin_slot, uint64_t max_items,
                                   uint64_t compactions) const {
  assert(max_items > 0);
  ExportChunk chunk;
  // index and metadata in lock order, as a search holds them.
  SharedGuard index_guard(index_lock_);
  if (compactions != compactions_) {
    chunk.renumbered = true;
    return chunk;
  }
  SharedGuard metadata_guard(metadata_lock_);
  const uint64_t end =
      std::min<uint64_t>({index_->node_count(), slot_ids().slot_count(), metadata_.size()});
  uint64_t slot = begin_slot;
  for (; slot < end && chunk.ids.size() < max_items; ++slot) {
    const Slot s = static_cast<Slot>(slot);
    if (index_->is_deleted(s)) continue;
    chunk.ids.emplace_back(slot_ids().id_of(s));
    const std::span<const float> stored = index_->vector(s);
    chunk.vectors.insert(chunk.vectors.end(), stored.begin(), stored.end());
    const JsonValue* metadata = metadata_[s];
    chunk.metadata_json.push_back(metadata ? std::optional(metadata->serialise()) : std::nullopt);
  }
  chunk.next_slot = slot;
  chunk.done = slot >= end;
  return chunk;
}

uint64_t Database::compaction_count() const {
  SharedGuard guard(index_lock_);
  return compactions_;
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
