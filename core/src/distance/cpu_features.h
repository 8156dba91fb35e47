// Which of the instruction sets the kernels are written for this processor runs. The
// AVX-512 answers are false in a build configured with -DDRALM_AVX512=OFF, which then
// holds no AVX-512 code at all: that build runs as it would on a processor without it.
#pragma once

#include <type_traits>
#include <vector>

namespace dralm {

#if defined(DRALM_NO_AVX512)
inline constexpr bool kBuildHasAvx512 = false;
// An AVX-512 kernel `f` where the build holds one, else nullptr (it was not compiled).
#define DRALM_AVX512_KERNEL(f) nullptr
#else
inline constexpr bool kBuildHasAvx512 = true;
#define DRALM_AVX512_KERNEL(f) f
#endif

// AVX-512 F, BW and VL (Skylake-SP and later), with the registers enabled by the OS.
inline bool cpu_runs_avx512() {
  if constexpr (!kBuildHasAvx512) return false;
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl");
}

// AVX2 with FMA (Haswell, Zen and later).
inline bool cpu_runs_avx2_fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// The variants of one kernel that this build holds and this processor runs, fastest
// first, the portable one last; `Variant` is {name, function}. `avx512` is nullptr in a
// build without the AVX-512 kernels (DRALM_AVX512_KERNEL).
template <typename Variant, typename Fn>
std::vector<Variant> runnable_variants(std::type_identity_t<Fn> avx512, Fn avx2, Fn portable) {
  std::vector<Variant> variants;
  if (avx512 != nullptr && cpu_runs_avx512()) variants.push_back({"avx512", avx512});
  if (cpu_runs_avx2_fma()) variants.push_back({"avx2", avx2});
  variants.push_back({"portable", portable});
  return variants;
}

}  // namespace dralm
