// libFuzzer harness: the fuzz input is vectors.sq8 beside real graph.dralm and vectors.bin.
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dralm_fuzz::write_own_seed("sq8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return dralm_fuzz::run_sq8(data, size);
}
