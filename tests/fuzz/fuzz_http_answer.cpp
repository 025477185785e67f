// libFuzzer target: an HTTP answer split into status, header lines and body, read by the network
// client's header parsing, the configuration fetcher and the uploader.
#include <cstdio>
#include <cstdlib>

#include "measurement/proto/TLWPBMessage.h"
#include "tests/fuzz/FuzzAnswerChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TLWPBSetLogHandler([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string problem = fuzzchecks::checkServiceAnswer(std::span<const std::uint8_t>(data, size));
  if (!problem.empty()) {
    std::fprintf(stderr, "http_answer: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
