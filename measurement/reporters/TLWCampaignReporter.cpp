#include "measurement/reporters/TLWCampaignReporter.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/model/TLWValue.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/app/Application.h"
#include "platform/app/Bundle.h"
#include "platform/app/UserActivity.h"
#include "platform/network/VXLNetwork.h"

using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kDefaultAdsServiceURL = "https://ads.tallywise.vorlix.com";
constexpr std::int64_t kLibraryNumericVersion = 80901;

struct Mapping {
  const char* from;
  const char* to;
};
constexpr Mapping kCampaignMapping[] = {
    {"utm_campaign", "campaign"}, {"utm_source", "source"}, {"utm_medium", "medium"}, {"utm_term", "term"},
    {"utm_content", "content"},   {"vclid", "vclid"},       {"vbraid", "vbraid"},     {"aclid", "aclid"},
    {"anid", "anid"},             {"cp1", "cp1"},           {"cis", "_cis"},
};

bool isValidUTF8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    if (c >= 0x80) {
      if ((c >> 5) == 6) {
        n = 1;
      } else if ((c >> 4) == 14) {
        n = 2;
      } else if ((c >> 3) == 30) {
        n = 3;
      } else {
        return false;
      }
    }
    if (i + n >= s.size() && n != 0) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    }
    i += n + 1;
  }
  return true;
}

// Only the query counts: a "?" inside the fragment starts none.
std::string queryOf(const std::string& url) {
  const auto hash = url.find('#');
  const auto question = url.substr(0, hash).find('?');
  if (question == std::string::npos) return {};
  return url.substr(question + 1, hash == std::string::npos ? std::string::npos : hash - question - 1);
}

std::string urlString(const Value& value) {
  if (const std::string* u = value.urlString()) return *u;
  if (const std::string* s = value.string()) return *s;
  return {};
}

