// libFuzzer target: the bundle decoder on arbitrary bytes.
#include <cstdlib>
#include <cstdio>

#include "measurement/proto/TLWPBMessage.h"
#include "tests/fuzz/FuzzChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Decode failures are expected here; keep the output readable.
  TLWPBSetLogHandler([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string problem = fuzzchecks::checkBundle(std::span<const std::uint8_t>(data, size));
  if (!problem.empty()) {
    std::fprintf(stderr, "bundle: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
