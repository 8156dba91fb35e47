// Encoding log records into frames and decoding their payloads.
#include "store/wal_record.h"

#include <algorithm>
#include <string>

#include "util/little_endian.h"
#include "util/utf8.h"
#include "wal/wal_reader.h"

namespace dralm {
namespace {

using wal_format::kHeaderSize;
using wal_format::kMaxField;
using wal_format::too_large;

// The payload size without the metadata text, known before anything is copied.
uint64_t fixed_payload_size(const WalRecordView& record) {
  uint64_t size = 4 + uint64_t{record.id.size()};
  uint64_t vector_size = 4 + uint64_t{record.vector.size()} * sizeof(float);
  switch (record.kind) {
    case WalKind::Insert:
      return size + vector_size + 4;
    case WalKind::Delete:
      return size;
    case WalKind::Update:
      return size + 2 + (record.has_vector ? vector_size : 0) + (record.metadata_changed ? 4 : 0);
  }
  return size;
}

// Fails (Io) when the id, the vector or the payload without its metadata text already
// needs 2^32 bytes (elements) or more. Costs nothing: no field is copied.
Status check_fixed_sizes(const WalRecordView& record) {
  if (record.id.size() > kMaxField) return too_large("id", record.id.size());
  bool logs_vector =
      record.kind == WalKind::Insert || (record.kind == WalKind::Update && record.has_vector);
  if (logs_vector && record.vector.size() > kMaxField) {
    return too_large("vector", record.vector.size(), "elements");
  }
  uint64_t fixed_size = fixed_payload_size(record);
  if (fixed_size > kMaxField) return too_large("payload", fixed_size);
  return Status::success();
}

// Appends payload fields. The id and vector sizes were checked by check_fixed_sizes
// before the first byte was copied; only the metadata text's length is known late.
class PayloadEncoder {
 public:
  explicit PayloadEncoder(std::string& out) : out_(out) {}

  void string(std::string_view text) {
    assert(text.size() <= kMaxField);
    append_u32_le(out_, static_cast<uint32_t>(text.size()));
    out_.append(text.data(), text.size());
  }

  void vector(std::span<const float> values) {
    assert(values.size() <= kMaxField);
    append_u32_le(out_, static_cast<uint32_t>(values.size()));
    append_f32s_le(out_, values);
  }

  // nullptr is "no metadata", length 0.
  Status metadata(const JsonValue* value) {
    size_t at = out_.size();
    append_u32_le(out_, 0);
    if (value == nullptr) return Status::success();
    value->serialise_to(out_);
    uint64_t length = out_.size() - at - 4;
    if (length > kMaxField) return too_large("metadata text", length);
    store_u32_le(out_.data() + at, static_cast<uint32_t>(length));
    return Status::success();
  }

  void flag(bool present) { out_.push_back(present ? '\1' : '\0'); }

 private:
  std::string& out_;
};

Status encode_payload(const WalRecordView& record, PayloadEncoder& encoder) {
  encoder.string(record.id);
  switch (record.kind) {
    case WalKind::Insert:
      encoder.vector(record.vector);
      return encoder.metadata(record.metadata);
    case WalKind::Delete:
      return Status::success();
    case WalKind::Update:
      encoder.flag(record.has_vector);
      if (record.has_vector) encoder.vector(record.vector);
      encoder.flag(record.metadata_changed);
      if (record.metadata_changed) return encoder.metadata(record.metadata);
      return Status::success();
  }
  assert(false && "unknown record kind");
  return DbError::io("unknown log record kind");
}

// Reads fields from a payload front to back; any read past the end poisons the reader.
class PayloadDecoder {
 public:
  PayloadDecoder(const uint8_t* data, size_t length) : p_(data), end_(data + length) {}

  bool u32(uint32_t& value) {
    if (remaining() < 4) return false;
    value = load_u32_le(p_);
    p_ += 4;
    return true;
  }

  bool string(std::string& text) {
    uint32_t length;
    if (!u32(length) || remaining() < length) return false;
    text.assign(reinterpret_cast<const char*>(p_), length);
    p_ += length;
    return is_valid_utf8(text);
  }

  bool vector(std::vector<float>& values) {
    uint32_t count;
    // 64-bit product: a count near 2^32 must not wrap into a small byte size.
    if (!u32(count) || remaining() < uint64_t{count} * 4) return false;
    values.resize(count);
    load_f32s_le(p_, count, values.data());
    p_ += size_t{count} * 4;
    return true;
  }

  // Length 0 decodes to no metadata; otherwise the text must be exactly one JSON value.
  bool metadata(std::optional<JsonValue>& value) {
    uint32_t length;
    if (!u32(length) || remaining() < length) return false;
    std::string_view text(reinterpret_cast<const char*>(p_), length);
    p_ += length;
    if (length == 0) {
      value.reset();
      return true;
    }
    Result<JsonValue> parsed = parse_json(text);
    if (!parsed.ok()) return false;
    value = std::move(parsed.value());
    return true;
  }

