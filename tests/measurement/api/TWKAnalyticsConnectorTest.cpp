// The component connector over the front controller with a recording engine: the fences,
// what a sibling's events and properties look like when they reach the engine, listeners
// (also registered and removed while events flow, for the tsan preset) and the bounded
// wait of maxUserProperties.

#include <thread>

#include "measurement/api/TWKAnalyticsConnector.h"
#include "measurement/api/TWKConnectorUtils.h"
#include "measurement/properties/TLWConditionalUserPropertyController.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/core/TWKApp.h"
#include "tests/measurement/api/TLWAnalyticsTestSupport.h"

namespace tlw_api_test {
namespace {

using platform::Dictionary;
using platform::Value;

class RecordingListener : public platform::TWKAnalyticsInteropListener {
 public:
  void messageTriggered(const std::string& name, const Dictionary& parameters) override {
    std::lock_guard lock(mutex);
    names.push_back(name + (parameters.contains("n") ? "/" + parameters.get("n").description() : ""));
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return std::exchange(names, {});
  }
  std::mutex mutex;
  std::vector<std::string> names;
};

class ConnectorTest : public FrontControllerTest {
 protected:
  void SetUp() override {
    FrontControllerTest::SetUp();
    start();
    drain();
  }
  void deliver(const std::string& origin, const std::string& name) {
    backend->sink()(TLWEvent::initWithOrigin(origin, false, name, 1700000000.0, 0,
                                             Dictionary{{"n", std::int64_t{7}}, {"d", 0.5}}));
  }
  // Runs what the connector queued for the main queue.
  static void settle() {
    drain();
    ASSERT_TRUE(TWKAnalyticsConnector::queue()->sync([] {}));
    platform::MainRunLoop::drainMain();
  }
  std::shared_ptr<TWKAnalyticsConnector> connector = TWKAnalyticsConnector::create(std::chrono::milliseconds(200));
};

TEST_F(ConnectorTest, SiblingEventsAndPropertiesPassTheFencesWithTheirOrigin) {
  connector->logEventWithOrigin("orxa", "notification_open", {{"id", 7}});
  connector->logEventWithOrigin("wkb", "_cmp", {{"source", "mail"}});
  connector->logEventWithOrigin("dvr", "_ae", {});
  for (const char* origin : {"app", "auto", "qd"}) connector->logEventWithOrigin(origin, "ad_click", {});
  connector->logEventWithOrigin("orxa", "_e", {});
  connector->logEventWithOrigin("orxa", "_s", {});
  connector->logEventWithOrigin("orxa", "promo", {{"_dbg", 1}});
  connector->logEventWithOrigin("orxa", "", {});

  connector->setUserPropertyWithOrigin("nlv", "_ln", "msg-1");
  connector->setUserPropertyWithOrigin("tsq", "_ln", "msg-2");
  connector->setUserPropertyWithOrigin("orxa", "_ltv_usd", "lower case is not lifetime value");
  for (const char* name : {"_ltv_USD", "_cc3", "_fot", "_id", ""}) connector->setUserPropertyWithOrigin("orxa", name, "x");
  connector->setUserPropertyWithOrigin("qd", "ad_tier", "gold");
  connector->setUserPropertyWithOrigin("app", "ad_tier", "gold");
  drain();

  std::vector<std::string> events;
  for (const auto& e : backend->eventsCopy()) {
    events.push_back(e.origin + ":" + e.name + ":" + e.parameterDictionary().get("_cis").stringOr() + ":" +
                     std::to_string(e.parameterDictionary().get("_r").int64Value().value_or(0)));
  }
  EXPECT_EQ(events, (std::vector<std::string>{"orxa:notification_open::0", "wkb:_cmp:wkb_integration:0",
                                               "dvr:_ae::1"}));
  std::vector<std::string> properties;
  for (const auto& a : backend->attributesCopy()) properties.push_back(a.origin + ":" + a.name);
  EXPECT_EQ(properties, (std::vector<std::string>{"nlv:_ln", "orxa:_ltv_usd"}));
}

TEST_F(ConnectorTest, ListenersSeeTheirOriginAndAppEventsButNeverHiddenOnes) {
  auto orxa = std::make_shared<RecordingListener>();
  auto crash = std::make_shared<RecordingListener>();
  connector->registerAnalyticsListener(orxa, "orxa");
  connector->registerAnalyticsListener(crash, "crash");
  connector->registerAnalyticsListener(std::make_shared<RecordingListener>(), "tsq");  // not allowed to listen
  drain();
  deliver("orxa", "notification_open");
  deliver("app", "level_up");
  deliver("app+lmn", "forwarded");
  deliver("tsq", "other_sibling");
  deliver("orxa", "_ug");
  deliver("app", "_xa");
  settle();
  EXPECT_EQ(orxa->take(), (std::vector<std::string>{"notification_open/7", "level_up/7", "forwarded/7"}));
  EXPECT_EQ(crash->take(), (std::vector<std::string>{"level_up/7", "forwarded/7"}));

  connector->unregisterAnalyticsListenerWithOrigin("orxa");
  connector->unregisterAnalyticsListenerWithOrigin("crash");
  drain();
  deliver("app", "level_up");
  settle();
  EXPECT_TRUE(orxa->take().empty());
}

TEST_F(ConnectorTest, RegistrationRacesWithEventsWithoutLosingOrCorrupting) {
  auto listener = std::make_shared<RecordingListener>();
  std::atomic<bool> stop{false};
  std::thread events([&] {
    for (int i = 0; i < 2000 && !stop; ++i) deliver("app", "tick");
  });
  std::vector<std::thread> registrars;
  for (const char* origin : {"orxa", "crash", "dvr"}) {
    registrars.emplace_back([&, origin] {
      for (int i = 0; i < 200; ++i) {
        connector->registerAnalyticsListener(listener, origin);
        connector->logEventWithOrigin(origin, "sibling_event", {});
        if (i % 2 == 0) connector->unregisterAnalyticsListenerWithOrigin(origin);
      }
    });
  }
  for (auto& t : registrars) t.join();
  stop = true;
  events.join();
  settle();
  std::size_t siblingEvents = 0;
  for (const auto& e : backend->eventsCopy()) siblingEvents += e.name == "sibling_event";
  EXPECT_EQ(siblingEvents, 600u);
  // Each origin ended registered (the last iteration registers without removing).
  listener->take();
  deliver("app", "after");
  settle();
  EXPECT_EQ(listener->take(), (std::vector<std::string>(3, "after/7")));
}

// A backend whose engine has a real conditional user property controller over a database.
class PropertiesBackend : public RecordingBackend {
 public:
  std::shared_ptr<TLWConditionalUserPropertyController> conditionalUserProperties() override { return controller; }
  std::shared_ptr<TLWConditionalUserPropertyController> controller = TLWConditionalUserPropertyController::create();
};

TEST_F(ConnectorTest, ConditionalUserPropertiesPassTheSameFences) {
  auto properties = std::make_shared<PropertiesBackend>();
  TLWAnalyticsSetUpProcessState(properties, env);
  start();
  drain();
  TLWError error;
  auto persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                         TLWUserDefaults::initWithSuiteName("", env), nullptr);
  std::shared_ptr<TLWDatabase> database(TLWDatabase::initWithDatabaseName("connector.sql", persisted, &error, env));
  ASSERT_TRUE(database) << error.description();
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("connector-test-worker");
  ASSERT_TRUE(properties->controller->attach({database, scheduler, nullptr, nullptr, env, nullptr}));

