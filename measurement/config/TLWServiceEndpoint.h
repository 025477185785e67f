#pragma once
// TLWServiceEndpoint: where the measurement service lives. The base URL comes from the
// environment variable TALLYWISE_MEASUREMENT_SERVICE_URL, else the main bundle's Info.plist
// key "TallywiseMeasurementServiceURL", else the compiled-in default. An override that is
// not an absolute http(s) URL with a host is ignored (logged) and the next source is used.
//
// Thread-safety: stateless; any thread.

#include <memory>
#include <string>
#include <string_view>

#include "platform/Environment.h"

class TLWMonitor;

inline constexpr std::string_view kTLWMeasurementServiceURLEnvironmentVariable = "TALLYWISE_MEASUREMENT_SERVICE_URL";
inline constexpr std::string_view kTLWMeasurementServiceURLInfoPlistKey = "TallywiseMeasurementServiceURL";
inline constexpr std::string_view kTLWDefaultMeasurementServiceURL = "https://measurement.tallywise.vorlix.com";

class TLWServiceEndpoint {
 public:
  // The base URL without a trailing "/", e.g. "https://measurement.tallywise.vorlix.com".
  // A null environment means Environment::current(); a null monitor the shared one.
  static std::string baseURL(std::shared_ptr<platform::Environment> env = nullptr,
                             std::shared_ptr<TLWMonitor> monitor = nullptr);
  // base + "/a".
  static std::string uploadURL(std::shared_ptr<platform::Environment> env = nullptr);
  // base + "/config/app/" + the app ID with what a path segment cannot hold
  // percent-encoded (":" stays, as servers route on the raw path); no query.
  static std::string configurationURL(std::string_view appID, std::shared_ptr<platform::Environment> env = nullptr);

  // Whether `url` is usable as a base: "http://" or "https://", a non-empty host, no
  // query, fragment, whitespace or control characters, at most 2048 bytes.
  static bool isUsableBaseURL(std::string_view url);
  // Percent-encodes everything but the unreserved characters A-Z a-z 0-9 - . _ ~ (so the
  // result is safe in a path segment and in a query key or value).
  static std::string percentEncode(std::string_view text);
  // Percent-encodes all but what a path segment may hold as it is: the unreserved
  // characters, the sub-delimiters ! $ & ' ( ) * + , ; = and ":" and "@".
  static std::string percentEncodePathSegment(std::string_view text);
};
