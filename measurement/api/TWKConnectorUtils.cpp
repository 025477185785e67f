#include "measurement/api/TWKConnectorUtils.h"

#include <unicode/regex.h>

#include <memory>
#include <mutex>
#include <vector>

namespace {

// Compiled once; ICU matchers are made per call since they are not thread-safe.
const std::vector<std::unique_ptr<icu::RegexPattern>>& compiledPatterns() {
  // Never destroyed: library threads may still use it while the process exits.
  static const auto& patterns = *new auto([] {
    std::vector<std::unique_ptr<icu::RegexPattern>> out;
    for (const auto& text : TWKConnectorUtils::blocklistedUserPropertyPatterns()) {
      UErrorCode status = U_ZERO_ERROR;
      UParseError parseError;
      std::unique_ptr<icu::RegexPattern> pattern(
          icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(text), parseError, status));
      if (U_SUCCESS(status) && pattern) out.push_back(std::move(pattern));
    }
    return out;
  }());
  return patterns;
}

bool matchesBlocklistedPattern(std::string_view name) {
  const auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), static_cast<int32_t>(name.size())));
  for (const auto& pattern : compiledPatterns()) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    if (U_SUCCESS(status) && matcher && matcher->find(status) && U_SUCCESS(status)) return true;
  }
  return false;
}

}  // namespace

const TWKConnectorUtils::NameSet& TWKConnectorUtils::allowedListenerOrigins() {
  static const NameSet& set = *new NameSet{"orxa", "crash", "dvr"};
  return set;
}
const TWKConnectorUtils::NameSet& TWKConnectorUtils::blocklistedOrigins() {
  static const NameSet& set = *new NameSet{"auto", "app", "qd"};
  return set;
}
const TWKConnectorUtils::NameSet& TWKConnectorUtils::blocklistedEventNames() {
  static const NameSet& set = *new NameSet{"_e", "_f", "_iap", "_s", "_au"};
  return set;
}
const TWKConnectorUtils::NameSet& TWKConnectorUtils::blocklistedParameters() {
  static const NameSet& set = *new NameSet{"_r", "_dbg"};
  return set;
}
const TWKConnectorUtils::NameSet& TWKConnectorUtils::blocklistedUserProperties() {
  static const NameSet& set = *new NameSet{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
  return set;
}
const TWKConnectorUtils::NameSet& TWKConnectorUtils::blocklistedUserPropertyPatterns() {
  static const NameSet& set = *new NameSet{"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"};
  return set;
}
const TWKConnectorUtils::NameSet& TWKConnectorUtils::hiddenEventNames() {
  static const NameSet& set =
      *new NameSet{"_xa",   "_xu", "_aq",      "_aa",        "_ai",           "_ac",          "campaign_details",
                   "_iapx", "_ug", "_exp_set", "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"};
  return set;
}

bool TWKConnectorUtils::isOriginAllowed(std::string_view origin) { return !blocklistedOrigins().contains(origin); }

bool TWKConnectorUtils::isAppOrigin(std::string_view origin) {
  return origin == "app" || origin.starts_with("app+");
}

bool TWKConnectorUtils::isListenerOriginAllowed(std::string_view origin) {
  return allowedListenerOrigins().contains(origin);
}

bool TWKConnectorUtils::isEventNameAllowedForListeners(std::string_view name) {
  return !hiddenEventNames().contains(name);
}

bool TWKConnectorUtils::shouldLogEventWithName(std::string_view name, const platform::Dictionary& parameters) {
  if (name.empty() || blocklistedEventNames().contains(name)) return false;
  for (const auto& key : blocklistedParameters()) {
    if (parameters.contains(key)) return false;
  }
  return true;
}

bool TWKConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "nlv" || origin == "orxa";
  if (blocklistedUserProperties().contains(name)) return false;
  return !matchesBlocklistedPattern(name);
}