  // Any byte other than 1 means absent.
  bool flag(bool& present) {
    if (remaining() < 1) return false;
    present = *p_++ == 1;
    return true;
  }

 private:
  size_t remaining() const { return static_cast<size_t>(end_ - p_); }

  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace

WalRecordView WalRecordView::insert(std::string_view id, std::span<const float> vector,
                                    const JsonValue* metadata) {
  WalRecordView view;
  view.kind = WalKind::Insert;
  view.id = id;
  view.vector = vector;
  view.has_vector = true;
  view.metadata = metadata;
  view.metadata_changed = true;
  return view;
}

WalRecordView WalRecordView::remove(std::string_view id) {
  WalRecordView view;
  view.kind = WalKind::Delete;
  view.id = id;
  return view;
}

WalRecordView WalRecordView::update(std::string_view id, const std::span<const float>* vector,
                                    bool metadata_changed, const JsonValue* metadata) {
  WalRecordView view;
  view.kind = WalKind::Update;
  view.id = id;
  if (vector != nullptr) {
    view.vector = *vector;
    view.has_vector = true;
  }
  view.metadata_changed = metadata_changed;
  view.metadata = metadata_changed ? metadata : nullptr;
  return view;
}

Status encode_frame(const WalRecordView& record, std::string& out) {
  // Refuse an oversized record before copying gigabytes of it into `out`.
  Status fits = check_fixed_sizes(record);
  if (!fits.ok()) return fits;
  const size_t start = out.size();
  // Metadata aside, the frame's size is known: one allocation instead of several, still
  // growing geometrically when a caller appends many frames to one string.
  size_t needed = start + kHeaderSize + fixed_payload_size(record) + wal_format::kTrailerSize;
  if (out.capacity() < needed) out.reserve(std::max(needed, 2 * out.capacity()));
  begin_frame(out, static_cast<uint8_t>(record.kind));
  PayloadEncoder encoder(out);
  if (Status status = encode_payload(record, encoder); !status.ok()) {
    out.resize(start);
    return status;
  }
  return finish_frame(out, start);
}

std::optional<WalRecord> decode_payload(uint8_t kind, const uint8_t* payload, size_t length) {
  PayloadDecoder decoder(payload, length);
  WalRecord record;
  if (!decoder.string(record.id)) return std::nullopt;
  switch (kind) {
    case static_cast<uint8_t>(WalKind::Insert): {
      record.kind = WalKind::Insert;
      std::vector<float> vector;
      if (!decoder.vector(vector) || !decoder.metadata(record.metadata)) return std::nullopt;
      record.vector = std::move(vector);
      record.metadata_changed = true;
      return record;
    }
    case static_cast<uint8_t>(WalKind::Delete):
      record.kind = WalKind::Delete;
      return record;
    case static_cast<uint8_t>(WalKind::Update): {
      record.kind = WalKind::Update;
      bool has_vector;
      if (!decoder.flag(has_vector)) return std::nullopt;
      if (has_vector) {
        std::vector<float> vector;
        if (!decoder.vector(vector)) return std::nullopt;
        record.vector = std::move(vector);
      }
      if (!decoder.flag(record.metadata_changed)) return std::nullopt;
      if (record.metadata_changed && !decoder.metadata(record.metadata)) return std::nullopt;
      return record;
    }
    default:
      return std::nullopt;
  }
}

Status append_records(WalWriter& wal, std::span<const WalRecordView> records) {
  if (records.empty()) return Status::success();
  if (Status writable = wal.check_writable(); !writable.ok()) return writable;
  // The sizes the format cannot express are refused for the whole batch before the file
  // is touched. (Only metadata text of 4 GiB or more is found later, while encoding.)
  for (const WalRecordView& record : records) {
    Status fits = check_fixed_sizes(record);
    if (!fits.ok()) return fits;
  }
  return wal.append(records.size(), [records](size_t i, std::string& frame) {
    return encode_frame(records[i], frame);
  });
}

Result<WalContents> read_records(const std::string& path) {
  Result<WalReader> opened = WalReader::open(path);
  if (!opened.ok()) return opened.error();
  WalReader& reader = opened.value();
  WalContents contents;
  contents.file_length = reader.file_length();
  for (;;) {
    Result<std::optional<WalFrame>> frame = reader.next();
    if (!frame.ok()) return frame.error();
    if (!frame.value()) break;
    // An intact frame counts as read even when it does not decode: cutting the log back
    // must keep it and everything before it.
    const WalFrame& f = *frame.value();
    std::optional<WalRecord> record = decode_payload(f.kind, f.payload.data(), f.payload.size());
    if (record) contents.records.push_back(std::move(*record));
  }
  contents.valid_length = reader.valid_length();
  return contents;
}
}  // namespace dralm
