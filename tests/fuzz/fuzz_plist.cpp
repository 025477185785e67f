// libFuzzer target: the property-list reader (nesting checks and libplist) on arbitrary bytes.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string problem = fuzzchecks::checkPropertyList(std::span<const std::uint8_t>(data, size));
  if (!problem.empty()) {
    std::fprintf(stderr, "plist: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
