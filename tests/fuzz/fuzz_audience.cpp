// libFuzzer target: audience filter definitions decoded from configuration bytes and
// evaluated against a fixed event set. Hostile expressions must end within their time
// limit, so a slow input shows as a libFuzzer timeout.
#include <cstdio>
#include <cstdlib>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMessage.h"
#include "tests/fuzz/FuzzAudienceChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TLWPBSetLogHandler([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TLWAudienceFilterEvaluator evaluator;
  std::string problem = fuzzchecks::checkAudienceFilters(std::span<const std::uint8_t>(data, size), evaluator);
  if (!problem.empty()) {
    std::fprintf(stderr, "audience: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
