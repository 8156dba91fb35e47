// libFuzzer harness: the fuzz input is wal.dralm, replayed alone and over real saved files.
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dralm_fuzz::write_own_seed("wal");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return dralm_fuzz::run_wal(data, size);
}
