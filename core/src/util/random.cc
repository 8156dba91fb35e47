#include "util/random.h"

#include <sys/random.h>

#include <cmath>
#include <cstring>
#include <random>

namespace dralm {
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
  Xoshiro256() {
    uint64_t seed = 0;
    // getrandom can be short or fail (very old kernels, seccomp); fall back to
    // random_device so a thread is never left with a fixed seed.
    if (getrandom(&seed, sizeof(seed), 0) != static_cast<ssize_t>(sizeof(seed))) {
      std::random_device device;
      seed = (uint64_t(device()) << 32) ^ device();
    }
    reseed(seed);
  }

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
