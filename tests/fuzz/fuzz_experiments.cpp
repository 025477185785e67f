// libFuzzer target: the SDK-experiments answer as the task manager reads it (bounded inflation,
// decoding, snapshots and flags).
#include <cstdio>
#include <cstdlib>

#include "measurement/proto/TLWPBMessage.h"
#include "tests/fuzz/FuzzAnswerChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TLWPBSetLogHandler([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string problem = fuzzchecks::checkExperimentAnswer(std::span<const std::uint8_t>(data, size));
  if (!problem.empty()) {
    std::fprintf(stderr, "experiments: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
