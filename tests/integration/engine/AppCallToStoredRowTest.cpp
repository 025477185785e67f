// The whole road of an app's call: the public interface, the front controller and the
// real engine, wired as the product wires them, writing into a real measurement database
// in a test sandbox. The engine is created once per process, so the road is one scenario:
// events held before start-up, then properties, consent and events after it, then a
// refused name.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "measurement/api/TWKAnalytics.h"
#include "measurement/engine/TLWEventBacklog.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWSqliteStore.h"
#include "platform/PropertyList.h"
#include "platform/app/Application.h"
#include "platform/app/NotificationCenter.h"
#include "platform/app/Bundle.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKOptions.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/measurement/api/TLWAnalyticsTestSupport.h"
#include "tests/measurement/engine/EngineTestSupport.h"

namespace {

using platform::Dictionary;
using platform::Value;

constexpr const char* kAppID = "1:1234567890:ios:0a1b2c3d4e5f";
constexpr double kLaunchTime = 1'800'000'000.0;

struct StoredParam {
  std::optional<std::string> string;
  std::optional<std::int64_t> integer;
  std::optional<double> real;
};

struct StoredEvent {
  std::int64_t rowID = 0;
  std::string name;
  double timestamp = 0;
  std::int64_t fingerprint = 0;
  std::int64_t protoMillis = 0;
  std::map<std::string, StoredParam> params;

  std::optional<std::string> string(const std::string& key) const {
    auto it = params.find(key);
    return it == params.end() ? std::nullopt : it->second.string;
  }
  std::optional<std::int64_t> integer(const std::string& key) const {
    auto it = params.find(key);
    return it == params.end() ? std::nullopt : it->second.integer;
  }
};

// The library of this process, started through the product wiring over a test sandbox.
class Library {
 public:
  Library() {
    env = platform::testing::TestEnvironment::create("com.vorlix.skyforge");
    clock = std::make_shared<tlw_api_test::TickingClock>(kLaunchTime);
    env->setClock(clock);
    // No network client: nothing is bundled or uploaded, so every raw row stays to be read.
    env->setNetworkClientFactory([](const std::string&) { return std::shared_ptr<platform::VXLNetwork>(); });
    const std::string bundleDir = env->root() + "/Skyforge.app";
    EXPECT_TRUE(env->fileSystem()->createDirectories(bundleDir));
    env->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundleDir);
    Dictionary info{{"CFBundleIdentifier", "com.vorlix.skyforge"},
                    {"CFBundleShortVersionString", "3.2"},
                    {"CFBundleVersion", "3.2"}};
    auto bytes = platform::PropertyList::dataWithPropertyList(Value(info), platform::PropertyListFormat::XML);
    EXPECT_TRUE(bytes && env->fileSystem()->writeFileAtomically(bundleDir + "/Info.plist", *bytes));
    platform::Environment::setCurrent(env);
    EXPECT_TRUE(platform::TWKApp::configureWithOptions(platform::TWKOptions(kAppID), env));
  }

