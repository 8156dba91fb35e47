// Database::compact(): rebuilds the index from the live slots, renumbered densely in
// their old order, and carries ids and metadata over to the new numbers.
//
// The writer gate is held exclusive for the whole run, so no write (nor a switch of
// quantized search, which passes the gate too) can change the fields between the
// snapshot and the install, nor apply a slot number looked up before the renumbering.
// Searches and lookups keep using the old fields while the new ones are built, and see
// either all old or all new fields: the install swaps all five under their exclusive
// locks.
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/database.h"

namespace dralm {
namespace {

// What the rebuild needs from the old fields, copied so the old ones stay untouched
// and searchable.
struct LiveSnapshot {
  IndexParams params;
  bool quantized = false;
  std::vector<float> vectors;                        // live vectors, new slot order
  std::vector<std::pair<std::string, Slot>> ids;     // id and its new slot
  std::vector<std::optional<JsonValue>> metadata;    // by new slot
};

}  // namespace

void Database::compact() {
  ExclusiveGuard gate(write_gate_);

  LiveSnapshot live;
  {
    SharedGuard ids_guard(id_to_slot_lock_);
    SharedGuard index_guard(index_lock_);
    SharedGuard metadata_guard(metadata_lock_);
    const HnswIndex& old = *index_;
    if (old.deleted().empty()) return;

    live.params = old.params();
    live.quantized = old.quantized().has_value();
    const size_t node_count = old.node_count();
    const size_t dim = old.dim();
    std::vector<Slot> new_slot(node_count, kNoEntry);
    live.vectors.reserve(size_t(old.live_count()) * dim);
    Slot next = 0;
    for (size_t slot = 0; slot < node_count; ++slot) {
      if (old.is_deleted(static_cast<Slot>(slot))) continue;
      new_slot[slot] = next++;
      std::span<const float> vector = old.vector(static_cast<Slot>(slot));
      live.vectors.insert(live.vectors.end(), vector.begin(), vector.end());
    }
    live.metadata.resize(next);
    live.ids.reserve(id_to_slot_.size());
    for (const auto& [id, slot] : id_to_slot_) {
      if (slot >= node_count || new_slot[slot] == kNoEntry) continue;
      const Slot renumbered = new_slot[slot];
      live.ids.emplace_back(id, renumbered);
      if (slot < metadata_.size()) live.metadata[renumbered] = metadata_[slot];
    }
  }

  // Build the replacement fields with no lock held but the gate.
  auto index = std::make_unique<HnswIndex>(live.params);
  const size_t live_slots = live.metadata.size();
  if (!live.vectors.empty()) {
    [[maybe_unused]] const std::vector<Slot> slots = index->insert_batch(live.vectors);
    assert(slots.size() == live_slots && (slots.empty() || slots.front() == 0));
  }
  std::vector<float>().swap(live.vectors);
  if (live.quantized) index->enable_quantization();

  decltype(id_to_slot_) id_to_slot;
  id_to_slot.reserve(live.ids.size());
  std::vector<std::string> slot_to_id(live_slots);
  for (auto& [id, slot] : live.ids) {
    slot_to_id[slot] = id;
    id_to_slot.emplace(std::move(id), slot);
  }
  MetadataIndex metadata_index;
  metadata_index.rebuild_index(live.metadata, {});

  {
    ExclusiveGuard ids_guard(id_to_slot_lock_);
    ExclusiveGuard index_guard(index_lock_);
    ExclusiveGuard slot_to_id_guard(slot_to_id_lock_);
    ExclusiveGuard metadata_guard(metadata_lock_);
    ExclusiveGuard metadata_index_guard(metadata_index_lock_);
    id_to_slot_.swap(id_to_slot);
    index_.swap(index);
    slot_to_id_.swap(slot_to_id);
    metadata_.swap(live.metadata);
    std::swap(metadata_index_, metadata_index);
  }
  // The old fields, now in the locals, are freed here, after the locks are released
  // (dropping the old index also releases a mapping of vectors.bin).
}

}  // namespace dralm
