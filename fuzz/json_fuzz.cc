// libFuzzer entry for the JSON parser, built with the other harnesses by
// -DDRALM_BUILD_FUZZ=ON (see fuzz/CMakeLists.txt):
//   ./build/rel-fuzz/fuzz/json_fuzz -max_len=4096
// Without libFuzzer (e.g. g++), -DDRALM_JSON_FUZZ_MAIN adds a main that runs every
// file named on the command line through the same entry, for replaying inputs.
//
// Checked on every input: the parser returns instead of crashing; a failure carries
// its position; an accepted value serialises to text that parses back to an equal
// value with the same hash and serialises to the same text again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.h"

namespace {

void check(bool condition, const char* what, std::string_view input) {
  if (condition) return;
  std::fprintf(stderr, "json_fuzz: %s\ninput (%zu bytes): %.*s\n", what, input.size(),
               static_cast<int>(input.size()), input.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  dralm::Result<dralm::JsonValue> first = dralm::parse_json(input);
  if (!first.ok()) {
    check(first.error().detail().find(" at line ") != std::string::npos, "error without a position",
          input);
    return 0;
  }
  std::string text = first.value().serialise();
  dralm::Result<dralm::JsonValue> second = dralm::parse_json(text);
  check(second.ok(), "own serialisation does not parse", input);
  check(second.value() == first.value(), "round trip changed the value", input);
  check(second.value().hash() == first.value().hash(), "equal values hash apart", input);
  check(second.value().serialise() == text, "serialisation is not stable", input);
  return 0;
}

#ifdef DRALM_JSON_FUZZ_MAIN
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::FILE* f = std::fopen(argv[i], "rb");
    if (f == nullptr) {
      std::perror(argv[i]);
      return 1;
    }
    std::string bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  return 0;
}
#endif
