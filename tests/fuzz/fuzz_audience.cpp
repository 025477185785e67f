// libFuzzer target: audience filter definitions decoded from configuration bytes and
// evaluated against a fixed event set. Hostile expressions must end within their time
// limit, so a slow input shows as a libFuzzer timeout.
#include "tests/fuzz/FuzzAudienceChecks.h"
#include "tests/fuzz/FuzzTarget.h"

namespace {

std::string checkWithOneEvaluator(std::span<const std::uint8_t> bytes) {
  static const TLWAudienceFilterEvaluator evaluator;
  return fuzzchecks::checkAudienceFilters(bytes, evaluator);
}

}  // namespace

TW_FUZZ_TARGET("audience", checkWithOneEvaluator, (void)0)
