// Internals of the log's frame format shared by the encoder, the reader and the tests.
// Not part of the engine's interface: the database only uses wal.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "wal/wal.h"

namespace dralm::wal_format {

// kind(1) + payload length(4) before the payload; crc(4) after it.
inline constexpr size_t kHeaderSize = 5;
inline constexpr size_t kTrailerSize = 4;
// Every length and count is a u32; 2^32 and above cannot be written.
inline constexpr uint64_t kMaxField = 0xFFFFFFFFull;

// Fails (Io) when the id, the vector or the payload without its metadata text already
// needs 2^32 bytes (elements) or more. Costs nothing: no field is copied.
Status check_fixed_sizes(const WalRecordView& record);

// Decodes a payload whose frame checksum already matched. nullopt means the record is
// undecodable (a field runs past the end, bad UTF-8 id, bad JSON, unknown kind, an
// Update without its second flag): the caller skips it and keeps reading.
std::optional<WalRecord> decode_payload(uint8_t kind, const uint8_t* payload, size_t length);

}  // namespace dralm::wal_format
