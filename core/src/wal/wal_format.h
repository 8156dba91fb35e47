// The log's frame format: kind(1) | payload length(4) | payload | crc32(4), little-endian.
// The checksum covers the kind byte and the payload, not the length field. The log
// knows nothing of what a payload holds; the database's record schema encodes and
// decodes payloads inside these frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "util/error.h"

namespace dralm {

namespace wal_format {

// kind(1) + payload length(4) before the payload; crc(4) after it.
inline constexpr size_t kHeaderSize = 5;
inline constexpr size_t kTrailerSize = 4;
// Every length and count is a u32; 2^32 and above cannot be written.
inline constexpr uint64_t kMaxField = 0xFFFFFFFFull;

// The Io error of a field or payload the format cannot express: "record too large for
// the log: <what> of <size> <unit> (the limit is 4294967295)".
DbError too_large(const char* what, uint64_t size, const char* unit = "bytes");

}  // namespace wal_format

// CRC-32 (ISO-HDLC). `crc` is the value returned for the bytes before `data` (0 to
// start), so a checksum can be computed piecewise.
uint32_t crc32(const void* data, size_t length, uint32_t crc = 0);

// Starts a frame of `kind` at the end of `out` and returns where it starts; the caller
// appends the payload and then calls finish_frame with that position.
size_t begin_frame(std::string& out, uint8_t kind);
// Writes the payload length into the header and appends the checksum. Fails (Io) when
// the payload needs 2^32 bytes or more; `out` is then cut back to `start`.
Status finish_frame(std::string& out, size_t start);

// The kind bytes a log's owner writes, first to last; a byte outside them cannot start
// a frame.
struct FrameKinds {
  uint8_t first;
  uint8_t last;
};

// Whether a complete frame of one of `kinds` with a matching checksum starts anywhere
// after byte `from` of `log` (the start of the frame where reading stopped). When the
// search would cost too much it answers true: keeping a log that held nothing more is
// the safe mistake.
bool intact_frame_after(std::span<const uint8_t> log, uint64_t from, FrameKinds kinds);

}  // namespace dralm
