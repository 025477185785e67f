// Conditional user properties through the real write path and database, with a settable
// clock: activation by a trigger event, time-out, expiry, clearing, the table limit, and
// the events each transition writes (read back from the raw-events table).

#include "measurement/properties/TLWConditionalUserPropertyController.h"

#include <gtest/gtest.h>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "tests/measurement/engine/BundlerTestSupport.h"

namespace {

using bundler_test::kNow;

class TLWConditionalUserPropertyControllerTest : public bundler_test::BundlerFixture {
 protected:
  void SetUp() override {
    BundlerFixture::SetUp();
    controller = std::dynamic_pointer_cast<TLWConditionalUserPropertyController>(
        writePath.dependencies.conditionalUserProperties);
    ASSERT_TRUE(controller);
  }

  static std::shared_ptr<TLWEvent> event(const std::string& name, platform::Dictionary params = {}) {
    return TLWEvent::initWithOrigin("app", false, name, 0, 0, params);
  }
  // A request as a sibling component makes one.
  static std::shared_ptr<TLWConditionalUserProperty> request(const std::string& trigger, double timeout = 60,
                                                             double ttl = 3600) {
    auto p = std::make_shared<TLWConditionalUserProperty>();
    p->setOrigin("qd");
    p->setValue(TLWValue::initWithString("gold"));
    if (!trigger.empty()) p->setTriggerEventName(trigger);
    p->setTriggerTimeout(timeout);
    p->setTimeToLive(ttl);
    p->setTriggeredEvent(event("_tr", {{"tier", "gold"}}));
    p->setTimedOutEvent(event("_to"));
    p->setExpiredEvent(event("_ex"));
    return p;
  }
  void onWorker(const std::function<void()>& block) {
    ASSERT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("CUPTest", block));
  }
  void log(const std::string& name) {
    auto e = TLWEvent::initWithOrigin("app", true, name, env->fakeClock()->now(), 0, platform::Dictionary{});
    onWorker([&] { pipeline->handleEventOnWorkerQueue(e); });
  }
  // Written event names in order, with their origins.
  std::vector<std::string> written() {
    TLWError error;
    auto rows = database->sqliteStore()->recordsForQuery("SELECT name FROM raw_events ORDER BY rowid", {}, &error);
    std::vector<std::string> out;
    for (const auto& row : *rows) out.push_back(row.get("name").stringOr());
    return out;
  }
  std::shared_ptr<TLWUserAttribute> property() {
    TLWError error;
    return database->userAttributeWithName("vip", &error);
  }
  std::shared_ptr<TLWConditionalUserProperty> record() {
    TLWError error;
    auto found = database->conditionalUserPropertyWithName("vip", &error);
    return found ? *found : nullptr;
  }
  void set(std::shared_ptr<TLWConditionalUserProperty> p) {
    controller->setConditionalUserProperty(p, "vip");
    onWorker([] {});
  }

  std::shared_ptr<TLWConditionalUserPropertyController> controller;
};

TEST_F(TLWConditionalUserPropertyControllerTest, TriggerWithinTimeoutActivatesThenExpires) {
  set(request("level_up"));
  ASSERT_TRUE(record());
  EXPECT_FALSE(record()->active());
  EXPECT_FALSE(property());

  env->fakeClock()->advance(30);
  const double triggerTime = env->fakeClock()->now();
  log("level_up");
  ASSERT_TRUE(property());
  EXPECT_EQ(property()->value().description(), TLWValue::initWithString("gold").description());
  EXPECT_DOUBLE_EQ(property()->lastSetTimestamp(), triggerTime);
  EXPECT_TRUE(record()->active());
  // The triggered event is written right after the event that triggered it.
  EXPECT_EQ(written(), (std::vector<std::string>{"level_up", "_tr"}));

  env->fakeClock()->advance(3601);
  log("coin");
  EXPECT_FALSE(property());
  EXPECT_FALSE(record());
  EXPECT_EQ(written(), (std::vector<std::string>{"level_up", "_tr", "_ex", "coin"}));
}

TEST_F(TLWConditionalUserPropertyControllerTest, LateTriggerTimesOutAndNeverActivates) {
  set(request("level_up"));
  env->fakeClock()->advance(61);
  log("level_up");
  EXPECT_FALSE(record());
  EXPECT_FALSE(property());
  // The time-out is noticed at the event and written before it.
  EXPECT_EQ(written(), (std::vector<std::string>{"_to", "level_up"}));
}

