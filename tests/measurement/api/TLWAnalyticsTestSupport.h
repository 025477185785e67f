#pragma once
// A backend that records what the front controller hands the engine, with consent and
// identity kept in memory, and a fixture that gives each test fresh front-controller state
// over a test environment.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TLWAnalyticsBackend.h"
#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"

namespace tlw_api_test {

class RecordingBackend : public TLWAnalyticsBackend {
 public:
  struct AttributeCall {
    bool set;
    std::string origin;
    std::string name;
    TLWValue value;
  };

  void initializeEngine(const std::string& appID, bool enabled, bool deactivated,
                        const std::optional<std::vector<std::string>>& safelist, EventSink sink) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++initializeCount;
    initAppID = appID;
    initEnabled = enabled;
    initDeactivated = deactivated;
    initSafelist = safelist;
    listenerSink = std::move(sink);
    engine = true;
    engineEnabled = enabled && !deactivated;
  }
  bool hasEngine() override {
    std::lock_guard<std::mutex> lock(mutex);
    return engine;
  }
  bool wasEnabledDuringInitialization() override {
    std::lock_guard<std::mutex> lock(mutex);
    return engineEnabled;
  }
  bool didInitializeComponents() override {
    std::lock_guard<std::mutex> lock(mutex);
    return engine;
  }
  void setEnabled(bool enabled) override {
    std::lock_guard<std::mutex> lock(mutex);
    engineEnabled = enabled;
    enableCalls.push_back(enabled);
  }
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& id) override {
    std::lock_guard<std::mutex> lock(mutex);
    resetIDs.push_back(id);
    return resetSucceeds;
  }
  void logEvent(TLWEngineEventRequest request) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(request));
  }
  void setDefaultEventParameters(const std::optional<platform::Dictionary>& p) override {
    std::lock_guard<std::mutex> lock(mutex);
    defaults.push_back(p);
  }
  void setSessionTimeoutInterval(double seconds) override {
    std::lock_guard<std::mutex> lock(mutex);
    sessionTimeout = seconds;
  }
  std::optional<std::int64_t> shouldDisableAdPersonalization() override { return npa; }
  void setUserAttribute(std::shared_ptr<TLWUserAttribute> a) override {
    std::lock_guard<std::mutex> lock(mutex);
    attributes.push_back({true, a->origin(), a->name(), a->value()});
  }
  void removeUserAttribute(std::shared_ptr<TLWUserAttribute> a) override {
    std::lock_guard<std::mutex> lock(mutex);
    attributes.push_back({false, a->origin(), a->name(), a->value()});
  }
  void userPropertiesIncludingInternal(bool, UserPropertiesCallback callback) override {
    callback(platform::Dictionary{{"hero", "mage"}});
  }
  void maxUserPropertiesForOrigin(const std::string&, MaxUserPropertiesCallback callback) override { callback(25); }

  void setMeasurementEnabledState(std::int64_t state) override {
    std::lock_guard<std::mutex> lock(mutex);
    persistedEnabledStates.push_back(state);
  }
  void setAllowPersonalizedAds(const platform::Value& value) override {
    std::lock_guard<std::mutex> lock(mutex);
    allowPersonalizedAds.push_back(value);
  }
  bool lastAdvertisingIDResetFeatureEnabled() override { return lairFlag; }

  // Consent lives in a state of its own, as the engine's would.
  std::int64_t consentSource() override { return consent->consentSource(); }
  void setConsentSource(std::int64_t s) override { consent->setConsentSource(s); }
  std::optional<platform::Dictionary> consentSettings() override { return consent->consentSettings(); }
  void setConsentSettings(std::optional<platform::Dictionary> s) override { consent->setConsentSettings(std::move(s)); }
  void updateSettings(const platform::Dictionary& s) override { consent->updateSettings(s); }
  bool isConsentSourceHigherPriority(std::int64_t s) override { return consent->isConsentSourceHigherPriority(s); }
  bool isAnalyticsStorageDenied() override { return consent->isAnalyticsStorageDenied(); }
  std::shared_ptr<TLWConsentSettingsUtil> consentState() override { return consent; }

  std::string appIDFromZEL() override {
    std::lock_guard<std::mutex> lock(mutex);
    return zelAppID;
  }
  void setAppIDFromZEL(const std::string& id) override {
    std::lock_guard<std::mutex> lock(mutex);
    zelAppID = id;
  }
  std::string appIDFromQuado() override { return {}; }
  void setAppIDFromQuado(const std::string&) override {}
  std::string randomAppInstanceID() override {
    std::lock_guard<std::mutex> lock(mutex);
    return "ID" + std::to_string(++idCounter);
  }
  std::string appInstanceID() override { return "stored-id"; }
  void setTarnwickInstallationID(const std::optional<std::string>& id) override {
    std::lock_guard<std::mutex> lock(mutex);
    installationIDs.push_back(id);
  }
  void setIdentifiersOrigin(const std::string& origin) override {
    std::lock_guard<std::mutex> lock(mutex);
    identifiersOrigin = origin;
  }
  platform::Dictionary screenParameters() override { return screen; }
  void trackScreenWithParameters(const platform::Dictionary& p, double) override {
    std::lock_guard<std::mutex> lock(mutex);
    trackedScreens.push_back(p);
  }

  std::vector<TLWEngineEventRequest> eventsCopy() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::vector<AttributeCall> attributesCopy() {
    std::lock_guard<std::mutex> lock(mutex);
    return attributes;
  }
  EventSink sink() {
    std::lock_guard<std::mutex> lock(mutex);
    return listenerSink;
  }

  std::mutex mutex;
  int initializeCount = 0;
  std::string initAppID;
  bool initEnabled = false;
  bool initDeactivated = false;
  std::optional<std::vector<std::string>> initSafelist;
  EventSink listenerSink;
  bool engine = false;
  bool engineEnabled = false;
  std::vector<bool> enableCalls;
  std::vector<std::optional<std::string>> resetIDs;
  std::atomic<bool> resetSucceeds{true};
  std::vector<TLWEngineEventRequest> events;
  std::vector<std::optional<platform::Dictionary>> defaults;
  double sessionTimeout = 0;
  std::optional<std::int64_t> npa;
  std::vector<AttributeCall> attributes;
  std::vector<std::int64_t> persistedEnabledStates;
  std::vector<platform::Value> allowPersonalizedAds;
  bool lairFlag = false;
  std::shared_ptr<TLWConsentSettingsUtil> consent = TLWConsentSettingsUtil::create();
  std::string zelAppID;
  int idCounter = 0;
  std::vector<std::optional<std::string>> installationIDs;
  std::string identifiersOrigin;
  platform::Dictionary screen;
  std::vector<platform::Dictionary> trackedScreens;
};

