#include "db/id_hash.h"

#include <cstring>

#include "util/little_endian.h"
#include "util/random.h"

namespace dralm {
namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m, int rounds) {
    v3 ^= m;
    for (int i = 0; i < rounds; ++i) round();
    v0 ^= m;
  }
};

struct ProcessKey {
  uint64_t k0, k1;
};

// Drawn from the operating system's random source on first use; the function-local
// static makes the first use thread-safe.
const ProcessKey& process_key() {
  static const ProcessKey key = [] { return ProcessKey{os_random_u64(), os_random_u64()}; }();
  return key;
}

}  // namespace

uint64_t siphash(int c, int d, uint64_t k0, uint64_t k1, const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const size_t whole = length & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) s.absorb(load_u64_le(bytes + i), c);
  // Last block: the remaining bytes, with the length's low byte on top.
  uint64_t last = uint64_t(length & 0xff) << 56;
  for (size_t i = 0; i < (length & 7); ++i) last |= uint64_t(bytes[whole + i]) << (8 * i);
  s.absorb(last, c);
  s.v2 ^= 0xff;
  for (int i = 0; i < d; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

size_t IdHash::operator()(std::string_view id) const {
  const ProcessKey& key = process_key();
  return static_cast<size_t>(siphash(1, 3, key.k0, key.k1, id.data(), id.size()));
}

}  // namespace dralm
