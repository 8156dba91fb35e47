#include "wal/wal_reader.h"

#include <algorithm>

#include "util/little_endian.h"
#include "wal/wal_format.h"

namespace dralm {

Result<WalReader> WalReader::open(const std::string& path) {
  Result<std::optional<SequentialFileReader>> file = SequentialFileReader::open_if_present(path);
  if (!file.ok()) return file.error();
  return WalReader(std::move(file.value()));
}

Result<std::optional<WalFrame>> WalReader::next() {
  using wal_format::kHeaderSize;
  using wal_format::kTrailerSize;
  const std::optional<WalFrame> end;
  if (ended_ || !file_ || file_->size() == 0) return end;
  // Any way out but a whole, matching frame ends the log for good.
  ended_ = true;
  uint8_t header[kHeaderSize];
  Result<bool> filled = file_->read_exact(header, kHeaderSize);
  if (!filled.ok()) return filled.error();
  if (!filled.value()) return end;
  const uint32_t payload_length = load_u32_le(header + 1);
  // The length is not yet checksummed: one that claims more than the file holds is
  // what a torn write looks like, and must not size an allocation.
  const uint64_t size = file_->size();
  const uint64_t remaining = size - std::min(size, valid_length_ + kHeaderSize);
  if (uint64_t{payload_length} + kTrailerSize > remaining) return end;
  payload_.resize(payload_length);
  uint8_t trailer[kTrailerSize];
  filled = file_->read_exact(payload_.data(), payload_length);
  if (filled.ok() && filled.value()) filled = file_->read_exact(trailer, kTrailerSize);
  if (!filled.ok()) return filled.error();
  if (!filled.value()) return end;

  uint32_t crc = crc32(header, 1);
  crc = crc32(payload_.data(), payload_.size(), crc);
  if (crc != load_u32_le(trailer)) return end;
  valid_length_ += kHeaderSize + payload_length + kTrailerSize;
  ended_ = false;
  return std::optional<WalFrame>(WalFrame{header[0], payload_});
}

}  // namespace dralm