// A small JSON reader for the deferred deep link's answer: objects, arrays, strings,
// numbers (kept as integers or doubles), booleans and null, with bounded depth.
class JSONReader {
 public:
  explicit JSONReader(std::string_view text) : s_(text) {}
  std::optional<Value> document() {
    auto v = value(0);
    skip();
    if (!v || pos_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  static constexpr int kMaxDepth = 16;
  void skip() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) ++pos_;
  }
  bool eat(char c) {
    skip();
    if (pos_ < s_.size() && s_[pos_] == c) return ++pos_, true;
    return false;
  }
  std::optional<Value> value(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    skip();
    if (pos_ >= s_.size()) return std::nullopt;
    const char c = s_[pos_];
    if (c == '{') return object(depth);
    if (c == '[') return array(depth);
    if (c == '"') {
      auto text = string();
      return text ? std::optional<Value>(Value(*text)) : std::nullopt;
    }
    for (auto [word, result] : {std::pair<std::string_view, Value>{"true", Value(true)},
                                {"false", Value(false)}, {"null", Value()}}) {
      if (s_.substr(pos_, word.size()) == word) {
        pos_ += word.size();
        return result;
      }
    }
    return number();
  }
  std::optional<Value> object(int depth) {
    ++pos_;
    Dictionary d;
    if (eat('}')) return Value(std::move(d));
    do {
      skip();
      auto key = string();
      if (!key || !eat(':')) return std::nullopt;
      auto v = value(depth + 1);
      if (!v) return std::nullopt;
      if (!d.contains(*key)) d.set(Value(*key), std::move(*v));
    } while (eat(','));
    if (!eat('}')) return std::nullopt;
    return Value(std::move(d));
  }
  std::optional<Value> array(int depth) {
    ++pos_;
    platform::Array a;
    if (eat(']')) return Value(std::move(a));
    do {
      auto v = value(depth + 1);
      if (!v) return std::nullopt;
      a.push_back(std::move(*v));
    } while (eat(','));
    if (!eat(']')) return std::nullopt;
    return Value(std::move(a));
  }
  std::optional<std::string> string() {
    if (pos_ >= s_.size() || s_[pos_] != '"') return std::nullopt;
    ++pos_;
    std::string out;
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= s_.size()) return std::nullopt;
      const char e = s_[pos_++];
      switch (e) {
        case '"': case '\\': case '/': out.push_back(e); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          if (pos_ + 4 > s_.size()) return std::nullopt;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const auto h = static_cast<unsigned char>(s_[pos_++]);
            if (!std::isxdigit(h)) return std::nullopt;
            code = code * 16 + static_cast<unsigned>(std::isdigit(h) ? h - '0' : (h | 32) - 'a' + 10);
          }
          if (code >= 0xd800 && code <= 0xdfff) code = 0xfffd;  // lone surrogates are not kept
          if (code < 0x80) {
            out.push_back(static_cast<char>(code));
          } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
          } else {
            out.push_back(static_cast<char>(0xe0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
          }
          break;
        }
        default: return std::nullopt;
      }
    }
    return std::nullopt;
  }
  std::optional<Value> number() {
    const std::size_t start = pos_;
    bool fractional = false;
    while (pos_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '-' ||
                                s_[pos_] == '+' || s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E')) {
      fractional |= s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E';
      ++pos_;
    }
    const std::string text(s_.substr(start, pos_ - start));
    if (text.empty()) return std::nullopt;
    try {
      std::size_t used = 0;
      if (!fractional) {
        const long long v = std::stoll(text, &used);
        if (used == text.size()) return Value(v);
      }
      const double d = std::stod(text, &used);
      if (used == text.size()) return Value(d);
    } catch (...) {
    }
    return std::nullopt;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace

// ------------------------------------------------------------------ creation

std::shared_ptr<TLWCampaignReporter> TLWCampaignReporter::create(Dependencies dependencies) {
  if (!dependencies.monitor) dependencies.monitor = TLWMonitor::sharedInstance();
  if (!dependencies.host || !dependencies.scheduler || !dependencies.persistedConfig) {
    dependencies.monitor->logWithLevel(2, 23230, "Cannot create campaign reporter. A dependency is missing");
    return nullptr;
  }
  return std::make_shared<TLWCampaignReporter>(std::move(dependencies));
}

TLWCampaignReporter::TLWCampaignReporter(Dependencies dependencies) : deps_(std::move(dependencies)) {
  if (!deps_.env) deps_.env = platform::Environment::current();
  if (!deps_.monitor) deps_.monitor = TLWMonitor::sharedInstance();
}

// ------------------------------------------------------------------ class operations

std::string TLWCampaignReporter::deepLinkFromUserActivity(const Value& userActivity, TLWMonitor& monitor) {
  if (userActivity.isNull()) {
    monitor.logWithLevel(7, 23003, "User Activity is empty. User Activity", userActivity);
    return {};
  }
  auto activity = userActivity.objectAs<platform::UserActivity>();
  if (!activity) {
    monitor.logWithLevel(3, 23005, "NSUserActivity is not supported");
    return {};
  }
  if (activity->activityType() != platform::kNSUserActivityTypeBrowsingWeb || activity->webpageURL().empty()) {
    monitor.logWithLevel(3, 23006, "User Activity does not have Deep Link. User Activity", userActivity);
    return {};
  }
  return activity->webpageURL();
}

void TLWCampaignReporter::storeLinkFromLaunchInfo(platform::Environment& env, const Dictionary& userInfo,
                                                  TLWMonitor& monitor) {
  std::string link;
  if (const Dictionary* activities = userInfo.get(platform::kApplicationLaunchOptionsUserActivityDictionaryKey).dictionary()) {
    const Value& activity = activities->get(platform::kApplicationLaunchOptionsUserActivityKey);
    if (!activity.isNull()) link = deepLinkFromUserActivity(activity, monitor);
  }
  if (link.empty()) link = urlString(userInfo.get(platform::kApplicationLaunchOptionsURLKey));
  if (link.empty() || link.size() > kMaxURLLength) return;
  auto prefs = env.preferences()->standard();
  prefs->setObject(kTLWDeepLinkKey, Value(link));
  // Every stored link carries its time; one without would read as expired.
  prefs->setObject(kTLWDeepLinkTimestampKey, Value(env.clock()->now()));
  if (!prefs->synchronize()) monitor.logWithLevel(3, 23231, "Failed to save the launch link");
}

std::string TLWCampaignReporter::stringByUnescapingFromURLArgument(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        return {};
      }
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return isValidUTF8(out) ? out : std::string();
}

std::optional<Dictionary> TLWCampaignReporter::dictionaryWithHttpArgumentsString(std::string_view query) {
  Dictionary out;
  std::size_t pieces = 0;
  std::size_t start = 0;
  while (start <= query.size()) {
    auto end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view piece = query.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    if (++pieces > kMaxQueryPieces) return std::nullopt;
    const auto equals = piece.find('=');
    const std::string key = stringByUnescapingFromURLArgument(piece.substr(0, equals));
    const std::string value =
        equals == std::string_view::npos ? std::string() : stringByUnescapingFromURLArgument(piece.substr(equals + 1));
    if (!out.contains(key)) out.set(Value(key), Value(value));
  }
  return out;
}

