// Looking for intact frames behind the point where replay stopped, to tell a torn
// tail (nothing intact follows) from damage inside the log (intact records follow).
#include "util/little_endian.h"
#include "wal/wal_format.h"

namespace dralm {
namespace {

// Checksum work after which the scan gives up and answers "maybe": large enough for
// any tail a crash leaves (one frame), small enough that open never stalls on a huge
// damaged log.
constexpr uint64_t kScanBudget = uint64_t{256} << 20;

}  // namespace

bool intact_frame_after(std::span<const uint8_t> log, uint64_t from, FrameKinds kinds) {
  using wal_format::kHeaderSize;
  using wal_format::kTrailerSize;
  uint64_t budget = kScanBudget;
  // A frame starting exactly at `from` is the one that failed: start one byte later.
  for (uint64_t start = from + 1; start + kHeaderSize + kTrailerSize <= log.size(); ++start) {
    const uint8_t kind = log[start];
    if (kind < kinds.first || kind > kinds.last) continue;
    const uint64_t payload_length = load_u32_le(log.data() + start + 1);
    const uint64_t end = start + kHeaderSize + payload_length + kTrailerSize;
    if (end > log.size()) continue;
    if (payload_length + 1 > budget) return true;
    budget -= payload_length + 1;
    uint32_t crc = crc32(log.data() + start, 1);
    crc = crc32(log.data() + start + kHeaderSize, payload_length, crc);
    if (crc == load_u32_le(log.data() + end - kTrailerSize)) return true;
  }
  return false;
}

}  // namespace dralm
