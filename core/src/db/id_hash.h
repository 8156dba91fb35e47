// The keyed hash of ids (the database's IdTable and the write paths' duplicate checks
// use it). Its key is a random value drawn once per process, so ids chosen by an
// adversary cannot be made to collide into one probe run, and iteration order is not
// something callers can rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace dralm {

// SipHash-c-d of the bytes of `data` under the 128-bit key (k0, k1): `c` rounds per
// 8-byte block, `d` finalisation rounds. Ids use SipHash-1-3.
uint64_t siphash(int c, int d, uint64_t k0, uint64_t k1, const void* data, size_t length);

// Hashes an id under the process-wide random key. Transparent, so lookups with a
// std::string_view need no temporary std::string.
struct IdHash {
  using is_transparent = void;
  size_t operator()(std::string_view id) const;
};

}  // namespace dralm
