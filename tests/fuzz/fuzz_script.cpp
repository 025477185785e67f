// libFuzzer target: arbitrary bytes as an event-editing program, run against a fixed
// event.
#include <cstdio>
#include <cstdlib>

#include "measurement/proto/TLWPBMessage.h"
#include "tests/fuzz/FuzzScriptChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TLWPBSetLogHandler([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string problem = fuzzchecks::checkScript(std::span<const std::uint8_t>(data, size));
  if (!problem.empty()) {
    std::fprintf(stderr, "script: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
