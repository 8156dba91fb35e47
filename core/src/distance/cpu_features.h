// Which of the instruction sets the kernels are written for this processor runs. The
// AVX-512 answers are false in a build configured with -DDRALM_AVX512=OFF, which then
// holds no AVX-512 code at all: that build runs as it would on a processor without it.
#pragma once

namespace dralm {

#if defined(DRALM_NO_AVX512)
inline constexpr bool kBuildHasAvx512 = false;
#else
inline constexpr bool kBuildHasAvx512 = true;
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

}  // namespace dralm