  // Everything queued so far, and what it queued in turn, has run: the start gate, the
  // front controller's queue and the engine's worker queue, a few rounds deep.
  void drain() {
    for (int round = 0; round < 3; ++round) {
      auto done = std::make_shared<std::promise<void>>();
      auto future = done->get_future();
      TLWAnalytics::queueOperationWithBlock([done] { done->set_value(); });
      ASSERT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
      ASSERT_TRUE(TLWAnalytics::queue()->sync([] {}));
      if (auto engine = TLWMeasurement::hasSharedInstance() ? TLWMeasurement::sharedInstance() : nullptr) {
        ASSERT_TRUE(engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test:drain", [] {}));
      }
    }
  }

  template <class F>
  void onWorker(F&& block) {
    auto engine = TLWMeasurement::sharedInstance();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test:read", [&] {
      TLWDatabase* db = engine->database();
      ASSERT_NE(db, nullptr) << "the engine's components are up";
      block(*db);
    }));
  }

  // The raw-event rows (those `where` selects), parameters decoded from the stored message.
  std::vector<StoredEvent> storedEvents(const std::string& where = "") {
    std::vector<StoredEvent> out;
    onWorker([&](TLWDatabase& db) {
      TLWError error;
      auto rows = db.sqliteStore()->recordsForQuery(
          "SELECT rowid, name, timestamp, metadata_fingerprint, data FROM raw_events " + where + " ORDER BY rowid", {},
          &error);
      ASSERT_TRUE(rows) << error.description();
      for (const auto& row : *rows) {
        StoredEvent e;
        e.rowID = row.get("rowid").int64Value().value_or(-1);
        e.name = row.get("name").stringOr();
        e.timestamp = row.get("timestamp").doubleValue().value_or(0);
        e.fingerprint = row.get("metadata_fingerprint").int64Value().value_or(0);
        const auto* bytes = row.get("data").dataBytes();
        ASSERT_TRUE(bytes) << e.name;
        auto message = TLWPBEvent::initWithBuffer(std::span<const std::uint8_t>(*bytes));
        ASSERT_TRUE(message) << e.name;
        e.protoMillis = message->GetInt64(TLWPBEvent::kTimestamp);
        for (const auto& p : message->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
          StoredParam sp;
          if (p->HasField(TLWPBEventParam::kStringValue)) sp.string = p->GetString(TLWPBEventParam::kStringValue);
          if (p->HasField(TLWPBEventParam::kIntValue)) sp.integer = p->GetInt64(TLWPBEventParam::kIntValue);
          if (p->HasField(TLWPBEventParam::kDoubleValue)) sp.real = p->GetDouble(TLWPBEventParam::kDoubleValue);
          e.params[p->GetString(TLWPBEventParam::kName).value_or("")] = sp;
        }
        out.push_back(std::move(e));
      }
    });
    return out;
  }

  std::shared_ptr<TLWPBMeasurementBundle> metadata(std::int64_t fingerprint) {
    std::shared_ptr<TLWPBMeasurementBundle> found;
    onWorker([&](TLWDatabase& db) {
      TLWError error;
      auto rows = db.sqliteStore()->recordsForQuery(
          "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?",
          {Value(static_cast<long long>(fingerprint))}, &error);
      ASSERT_TRUE(rows && rows->size() == 1u) << fingerprint;
      const auto* bytes = rows->front().get("metadata").dataBytes();
      ASSERT_TRUE(bytes);
      found = TLWPBMeasurementBundle::initWithBuffer(std::span<const std::uint8_t>(*bytes));
    });
    return found;
  }

  std::shared_ptr<TLWUserAttribute> property(const std::string& name) {
    std::shared_ptr<TLWUserAttribute> found;
    onWorker([&](TLWDatabase& db) {
      TLWError error;
      found = db.userAttributeWithName(name, &error);
    });
    return found;
  }

  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::shared_ptr<tlw_api_test::TickingClock> clock;
};

std::vector<StoredEvent> named(const std::vector<StoredEvent>& events, const std::string& name) {
  std::vector<StoredEvent> out;
  for (const auto& e : events) {
    if (e.name == name) out.push_back(e);
  }
  return out;
}

std::map<std::string, std::string> stringAttributes(const TLWPBMeasurementBundle& bundle) {
  std::map<std::string, std::string> out;
  for (const auto& ua : bundle.GetRepeated<TLWPBUserAttribute>(TLWPBMeasurementBundle::kUserAttributes)) {
    out[ua->GetString(TLWPBUserAttribute::kName).value_or("")] = ua->GetString(TLWPBUserAttribute::kStringValue).value_or("");
  }
  return out;
}

}  // namespace

