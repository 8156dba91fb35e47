#include "util/random.h"

#include <sys/random.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace dralm {

uint64_t os_random_u64() {
  uint64_t value = 0;
  // getrandom can be short or fail (very old kernels, seccomp); the device file is the
  // same source by another door, so nothing is ever left with a fixed seed.
  if (getrandom(&value, sizeof(value), 0) == static_cast<ssize_t>(sizeof(value))) return value;
  if (std::FILE* device = std::fopen("/dev/urandom", "rb")) {
    const size_t got = std::fread(&value, sizeof(value), 1, device);
    std::fclose(device);
    if (got == 1) return value;
  }
  // No random source at all: the time and an address still differ from run to run.
  return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
         reinterpret_cast<uintptr_t>(&value);
}

namespace {

uint64_t splitmix64(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// xoshiro256**: fast, 256 bits of state, passes the usual statistical batteries.
class Xoshiro256 {
 public:
  Xoshiro256() { reseed(os_random_u64()); }

  void reseed(uint64_t seed) {
    // Expanding one seed through splitmix64 never yields the all-zero state.
    for (uint64_t& word : s_) word = splitmix64(seed);
  }

  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

 private:
  uint64_t s_[4];
};

Xoshiro256& thread_generator() {
  thread_local Xoshiro256 generator;
  return generator;
}

}  // namespace

uint64_t thread_random_u64() { return thread_generator().next(); }

void seed_thread_random(uint64_t seed) { thread_generator().reseed(seed); }

uint64_t level_from_draw(uint64_t r, double level_mult) {
  const double u = static_cast<double>(r >> 11) * 0x1p-53;
  const double level = std::floor(-std::log(u) * level_mult);
  if (!(level > 0.0)) return 0;  // also NaN
  if (level >= 0x1p64) return UINT64_MAX;
  return static_cast<uint64_t>(level);
}

}  // namespace dralm