// A wall clock that moves one millisecond every time it is read.
class TickingClock : public platform::Clock {
 public:
  explicit TickingClock(double start) : start_(start) {}
  double now() override { return start_ + 0.001 * static_cast<double>(ticks_.fetch_add(1) + 1); }
  double monotonic() override { return now(); }
  double secondsSinceBoot() override { return 1000; }
  double bootTime() override { return start_ - 1000; }
  double peek() const { return start_ + 0.001 * static_cast<double>(ticks_.load()); }

 private:
  const double start_;
  std::atomic<long long> ticks_{0};
};

class FrontControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = platform::testing::TestEnvironment::create();
    ASSERT_TRUE(env);
    current = std::make_unique<platform::testing::ScopedCurrentEnvironment>(env);
    backend = std::make_shared<RecordingBackend>();
    TLWAnalyticsSetUpProcessState(backend, env);
  }
  void TearDown() override {
    // Later tests get state of their own; wait for what this one queued.
    (void)TLWAnalytics::queue()->sync([] {});
    current.reset();
  }

  // Options that start collection with the monitor tag set.
  static platform::Value startOptions(platform::Dictionary extra = {}) {
    platform::Dictionary options{{"tally_wise_log_tag", "[test]"}};
    for (const auto& [k, v] : extra) options.set(k, v);
    return platform::Value(options);
  }

  void start(platform::Dictionary extra = {}) { TLWAnalytics::startWithAppID("1:1:ios:1", "tq", startOptions(extra)); }

  // Everything gated so far has run on the serial queue.
  static void drain() {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    TLWAnalytics::queueOperationWithBlock([done] { done->set_value(); });
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    // Blocks queued on the serial queue by those blocks.
    ASSERT_TRUE(TLWAnalytics::queue()->sync([] {}));
  }

  static bool logged(const platform::testing::LogCapture& capture, std::int64_t code) {
    TLWMonitor::sharedInstance()->flush();
    char buf[32];
    std::snprintf(buf, sizeof buf, "I-ACS%06lld", static_cast<long long>(code));
    return capture.contains(buf);
  }
  static std::size_t loggedCount(const platform::testing::LogCapture& capture, std::int64_t code) {
    TLWMonitor::sharedInstance()->flush();
    char buf[32];
    std::snprintf(buf, sizeof buf, "I-ACS%06lld", static_cast<long long>(code));
    return capture.withCode(buf).size();
  }

  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::unique_ptr<platform::testing::ScopedCurrentEnvironment> current;
  std::shared_ptr<RecordingBackend> backend;
};

inline std::int64_t errorCodeOf(const TLWEngineEventRequest& e) {
  const platform::Value& v = e.parameterDictionary().get("_err");
  if (const TLWValue* t = TLWValueFromObject(v)) return t->int64Value();
  return v.int64Value().value_or(-1);
}

}  // namespace tlw_api_test
