// Log frames built byte by byte for tests, so a test can frame any kind code and any
// payload, including ones the engine's encoder never writes.
#pragma once

#include <cstdint>
#include <string>

#include "support/bytes.h"
#include "wal/wal_format.h"

namespace dralm::testing {

// kind(1) | payload length(4, little-endian) | payload | crc32 of kind and payload(4).
inline std::string frame_of(uint8_t kind, const std::string& payload) {
  std::string frame(1, static_cast<char>(kind));
  put_u32(frame, static_cast<uint32_t>(payload.size()));
  frame += payload;
  uint32_t crc = crc32(frame.data(), 1);
  crc = crc32(payload.data(), payload.size(), crc);
  put_u32(frame, crc);
  return frame;
}

}  // namespace dralm::testing