  auto request = [](const std::string& origin, const std::string& name, Dictionary extra = {}) {
    Dictionary d{{"origin", origin}, {"name", name}, {"value", "x"}, {"triggerTimeout", 60}, {"timeToLive", 3600}};
    for (const auto& [k, v] : extra) d.set(k, v);
    return d;
  };
  connector->setConditionalUserProperty(request("orxa", "tier"));
  connector->setConditionalUserProperty(request("orxa", "_id"));       // the user ID
  connector->setConditionalUserProperty(request("orxa", "_ltv_USD"));  // the lifetime value
  connector->setConditionalUserProperty(request("app", "plain"));      // not a sibling's origin
  connector->setConditionalUserProperty(
      request("orxa", "hidden", {{"triggeredEvent", Dictionary{{"name", "_s"}, {"origin", "orxa"}}}}));
  ASSERT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("test", [] {}));
  std::vector<std::string> names;
  for (const auto& p : connector->conditionalUserProperties("", "")) {
    if (const auto* d = p.dictionary()) names.push_back(d->get("name").stringOr());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"tier"}));
  connector->clearConditionalUserProperty("tier", "app", "", {});  // refused: the app's origin
  ASSERT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("test", [] {}));
  EXPECT_EQ(connector->conditionalUserProperties("", "").size(), 1u);
  EXPECT_EQ(connector->conditionalUserProperties("orxa", "ti").size(), 1u);
  EXPECT_TRUE(connector->conditionalUserProperties("", "x").empty()) << "listed by name prefix";
  connector->clearConditionalUserProperty("tier", "orxa", "", {});
  ASSERT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("test", [] {}));
  EXPECT_TRUE(connector->conditionalUserProperties("", "").empty()) << "cleared through the connector";
}

class LateBackend : public RecordingBackend {
 public:
  void maxUserPropertiesForOrigin(const std::string&, MaxUserPropertiesCallback callback) override {
    std::lock_guard lock(mutex);
    pending.push_back(std::move(callback));
  }
  std::vector<MaxUserPropertiesCallback> pending;
};

TEST_F(ConnectorTest, MaxUserPropertiesAnswersOrGivesUpAfterTheBoundedWait) {
  EXPECT_EQ(connector->maxUserProperties("orxa"), 25);

  auto late = std::make_shared<LateBackend>();
  TLWAnalyticsSetUpProcessState(late, env);
  start();
  drain();
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(connector->maxUserProperties("orxa"), 0);
  const auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(5));
  drain();
  std::vector<TLWAnalyticsBackend::MaxUserPropertiesCallback> pending;
  {
    std::lock_guard lock(late->mutex);
    pending = late->pending;
  }
  ASSERT_EQ(pending.size(), 1u);
  pending[0](25);  // the answer after the caller gave up must be harmless (asan)
  ASSERT_TRUE(TWKAnalyticsConnector::queue()->sync([] {}));

  // An empty origin is refused at once: nothing would ever answer, so there is no wait.
  auto patient = TWKAnalyticsConnector::create(std::chrono::hours(1));
  EXPECT_EQ(patient->maxUserProperties(""), 0);
}

TEST(ConnectorRegistration, TheCoreOffersTheConnectorToSiblings) {
  TWKAnalyticsConnector::load();
  EXPECT_NE(platform::TWKApp::registeredLibrariesDescription().find("mosk-analytics/8.9.1"), std::string::npos);
  auto components = TWKAnalyticsConnector::componentsToRegister();
  ASSERT_EQ(components.size(), 1u);
  EXPECT_EQ(components[0]->protocol(), "TWKAnalyticsInterop");
}

}  // namespace
}  // namespace tlw_api_test
