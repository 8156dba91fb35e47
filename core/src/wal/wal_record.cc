// Encoding of log records into checksummed frames and decoding of their payloads.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "wal/wal.h"
#include "wal/wal_format.h"

namespace dralm {
namespace {

using wal_format::kHeaderSize;
using wal_format::kMaxField;

void put_u32(std::string& out, uint32_t value) {
  char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                   static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  out.append(bytes, 4);
}

void patch_u32(std::string& out, size_t at, uint32_t value) {
  out[at] = static_cast<char>(value);
  out[at + 1] = static_cast<char>(value >> 8);
  out[at + 2] = static_cast<char>(value >> 16);
  out[at + 3] = static_cast<char>(value >> 24);
}

uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

DbError too_large(const char* what, uint64_t size, const char* unit = "bytes") {
  return DbError::io(std::string("record too large for the log: ") + what + " of " +
                     std::to_string(size) + " " + unit + " (the limit is 4294967295)");
}

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

// Appends payload fields. The id and vector sizes were checked by check_fixed_sizes
// before the first byte was copied; only the metadata text's length is known late.
class PayloadEncoder {
 public:
  explicit PayloadEncoder(std::string& out) : out_(out) {}

  void string(std::string_view text) {
    assert(text.size() <= kMaxField);
    put_u32(out_, static_cast<uint32_t>(text.size()));
    out_.append(text.data(), text.size());
  }

  void vector(std::span<const float> values) {
    assert(values.size() <= kMaxField);
    put_u32(out_, static_cast<uint32_t>(values.size()));
    size_t at = out_.size();
    out_.resize(at + values.size() * sizeof(float));
    if constexpr (std::endian::native == std::endian::little) {
      if (!values.empty()) std::memcpy(out_.data() + at, values.data(), values.size_bytes());
    } else {
      for (size_t i = 0; i < values.size(); ++i) {
        patch_u32(out_, at + 4 * i, std::bit_cast<uint32_t>(values[i]));
      }
    }
  }

  // nullptr is "no metadata", length 0.
  Status metadata(const JsonValue* value) {
    size_t at = out_.size();
    put_u32(out_, 0);
    if (value == nullptr) return Status::success();
    value->serialise_to(out_);
    uint64_t length = out_.size() - at - 4;
    if (length > kMaxField) return too_large("metadata text", length);
    patch_u32(out_, at, static_cast<uint32_t>(length));
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
    value = get_u32(p_);
    p_ += 4;
    return true;
  }

  bool string(std::string& text) {
    uint32_t length;
    if (!u32(length) || remaining() < length) return false;
    text.assign(reinterpret_cast<const char*>(p_), length);
    p_ += length;
    return wal_format::is_valid_utf8(text);
  }

  bool vector(std::vector<float>& values) {
    uint32_t count;
    // 64-bit product: a count near 2^32 must not wrap into a small byte size.
    if (!u32(count) || remaining() < uint64_t{count} * 4) return false;
    values.resize(count);
    if constexpr (std::endian::native == std::endian::little) {
      if (count > 0) std::memcpy(values.data(), p_, size_t{count} * 4);
    } else {
      for (uint32_t i = 0; i < count; ++i) values[i] = std::bit_cast<float>(get_u32(p_ + 4 * i));
    }
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
    JsonParseResult parsed = parse_json(text);
    if (!parsed.ok) return false;
    value = std::move(parsed.value);
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
  Status fits = wal_format::check_fixed_sizes(record);
  if (!fits.ok()) return fits;
  const size_t start = out.size();
  // Metadata aside, the frame's size is known: one allocation instead of several, still
  // growing geometrically when a caller appends many frames to one string.
  size_t needed = start + kHeaderSize + fixed_payload_size(record) + wal_format::kTrailerSize;
  if (out.capacity() < needed) out.reserve(std::max(needed, 2 * out.capacity()));
  out.push_back(static_cast<char>(record.kind));
  put_u32(out, 0);  // payload length, patched once the payload is known
  PayloadEncoder encoder(out);
  Status status = encode_payload(record, encoder);
  uint64_t payload_length = out.size() - start - kHeaderSize;
  if (status.ok() && payload_length > kMaxField) status = too_large("payload", payload_length);
  if (!status.ok()) {
    out.resize(start);
    return status;
  }
  patch_u32(out, start + 1, static_cast<uint32_t>(payload_length));
  // The checksum covers the kind byte and the payload, not the length field.
  uint32_t crc = crc32(out.data() + start, 1);
  crc = crc32(out.data() + start + kHeaderSize, payload_length, crc);
  put_u32(out, crc);
  return Status::success();
}

namespace wal_format {

Status check_fixed_sizes(const WalRecordView& record) {
  if (record.id.size() > kMaxField) return too_large("id", record.id.size());
  bool logs_vector = record.kind == WalKind::Insert ||
                     (record.kind == WalKind::Update && record.has_vector);
  if (logs_vector && record.vector.size() > kMaxField) {
    return too_large("vector", record.vector.size(), "elements");
  }
  uint64_t fixed_size = fixed_payload_size(record);
  if (fixed_size > kMaxField) return too_large("payload", fixed_size);
  return Status::success();
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

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = p + text.size();
  while (p < end) {
    uint8_t lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    size_t extra;
    // The allowed range of the first continuation byte rules out overlong forms,
    // surrogates (ED A0..BF) and code points above U+10FFFF (F4 90..).
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= extra) return false;
    if (p[1] < low || p[1] > high) return false;
    for (size_t i = 2; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += extra + 1;
  }
  return true;
}

}  // namespace wal_format
}  // namespace dralm
