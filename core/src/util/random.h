// Per-thread random numbers for the level draw of new graph nodes.
#pragma once

#include <cstdint>

namespace dralm {

// A uniform 64-bit value from the calling thread's own generator (xoshiro256**),
// seeded from the operating system's random source on the thread's first draw.
// Threads never share a generator, so no synchronisation is needed.
uint64_t thread_random_u64();

// Restarts the calling thread's generator from `seed`, so that the levels drawn on this
// thread afterwards repeat from run to run (tests and benchmarks use it to build the
// same graph every time).
void seed_thread_random(uint64_t seed);

// 64 bits from the operating system's random source (getrandom, else /dev/urandom).
// Not std::random_device: a wheel that links the C++ runtime statically would then
// need the newest C library's arc4random, and no older system could install it.
uint64_t os_random_u64();

// The level for a uniform draw `r`: u = (r >> 11) * 2^-53 in [0, 1), then
// floor(-ln(u) * level_mult) converted with saturation (values past the largest
// uint64 become it, negative or NaN values become 0).
uint64_t level_from_draw(uint64_t r, double level_mult);

}  // namespace dralm
