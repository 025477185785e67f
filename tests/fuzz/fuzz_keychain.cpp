// libFuzzer target: the bytes as the keychain file and as a preference suite's file of a sandbox on
// disk, then read, written and removed.
#include <cstdio>
#include <cstdlib>

#include "measurement/proto/TLWPBMessage.h"
#include "tests/fuzz/FuzzFileChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TLWPBSetLogHandler([](std::string_view) {});
  platform::VXLSetLogSink(std::make_shared<fuzzchecks::QuietLog>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string problem = fuzzchecks::checkSandboxFiles(std::span<const std::uint8_t>(data, size));
  if (!problem.empty()) {
    std::fprintf(stderr, "keychain: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
