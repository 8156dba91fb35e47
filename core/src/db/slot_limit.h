// The bound on slot numbers: slots are unsigned 32-bit and kNoEntry (0xFFFFFFFF)
// means "no entry point", so a database holds at most 0xFFFFFFFF slots, tombstones
// included.
#pragma once

#include <cstdint>
#include <string>

#include "hnsw/hnsw_index.h"
#include "util/error.h"

namespace dralm {

inline constexpr uint64_t kMaxSlots = kNoEntry;

// Whether `adding` new slots fit after `node_count` existing ones.
inline Status slot_room(uint64_t node_count, uint64_t adding) {
  if (node_count <= kMaxSlots && adding <= kMaxSlots - node_count) return Status::success();
  return DbError::io("database is full: it holds at most " + std::to_string(kMaxSlots) +
                     " slots including deleted ones (compact reclaims deleted slots)");
}

}  // namespace dralm
