// Little-endian coding of the fixed-width fields in the log and the data files, and a
// bounds-checked sequential reader over bytes from a file. Every encoder and decoder in
// the engine goes through here, so the byte order is decided in one place.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace dralm {

inline uint32_t load_u32_le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t load_u64_le(const uint8_t* p) {
  return static_cast<uint64_t>(load_u32_le(p)) | static_cast<uint64_t>(load_u32_le(p + 4)) << 32;
}

inline void store_u32_le(char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(value >> (8 * i));
}

inline void append_u32_le(std::string& out, uint32_t value) {
  char bytes[4];
  store_u32_le(bytes, value);
  out.append(bytes, 4);
}

// `count` floats from `p` (any alignment) into `out`.
inline void load_f32s_le(const uint8_t* p, size_t count, float* out) {
  if constexpr (std::endian::native == std::endian::little) {
    // memcpy with a null pointer is undefined even for 0 bytes.
    if (count > 0) std::memcpy(out, p, count * sizeof(float));
  } else {
    for (size_t i = 0; i < count; ++i) out[i] = std::bit_cast<float>(load_u32_le(p + 4 * i));
  }
}

inline void append_f32s_le(std::string& out, std::span<const float> values) {
  const size_t at = out.size();
  out.resize(at + values.size_bytes());
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(out.data() + at, values.data(), values.size_bytes());
  } else {
    for (size_t i = 0; i < values.size(); ++i) {
      store_u32_le(out.data() + at + 4 * i, std::bit_cast<uint32_t>(values[i]));
    }
  }
}

// Sequential reads over a byte range. A read that would run past the end fails and
// consumes nothing; callers turn that into their end-of-data error.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - position_; }

  bool read_u8(uint8_t& out) {
    if (remaining() < 1) return false;
    out = data_[position_++];
    return true;
  }
  bool read_u32(uint32_t& out) {
    if (remaining() < 4) return false;
    out = load_u32_le(data_ + position_);
    position_ += 4;
    return true;
  }
  // The next `length` bytes, or nullptr (nothing consumed) when fewer remain.
  const uint8_t* take(size_t length) {
    if (remaining() < length) return nullptr;
    const uint8_t* start = data_ + position_;
    position_ += length;
    return start;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace dralm