// A stored record that cannot be read is skipped (logged) by every step and removed by a
// clear; it never fails the processing of the others.
TEST_F(TLWConditionalUserPropertyControllerTest, AnUnreadableRecordIsSkippedAndCanBeCleared) {
  set(request("level_up"));
  TLWError error;
  ASSERT_TRUE(database->sqliteStore()->executeSQL(
      "UPDATE conditional_properties SET triggered_event = x'ff01' WHERE name = 'vip'", &error));
  env->fakeClock()->advance(61);
  log("bonus");
  EXPECT_EQ(written(), (std::vector<std::string>{"bonus"})) << "the time-out step does not fail the event";
  EXPECT_GT(logged(12023), 0);
  auto rows = database->sqliteStore()->rowCountForTableWithName("conditional_properties", &error);
  ASSERT_EQ(rows, 1);
  controller->clearConditionalUserProperty("vip", "qd", std::nullopt, {});
  onWorker([] {});
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName("conditional_properties", &error), 0);
}

TEST_F(TLWConditionalUserPropertyControllerTest, NoTriggerActivatesAtOnceAndClearsWithEveryParameter) {
  const double created = env->fakeClock()->now();
  set(request(""));
  ASSERT_TRUE(record());
  EXPECT_TRUE(record()->active());
  ASSERT_TRUE(property());
  EXPECT_DOUBLE_EQ(property()->lastSetTimestamp(), created);
  EXPECT_EQ(written(), (std::vector<std::string>{"_tr"}));

  // A clear names its event with two parameters: both arrive.
  controller->clearConditionalUserProperty("vip", "qd", "_cl", {{"a", 1}, {"b", "two"}});
  onWorker([] {});
  EXPECT_FALSE(record());
  EXPECT_FALSE(property());
  ASSERT_EQ(written(), (std::vector<std::string>{"_tr", "_cl"}));
  TLWError error;
  auto rows = database->sqliteStore()->recordsForQuery("SELECT data FROM raw_events ORDER BY rowid DESC LIMIT 1", {},
                                                       &error);
  const auto* data = rows->front().get("data").dataBytes();
  ASSERT_TRUE(data);
  auto stored = TLWPBEvent::initWithBuffer(std::span<const std::uint8_t>(data->data(), data->size()));
  ASSERT_TRUE(stored);
  std::set<std::string> names;
  for (const auto& p : stored->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) names.insert(*p->GetString(0));
  EXPECT_TRUE(names.count("a") && names.count("b"));

  // A clear without any event parameters still clears.
  set(request(""));
  controller->clearConditionalUserProperty("vip", "qd", std::nullopt, {});
  onWorker([] {});
  EXPECT_FALSE(record());

  // Clearing what does not exist writes nothing.
  const auto before = written().size();
  controller->clearConditionalUserPropertyWithClearEvent(event("_cl"), "vip");
  onWorker([] {});
  EXPECT_EQ(written().size(), before);
  EXPECT_TRUE(logged(11018) > 0);
}

TEST_F(TLWConditionalUserPropertyControllerTest, ValidationAndTableLimit) {
  // Both ranges run from 0.001 s to 180 days, each end included.
  constexpr double k180Days = 180.0 * 86400;
  struct Case {
    double timeout, ttl;
    bool accepted;
  };
  for (const Case& c : {Case{60, 0.0005, false}, Case{60, k180Days + 1, false}, Case{0, 3600, false},
                        Case{k180Days + 1, 3600, false}, Case{0.001, 0.001, true}, Case{k180Days, k180Days, true}}) {
    SCOPED_TRACE(testing::Message() << "timeout " << c.timeout << " ttl " << c.ttl);
    set(request("level_up", c.timeout, c.ttl));
    EXPECT_EQ(record() != nullptr, c.accepted);
    if (record()) controller->clearConditionalUserProperty("vip", "qd", std::nullopt, {});
    onWorker([] {});
  }
  ASSERT_FALSE(record());

  // The table holds 1000 records; the next new name is refused, not stored.
  onWorker([&] {
    for (int i = 0; i < 1000; ++i) {
      auto p = request("level_up");
      p->setName("p" + std::to_string(i));
      p->setCreationTimestamp(kNow);
      ASSERT_TRUE(controller->setConditionalUserPropertyOnWorkerQueue(p));
    }
    auto extra = request("level_up");
    extra->setName("vip");
    EXPECT_FALSE(controller->setConditionalUserPropertyOnWorkerQueue(extra));
  });
  EXPECT_FALSE(record());
  EXPECT_TRUE(logged(11014) > 0);

  auto found = controller->conditionalUserPropertiesWithNamePrefix("p99", "qd");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size(), 11u);  // p99 and p990 ... p999
}

}  // namespace