TEST(AppCallToStoredRow, PublicCallsBecomeStoredRowsThroughTheRealEngine) {
  // The engine outlives the test (it lives until the process ends), and so must its sandbox.
  static auto* library = new Library();
  Library& lib = *library;

  // (a) Events from several threads before start-up: held, then stored once each, in gate
  // order, with the time they were logged.
  constexpr int kThreads = 4;
  constexpr int kPerThread = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) TWKAnalytics::logEventWithName("level_up", Dictionary{{"thread", t}, {"seq", i}});
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(TLWAnalytics::queue()->sync([] {}));
  EXPECT_FALSE(TLWMeasurement::hasSharedInstance()) << "no engine before start-up";

  const double beforeStart = lib.clock->peek();
  TWKAnalytics::startWithConfiguration(Value(), platform::TWKOptions(kAppID));
  lib.drain();
  ASSERT_TRUE(TLWMeasurement::hasSharedInstance());
  ASSERT_TRUE(TLWMeasurement::sharedInstance()->didInitializeComponents());

  auto all = lib.storedEvents();
  auto held = named(all, "level_up");
  ASSERT_EQ(held.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::set<std::pair<std::int64_t, std::int64_t>> seen;
  std::map<std::int64_t, std::int64_t> lastSeq;
  double previous = 0;
  for (const auto& e : held) {
    EXPECT_EQ(e.string("_o"), "app");
    EXPECT_GT(e.timestamp, previous) << "row " << e.rowID << ": time stamps rise in gate order";
    EXPECT_LE(e.timestamp, beforeStart) << "row " << e.rowID << ": the time of logging, not of start-up";
    EXPECT_GE(e.timestamp, kLaunchTime);
    EXPECT_EQ(e.protoMillis, static_cast<std::int64_t>(e.timestamp * 1000));
    previous = e.timestamp;
    auto thread = e.integer("thread");
    auto seq = e.integer("seq");
    ASSERT_TRUE(thread && seq) << "row " << e.rowID;
    EXPECT_TRUE(seen.insert({*thread, *seq}).second) << "stored twice: " << *thread << "/" << *seq;
    auto it = lastSeq.find(*thread);
    if (it != lastSeq.end()) {
      EXPECT_EQ(*seq, it->second + 1) << "each thread's events stay in its order";
    }
    lastSeq[*thread] = *seq;
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(named(all, "_f").size(), 1u) << "first open of a new install";

  auto launchMetadata = lib.metadata(held.front().fingerprint);
  ASSERT_TRUE(launchMetadata);
  const std::string launchInstanceID =
      launchMetadata->GetString(TLWPBMeasurementBundle::kAppInstanceId).value_or("");
  EXPECT_FALSE(launchInstanceID.empty());
  const std::string launchSignals = launchMetadata->GetString(TLWPBMeasurementBundle::kConsentSignals).value_or("");
  EXPECT_TRUE(launchSignals.size() < 4 || launchSignals[2] != '0') << "ad storage not denied yet: " << launchSignals;

  // (b) After start-up: a first denial of ad storage withdraws consent, which wipes what
  // was stored and reports first open again under a new app instance ID; then a user ID,
  // a user property and an event with parameters of each kind.
  const double beforeConsent = lib.clock->peek();
  TWKAnalytics::setConsent(Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "granted"}});
  TWKAnalytics::setUserID("player-7781");
  TWKAnalytics::setUserPropertyString("mage", "favorite_hero");
  const double afterProperties = lib.clock->peek();
  TWKAnalytics::logEventWithName("spend_virtual_currency", Dictionary{{"item_name", "Ember Blade"},
                                                                      {"virtual_currency_name", "gems"},
                                                                      {"value", 120},
                                                                      {"price", 9.5}});
  lib.drain();

  all = lib.storedEvents();
  EXPECT_TRUE(named(all, "level_up").empty()) << "withdrawn consent wipes the stored events";
  auto reopened = named(all, "_f");
  ASSERT_EQ(reopened.size(), 1u) << "first open is reported again after the wipe";
  EXPECT_GE(reopened.front().timestamp, beforeConsent);

  auto id = lib.property("_id");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->origin(), "app");
  ASSERT_TRUE(id->value().stringValue());
  EXPECT_EQ(*id->value().stringValue(), "player-7781");
  auto hero = lib.property("favorite_hero");
  ASSERT_TRUE(hero);
  EXPECT_EQ(hero->origin(), "app");
  ASSERT_TRUE(hero->value().stringValue());
  EXPECT_EQ(*hero->value().stringValue(), "mage");
  EXPECT_GT(hero->lastSetTimestamp(), beforeConsent);

  auto spent = named(all, "spend_virtual_currency");
  ASSERT_EQ(spent.size(), 1u);
  const StoredEvent& spend = spent.front();
  EXPECT_GT(spend.rowID, reopened.front().rowID);
  EXPECT_GT(spend.timestamp, afterProperties);
  EXPECT_EQ(spend.string("_o"), "app");
  EXPECT_EQ(spend.string("item_name"), "Ember Blade");
  EXPECT_EQ(spend.string("virtual_currency_name"), "gems");
  EXPECT_EQ(spend.integer("value"), 120);
  ASSERT_TRUE(spend.params.count("price"));
  EXPECT_EQ(spend.params.at("price").real, 9.5);

  // The metadata the event was stored under carries the properties, the consent and the
  // new app instance ID that the public interface reports.
  auto after = lib.metadata(spend.fingerprint);
  ASSERT_TRUE(after);
  auto attributes = stringAttributes(*after);
  EXPECT_EQ(attributes["_id"], "player-7781");
  EXPECT_EQ(attributes["favorite_hero"], "mage");
  const std::string signals = after->GetString(TLWPBMeasurementBundle::kConsentSignals).value_or("");
  ASSERT_GE(signals.size(), 4u) << "consent signals stored with the event";
  EXPECT_EQ(signals[2], '0') << "ad storage denied: " << signals;
  EXPECT_EQ(signals[3], '1') << "analytics storage granted: " << signals;
  const std::string instanceID = after->GetString(TLWPBMeasurementBundle::kAppInstanceId).value_or("");
  EXPECT_FALSE(instanceID.empty()) << "analytics storage granted keeps an app instance ID";
  EXPECT_NE(instanceID, launchInstanceID) << "the wipe chose a new one";
  EXPECT_EQ(TWKAnalytics::appInstanceID().value_or(""), instanceID);

  // (c) A refused name becomes exactly one "_err" event with its code, and nothing else.
  const std::size_t rowsBefore = all.size();
  TWKAnalytics::logEventWithName("level up!", Dictionary{{"level", 2}});
  lib.drain();
  all = lib.storedEvents();
  ASSERT_EQ(all.size(), rowsBefore + 1) << "one row, no more";
  const StoredEvent& refused = all.back();
  EXPECT_EQ(refused.name, "_err");
  EXPECT_EQ(refused.string("_o"), "auto");
  EXPECT_EQ(refused.integer("_err"), 2);
  EXPECT_EQ(refused.string("_ev"), "level up!");
  EXPECT_EQ(refused.params.count("_el"), 0u) << "the name is not too long";
  EXPECT_EQ(refused.params.count("level"), 0u) << "the refused event's parameters are dropped";
  EXPECT_TRUE(named(all, "level up!").empty());

  // (d) A parameter nested 100 000 levels deep is refused like any nested array, and no
  // thread overflows its stack releasing it: the library's queues hold the last references.
  {
    Value deep = Value::array({});
    for (int i = 0; i < 100'000; ++i) deep = i % 2 ? Value::array({deep}) : Value(Dictionary{{"k", deep}});
    TWKAnalytics::logEventWithName("deep_value", Dictionary{{"deep", deep}, {"level", 3}});
    TWKAnalytics::setDefaultEventParameters(Dictionary{{"deep", deep}});
    TWKAnalytics::setConsent(Dictionary{{"ad_storage", deep}});
  }
  TWKAnalytics::setDefaultEventParameters(Value());
  lib.drain();
  auto deepEvents = named(lib.storedEvents(), "deep_value");
  ASSERT_EQ(deepEvents.size(), 1u);
  EXPECT_EQ(deepEvents.front().integer("level"), 3);

  // (e) Events and default-parameter calls interleaved from several threads: each thread's
  // calls are handled in its order (an event carries the default its thread set just
  // before it, never the next one), and every event is stored.
  constexpr int kRounds = 60;
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string key = "d" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        TWKAnalytics::setDefaultEventParameters(Dictionary{{key, i}});
        TWKAnalytics::logEventWithName("interleaved", Dictionary{{"thread", t}, {"seq", i}});
      }
    });
  }
  for (auto& th : threads) th.join();
  lib.drain();
  auto interleaved = named(lib.storedEvents(), "interleaved");
  EXPECT_EQ(interleaved.size(), static_cast<std::size_t>(kThreads * kRounds));
  std::map<std::int64_t, std::int64_t> nextSeq;
  for (const auto& e : interleaved) {
    auto thread = e.integer("thread");
    auto seq = e.integer("seq");
    ASSERT_TRUE(thread && seq) << "row " << e.rowID;
    EXPECT_EQ(*seq, nextSeq[*thread]++) << "thread " << *thread << ": stored in its order";
    EXPECT_EQ(e.integer("d" + std::to_string(*thread)), *seq) << "thread " << *thread << " event " << *seq;
  }

  // (f) A burst while the front controller's queue is held: calls waiting there count
  // against the backlog's capacity, so the calls past it are refused at once (they used to
  // pile up in that queue without limit), counted and reported; every admitted call is
  // stored once the queue runs.
  {
    auto engine = TLWMeasurement::sharedInstance();
    const auto& backlog = engine->eventBacklog();
    const std::uint64_t refusedBefore = backlog->refusedTotal();
    const std::size_t capacity = backlog->capacity();
    std::promise<void> release;
    TLWAnalytics::queue()->async([held = release.get_future().share()] { held.wait(); });
    for (std::size_t i = 0; i < capacity + 50; ++i) {
      TWKAnalytics::logEventWithName("burst", Dictionary{{"seq", static_cast<long long>(i)}});
    }
    EXPECT_EQ(backlog->refusedTotal() - refusedBefore, 50u) << "refused before the queue ran";
    release.set_value();
    lib.drain();
    auto burst = lib.storedEvents("WHERE name = 'burst' AND rowid IN (SELECT MIN(rowid) FROM raw_events WHERE name = "
                                  "'burst' UNION SELECT MAX(rowid) FROM raw_events WHERE name = 'burst')");
    ASSERT_EQ(burst.size(), 2u);
    EXPECT_EQ(burst.front().integer("seq"), 0);
    EXPECT_EQ(burst.back().integer("seq"), static_cast<std::int64_t>(capacity - 1));
    lib.onWorker([&](TLWDatabase& db) {
      auto rows = db.sqliteStore()->recordsForQuery("SELECT COUNT(*) AS n FROM raw_events WHERE name = 'burst'", {},
                                                    nullptr);
      ASSERT_TRUE(rows && rows->size() == 1u);
      EXPECT_EQ(rows->front().get("n").int64Value(), static_cast<std::int64_t>(capacity));
    });
    auto report = lib.storedEvents("WHERE name = '_err'");
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(report.back().string("_ev"), "event_backlog");
    EXPECT_EQ(report.back().integer("_el"), 50);
  }

  // The engine's class follows the launch of the environment the library runs over,
  // subscribed once however often it is loaded.
  TLWMeasurement::load(lib.env);
  EXPECT_EQ(lib.env->notificationCenter()->post(platform::kApplicationDidFinishLaunchingNotification), 1u);
}
