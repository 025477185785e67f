// libFuzzer target: the JSON the inspector and the local measurement service read (messages,
// control rules, HTTP dates) and the wire files the inspector decodes.
#include <cstdio>
#include <cstdlib>

#include "measurement/proto/TLWPBMessage.h"
#include "tests/fuzz/FuzzToolsChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TLWPBSetLogHandler([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string problem = fuzzchecks::checkToolsInput(std::span<const std::uint8_t>(data, size));
  if (!problem.empty()) {
    std::fprintf(stderr, "tools_json: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
