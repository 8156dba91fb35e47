// MetadataSlots: the metadata of every slot of a database, one pointer a slot.
//
// Most databases carry metadata on few items or none, so a slot without metadata costs
// only its null pointer (8 bytes) instead of an inline optional value (64 bytes); a slot
// with metadata holds its value in an allocation of its own, which never moves while the
// slot keeps it.
//
// Thread safety: none of its own; the database guards it with its metadata lock.
#pragma once

#include <cassert>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "json/json.h"

namespace dralm {

class MetadataSlots {
 public:
  MetadataSlots() = default;
  // `count` slots, none with metadata.
  explicit MetadataSlots(size_t count) : values_(count) {}
  MetadataSlots(MetadataSlots&&) noexcept = default;
  MetadataSlots& operator=(MetadataSlots&&) noexcept = default;
  MetadataSlots(const MetadataSlots&) = delete;
  MetadataSlots& operator=(const MetadataSlots&) = delete;

  size_t size() const { return values_.size(); }
  // New slots have no metadata.
  void resize(size_t count) { values_.resize(count); }
  void swap(MetadataSlots& other) noexcept { values_.swap(other.values_); }

  // The slot's metadata, null for none. Valid until the slot is set or reset.
  // Requires: slot < size().
  const JsonValue* operator[](size_t slot) const {
    assert(slot < size());
    return values_[slot].get();
  }
  void set(size_t slot, std::optional<JsonValue> metadata) {
    assert(slot < size());
    if (metadata) {
      values_[slot] = std::make_unique<JsonValue>(std::move(*metadata));
    } else {
      values_[slot].reset();
    }
  }
  void reset(size_t slot) {
    assert(slot < size());
    values_[slot].reset();
  }

 private:
  std::vector<std::unique_ptr<JsonValue>> values_;
};

}  // namespace dralm
