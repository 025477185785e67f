#include "measurement/config/TLWServiceEndpoint.h"

#include <cctype>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/app/Bundle.h"

namespace {

constexpr std::size_t kMaxBaseURLLength = 2048;

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

std::string withoutTrailingSlashes(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return std::string(url);
}

}  // namespace

bool TLWServiceEndpoint::isUsableBaseURL(std::string_view url) {
  if (url.empty() || url.size() > kMaxBaseURLLength) return false;
  std::size_t schemeLength = 0;
  if (startsWithNoCase(url, "https://")) {
    schemeLength = 8;
  } else if (startsWithNoCase(url, "http://")) {
    schemeLength = 7;
  } else {
    return false;
  }
  for (char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '?' || c == '#') return false;
  }
  std::string_view rest = url.substr(schemeLength);
  std::string_view host = rest.substr(0, rest.find('/'));
  // A host, optionally with a port; "http://:80" or "http:///x" are not usable.
  return !host.empty() && host.front() != ':';
}

namespace {

bool isUnreserved(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x80 && std::isalnum(u)) || c == '-' || c == '.' || c == '_' || c == '~';
}

template <class Keep>
std::string percentEncodeKeeping(std::string_view text, Keep keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (keep(c)) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0x0f]);
    }
  }
  return out;
}

}  // namespace

std::string TLWServiceEndpoint::percentEncode(std::string_view text) { return percentEncodeKeeping(text, isUnreserved); }

std::string TLWServiceEndpoint::percentEncodePathSegment(std::string_view text) {
  static constexpr std::string_view kAlsoAllowed = "!$&'()*+,;=:@";
  return percentEncodeKeeping(text, [](char c) { return isUnreserved(c) || kAlsoAllowed.find(c) != std::string_view::npos; });
}

std::string TLWServiceEndpoint::baseURL(std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWMonitor> monitor) {
  if (!env) env = platform::Environment::current();
  auto reject = [&monitor](std::string_view source, const std::string& url) {
    if (!monitor) monitor = TLWMonitor::sharedInstance();
    monitor->logWithLevel(3, 29029, "Ignoring an unusable measurement service URL. Source, URL",
                          platform::Value(source), platform::Value(url.substr(0, kMaxBaseURLLength)));
  };
  if (auto processInfo = env->processInfo()) {
    if (auto fromEnvironment =
            processInfo->environmentVariable(std::string(kTLWMeasurementServiceURLEnvironmentVariable))) {
      if (isUsableBaseURL(*fromEnvironment)) return withoutTrailingSlashes(*fromEnvironment);
      if (!fromEnvironment->empty()) reject(kTLWMeasurementServiceURLEnvironmentVariable, *fromEnvironment);
    }
  }
  if (auto bundle = env->mainBundle()) {
    if (auto fromInfoPlist = bundle->stringForInfoDictionaryKey(kTLWMeasurementServiceURLInfoPlistKey)) {
      if (isUsableBaseURL(*fromInfoPlist)) return withoutTrailingSlashes(*fromInfoPlist);
      if (!fromInfoPlist->empty()) reject(kTLWMeasurementServiceURLInfoPlistKey, *fromInfoPlist);
    }
  }
  return std::string(kTLWDefaultMeasurementServiceURL);
}

std::string TLWServiceEndpoint::uploadURL(std::shared_ptr<platform::Environment> env) {
  return baseURL(std::move(env)) + "/a";
}

std::string TLWServiceEndpoint::configurationURL(std::string_view appID, std::shared_ptr<platform::Environment> env) {
  return baseURL(std::move(env)) + "/config/app/" + percentEncodePathSegment(appID);
}
