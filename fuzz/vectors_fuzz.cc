// libFuzzer harness: the fuzz input is vectors.bin under a real saved graph.dralm.
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dralm_fuzz::write_own_seed("vectors");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return dralm_fuzz::run_vectors(data, size);
}
