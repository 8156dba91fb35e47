// The log's records: what an insert, a delete and an update write into a frame's
// payload, and reading them back. The frames themselves are wal/'s.
//
// Payloads, little-endian: every string is u32 length + UTF-8 bytes, every vector u32
// count + f32 values, metadata u32 length + compact JSON (length 0: none).
//   Insert: id, vector, metadata
//   Delete: id
//   Update: id, u8 has_vector (1: present), [vector], u8 metadata_changed, [metadata]
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "util/error.h"
#include "wal/wal_format.h"
#include "wal/wal_writer.h"

namespace dralm {

// The kinds of record the log holds, each the kind byte of its frame. A frame of any
// other kind is never written.
enum class WalKind : uint8_t { Insert = 1, Delete = 2, Update = 3 };
inline constexpr FrameKinds kWalKinds{static_cast<uint8_t>(WalKind::Insert),
                                      static_cast<uint8_t>(WalKind::Update)};

// A change to append. Views into the caller's memory; valid for the append call only.
struct WalRecordView {
  WalKind kind = WalKind::Insert;
  std::string_view id;
  // Insert: always present. Update: present when has_vector.
  std::span<const float> vector;
  bool has_vector = false;
  // Insert: metadata or nullptr. Update: metadata_changed says whether the record
  // replaces the metadata; then nullptr clears it.
  const JsonValue* metadata = nullptr;
  bool metadata_changed = false;

  static WalRecordView insert(std::string_view id, std::span<const float> vector,
                              const JsonValue* metadata);
  static WalRecordView remove(std::string_view id);
  static WalRecordView update(std::string_view id, const std::span<const float>* vector,
                              bool metadata_changed, const JsonValue* metadata);
};

// A decoded record read back from the log.
struct WalRecord {
  WalKind kind = WalKind::Insert;
  std::string id;
  std::optional<std::vector<float>> vector;
  bool metadata_changed = false;  // always true for Insert
  std::optional<JsonValue> metadata;
};

struct WalContents {
  std::vector<WalRecord> records;
  // Bytes up to the end of the last whole frame with a good checksum (undecodable
  // but intact frames count); the log should be cut back to this before appending.
  uint64_t valid_length = 0;
  uint64_t file_length = 0;
};

// Appends the full frame of `record` to `out`. Fails (Io) if a field or the payload
// would need 2^32 bytes or more; `out` is then unchanged.
Status encode_frame(const WalRecordView& record, std::string& out);

// Decodes a payload whose frame checksum already matched. nullopt means the record is
// undecodable (a field runs past the end, bad UTF-8 id, bad JSON, unknown kind, an
// Update without its second flag): the caller skips it and keeps reading.
std::optional<WalRecord> decode_payload(uint8_t kind, const uint8_t* payload, size_t length);

// Appends the records to the log, one frame each (see WalWriter::append). A record too
// large for the format fails (Io) before the file is touched.
// Requires: the database's wal mutex held.
Status append_records(WalWriter& wal, std::span<const WalRecordView> records);
inline Status append_records(WalWriter& wal, const WalRecordView& record) {
  return append_records(wal, std::span(&record, 1));
}

// Reads every intact record of the log at `path` in file order, skipping intact
// frames that do not decode; a missing file is an empty log.
Result<WalContents> read_records(const std::string& path);

}  // namespace dralm
