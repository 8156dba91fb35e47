// Linked only into wheels that carry the C++ runtime inside (DRALM_PORTABLE). The static
// libstdc++ of a toolchain built on glibc 2.36 refers to arc4random (std::random_device),
// which older C libraries lack; this private definition satisfies that reference, so the
// wheel needs nothing newer from the C library than the rest of the module does. The
// engine itself draws its seeds through os_random_u64 (util/random.h).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/random.h>
#include <time.h>

__attribute__((visibility("hidden"))) uint32_t arc4random(void) {
  uint32_t value = 0;
  if (getrandom(&value, sizeof(value), 0) == (ssize_t)sizeof(value)) return value;
  FILE* device = fopen("/dev/urandom", "rb");
  if (device != NULL) {
    const size_t got = fread(&value, sizeof(value), 1, device);
    fclose(device);
    if (got == 1) return value;
  }
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint32_t)now.tv_nsec ^ (uint32_t)(uintptr_t)&value;
}