bool TLWCampaignReporter::isValidCampaignURLParamDictionary(const Dictionary& parameters) {
  for (const char* key : {"utm_campaign", "vclid", "utm_medium", "utm_source", "vbraid"}) {
    const std::string* v = parameters.get(key).string();
    if (v && !v->empty()) return true;
  }
  return false;
}

std::optional<Dictionary> TLWCampaignReporter::deepLinkInfoFromResponseData(const Value::Data& data,
                                                                            TLWMonitor& monitor) {
  if (data.empty()) {
    monitor.logWithLevel(8, 23201, "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  std::optional<Value> parsed;
  if (data.size() <= kMaxDeferredDeepLinkResponseBytes) {
    parsed = JSONReader(std::string_view(reinterpret_cast<const char*>(data.data()), data.size())).document();
  }
  const Dictionary* object = parsed ? parsed->dictionary() : nullptr;
  if (!object || object->empty()) {
    monitor.logWithLevel(1, 23202, "Failed to parse Deferred Deep Link from JSON. Error",
                         Value(parsed ? "not a non-empty object" : "not JSON"));
    return std::nullopt;
  }
  const std::string* link = object->get("deeplink").string();
  if (!link || link->empty() || link->find(':') == std::string::npos || link->size() > kMaxURLLength) {
    return std::nullopt;
  }
  return *object;
}

// ------------------------------------------------------------------ stored link

bool TLWCampaignReporter::hasStoredDeepLink() {
  const Value link = deps_.env->preferences()->standard()->objectForKey(kTLWDeepLinkKey);
  return link.isString() && !link.string()->empty();
}

void TLWCampaignReporter::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampMillis) {
  auto prefs = deps_.env->preferences()->standard();
  const Value linkValue = prefs->objectForKey(kTLWDeepLinkKey);
  const std::string* link = linkValue.string();
  if (!link || link->empty()) return;
  const double stored = prefs->objectForKey(kTLWDeepLinkTimestampKey).doubleValue().value_or(0);
  const double ttl = deps_.host->remoteConfig()->attributionCacheTTLInterval();
  Dictionary extras;
  std::optional<std::string> url;
  // A stored time that is not a number (a corrupted or app-written preference) has expired.
  if (!std::isfinite(stored) || !(std::fabs(deps_.env->clock()->now() - stored) <= ttl)) {
    extras.set("utm_source", "(not set)");
    extras.set("utm_medium", "(not set)");
    extras.set("_cc", 1);
  } else {
    const auto millis = static_cast<std::int64_t>(std::trunc(stored * 1000.0));
    extras.set("_cc", static_cast<long long>(millis / 3600000 * 3600000 - 3600000));
    url = *link;
  }
  prefs->removeObject(kTLWDeepLinkKey);
  prefs->removeObject(kTLWDeepLinkTimestampKey);
  (void)prefs->synchronize();
  handleOpenURLOnWorkerQueue(url, clickTimestampMillis, stored, extras);
}

void TLWCampaignReporter::dropStoredDeepLinkOlderThan(double maxAgeSeconds) {
  auto prefs = deps_.env->preferences()->standard();
  if (prefs->objectForKey(kTLWDeepLinkKey).isNull()) return;
  const double stored = prefs->objectForKey(kTLWDeepLinkTimestampKey).doubleValue().value_or(0);
  if (std::fabs(deps_.env->clock()->now() - stored) <= maxAgeSeconds) return;
  prefs->removeObject(kTLWDeepLinkKey);
  prefs->removeObject(kTLWDeepLinkTimestampKey);
  (void)prefs->synchronize();
}

// ------------------------------------------------------------------ opened URLs

void TLWCampaignReporter::handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds) {
  if (deps_.scheduler->workerQueue()->isCurrent()) {
    deps_.monitor->logWithLevel(2, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  if (url.empty()) return;
  if (url.size() > kMaxURLLength) {
    deps_.monitor->logWithLevel(3, 23232, "Deep Link URL is too long and is ignored. Length",
                                Value(static_cast<long long>(url.size())));
    return;
  }
  std::weak_ptr<TLWCampaignReporter> weak = weak_from_this();
  deps_.scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:388", [weak, url, eventTimestampInSeconds] {
    if (auto self = weak.lock()) self->handleOpenURLOnWorkerQueue(url, std::nullopt, eventTimestampInSeconds, {});
  });
}

bool TLWCampaignReporter::shouldAllowClickID() {
  const std::string os = deps_.env->device()->osVersion();
  if (std::atoi(os.c_str()) < 14) return true;
  auto identity = deps_.host->identity();
  if (!identity) return false;
  const auto advertisingID = identity->resettableDeviceID();
  if (advertisingID && !advertisingID->empty()) return true;
  return identity->appleConsentStatus() == kTLWAppleConsentStatusAuthorized;
}

