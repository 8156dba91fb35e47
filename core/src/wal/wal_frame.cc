// Building one frame around a payload the caller appends in place.
#include <string>

#include "util/little_endian.h"
#include "wal/wal_format.h"

namespace dralm {

namespace wal_format {

DbError too_large(const char* what, uint64_t size, const char* unit) {
  return DbError::io(std::string("record too large for the log: ") + what + " of " +
                     std::to_string(size) + " " + unit + " (the limit is 4294967295)");
}

}  // namespace wal_format

size_t begin_frame(std::string& out, uint8_t kind) {
  const size_t start = out.size();
  out.push_back(static_cast<char>(kind));
  append_u32_le(out, 0);  // payload length, written by finish_frame
  return start;
}

Status finish_frame(std::string& out, size_t start) {
  using wal_format::kHeaderSize;
  const uint64_t payload_length = out.size() - start - kHeaderSize;
  if (payload_length > wal_format::kMaxField) {
    out.resize(start);
    return wal_format::too_large("payload", payload_length);
  }
  store_u32_le(out.data() + start + 1, static_cast<uint32_t>(payload_length));
  uint32_t crc = crc32(out.data() + start, 1);
  crc = crc32(out.data() + start + kHeaderSize, payload_length, crc);
  append_u32_le(out, crc);
  return Status::success();
}

}  // namespace dralm
