// libFuzzer harness: the fuzz input is graph.dralm (vectors.bin sized to its header).
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dralm_fuzz::write_own_seed("graph");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return dralm_fuzz::run_graph(data, size);
}