void TLWCampaignReporter::handleOpenURLOnWorkerQueue(const std::optional<std::string>& url,
                                                     std::optional<std::int64_t> clickTimestampMillis,
                                                     double eventTimestampInSeconds, const Dictionary& extraParameters) {
  Dictionary params, numbers;
  for (const auto& [key, value] : extraParameters) {
    if (value.isString()) params.set(key, value);
    if (value.isNumber()) numbers.set(key, value);
  }
  if (url) {
    auto arguments = dictionaryWithHttpArgumentsString(queryOf(*url));
    if (!arguments) {
      deps_.monitor->logWithLevel(3, 23252, "Deep Link URL query has too many pieces and is ignored. Limit",
                                  Value(static_cast<long long>(kMaxQueryPieces)));
      return;
    }
    for (const auto& [key, value] : *arguments) params.set(key, value);
  }
  if (params.empty()) {
    deps_.monitor->logWithLevel(7, 23000, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(params)) {
    deps_.monitor->logWithLevel(3, 23001, "Deep Link does not contain valid required params. URL params",
                                Value(params));
    return;
  }
  Dictionary campaign;
  for (const auto& [from, to] : kCampaignMapping) {
    const std::string* v = params.get(from).string();
    if (v && !v->empty()) campaign.set(to, *v);
  }
  for (const auto& [key, value] : numbers) campaign.set(key, value);
  // After the number extras, so that a numeric click ID meets the gate too.
  if (!shouldAllowClickID()) campaign.erase("vclid");
  if (clickTimestampMillis) campaign.set("click_timestamp", static_cast<long long>(*clickTimestampMillis));

  const double firstOpen = static_cast<double>(deps_.persistedConfig->firstOpenTimestampMilliseconds()) / 1000.0;
  const double time = std::max(firstOpen, eventTimestampInSeconds);
  if (const std::string* vbraid = campaign.get("vbraid").string(); vbraid && !vbraid->empty()) {
    if (auto attribute = TLWUserAttribute::initWithOrigin("auto", "_vbraid", TLWValue::initWithString(*vbraid), time)) {
      deps_.host->setUserPropertyInDatabaseOnWorkerQueue(std::move(attribute));
    }
  }
  const bool expired = campaign.get("_cc").int64Value() == 1;
  if (auto event = TLWEvent::initWithOrigin("auto", false, expired ? "_cmpx" : "_cmp", time, 0, campaign)) {
    // The internal-event path tells the listeners; telling them here too would repeat it.
    deps_.host->handleInternalEventOnWorkerQueue(std::move(event));
  }
}

// ------------------------------------------------------------------ deferred deep link

bool TLWCampaignReporter::shouldAllowRequestDeferredDeepLink() {
  auto config = deps_.host->remoteConfig();
  if (!config->isDeferredDeepLinkEnabled()) {
    deps_.monitor->logWithLevel(5, 23193, "Deferred Deep Link feature disabled");
    return false;
  }
  auto bundle = deps_.env->mainBundle();
  const Value flag = bundle ? bundle->objectForInfoDictionaryKey("VORLIX_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED") : Value();
  if (!flag.isBool() || !*flag.boolValue()) return false;
  if (!deps_.persistedConfig->deferredDeepLinkRetrievalComplete().isNull()) {
    deps_.monitor->logWithLevel(7, 23194, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  if (deps_.persistedConfig->deferredDeepLinkRetryCount() >= config->maxDeferredDeepLinkRetryCount()) {
    deps_.monitor->logWithLevel(3, 23195, "Failed to retrieve Deferred Deep Link. Reached retry limit");
    deps_.persistedConfig->setDeferredDeepLinkRetrievalComplete(Value(1));
    return false;
  }
  auto identity = deps_.host->identity();
  if (!identity || !identity->hasLimitedAdTracking() || identity->limitedAdTracking()) {
    deps_.monitor->logWithLevel(3, 23196, "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
    return false;
  }
  deps_.monitor->logWithLevel(7, 23197, "Deferred Deep Link feature enabled");
  return true;
}

void TLWCampaignReporter::requestDeferredDeepLink() {
  auto network = deps_.host->network();
  auto identity = deps_.host->identity();
  std::string base = deps_.env->processInfo()->environmentVariable(kTLWAdsServiceURLEnvironmentVariable)
                         .value_or(kDefaultAdsServiceURL);
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string advertisingID = identity ? identity->resettableDeviceID().value_or("") : "";
  std::string url = base + "/pagead/conversion/app/deeplink?sdk_version=" + std::to_string(kLibraryNumericVersion) +
                    "&rdid=" + advertisingID + "&id_type=idfa&bundleid=" + (identity ? identity->appID() : "") +
                    "&retry=" + std::to_string(deps_.persistedConfig->deferredDeepLinkRetryCount());
  const bool storeBuild = identity && identity->isFromAppStore();
  if (!storeBuild) {
    const auto arguments = deps_.env->processInfo()->arguments();
    if (std::find(arguments.begin(), arguments.end(), "-DebugDeferredDeepLink") != arguments.end()) url += "&ddl_test=1";
  }
  if (!network || base.find("://") == std::string::npos || url.find_first_of(" \n\r\t") != std::string::npos) {
    deps_.monitor->logWithLevel(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  deps_.host->setNetworkRequestPending(true);
  network->setTimeoutInterval(deps_.host->remoteConfig()->networkTimeout());
  std::weak_ptr<TLWCampaignReporter> weak = weak_from_this();
  network->getURL(url, {}, deps_.scheduler->workerQueue(), deps_.host->shouldUseBackgroundSession(),
                  [weak](const platform::VXLHTTPResponse& response, const Value::Data& data,
                         const std::optional<platform::VXLNetworkError>& error) {
                    if (auto self = weak.lock()) {
                      self->handleDeferredDeepLinkResponse(response.statusCode, data, error.has_value(),
                                                           error ? error->description : std::string());
                    }
                  });
}

void TLWCampaignReporter::handleDeferredDeepLinkResponse(long statusCode, const Value::Data& data, bool failed,
                                                         const std::string& errorText) {
  deps_.host->setNetworkRequestPending(false);
  const bool success = !failed && (statusCode == 200 || statusCode == 304 || statusCode == 204);
  if (!success) {
    deps_.monitor->logWithLevel(1, 23199, "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
                                Value(static_cast<long long>(statusCode)), Value(errorText));
    deps_.persistedConfig->setDeferredDeepLinkRetryCount(deps_.persistedConfig->deferredDeepLinkRetryCount() + 1);
    deps_.host->updateSchedule();
    return;
  }
  deps_.persistedConfig->setDeferredDeepLinkRetrievalComplete(Value(0));
  auto info = data.empty() && statusCode == 204 ? std::nullopt : deepLinkInfoFromResponseData(data, *deps_.monitor);
  if (!info) {
    deps_.host->updateSchedule();
    return;
  }
  deps_.monitor->logWithLevel(7, 23200, "Successfully retrieved Deferred Deep Link");
  handleDeferredDeepLinkInfo(*info);
}

void TLWCampaignReporter::handleDeferredDeepLinkInfo(const Dictionary& info) {
  const std::string* link = info.get("deeplink").string();
  if (!link || link->empty()) return;
  Dictionary extras{{"cis", "ddp"}};
  for (const char* key : {"vclid", "vbraid"}) {
    if (const Value* v = info.find(key)) extras.set(key, *v);
  }
  Dictionary extraInfo;
  if (const Value* timestamp = info.find("timestamp")) extraInfo.set("timestamp", *timestamp);
  deps_.monitor->logWithLevel(8, 23203, "Sending Deferred Deep Link to app delegate");
  const double noted = deps_.env->clock()->now();
  std::weak_ptr<TLWCampaignReporter> weak = weak_from_this();
  platform::DispatchQueue::main()->async([weak, url = *link, extras, extraInfo, noted] {
    auto self = weak.lock();
    if (!self || !self->sendDeepLinkURLToAppDelegateOnMainThread(url, extraInfo)) return;
    self->deps_.scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:310", [weak, url, extras, noted] {
      if (auto reporter = weak.lock()) reporter->handleOpenURLOnWorkerQueue(url, std::nullopt, noted, extras);
    });
  });
}

bool TLWCampaignReporter::sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                                  const Dictionary& extraInfo) {
  // Straight to the app's own delegate: through the proxy the library's interceptor would
  // report the link a second time, without its origin.
  auto application = deps_.env->application();
  auto delegate = application ? application->delegate() : nullptr;
  if (delegate && delegate->respondsToSelector(platform::kSelOpenURLOptions)) {
    (void)delegate->application(*application, Value::url(url), extraInfo);
    return true;
  }
  if (delegate && delegate->respondsToSelector(platform::kSelOpenURLSourceApplication)) {
    (void)delegate->application(*application, Value::url(url), std::string(), Value(extraInfo));
    return true;
  }
  deps_.monitor->logWithLevel(3, 23204, "App delegate not configured to handle Deferred Deep Link", Value(url));
  return false;
}
