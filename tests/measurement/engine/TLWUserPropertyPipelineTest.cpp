#include "measurement/engine/TLWUserPropertyPipeline.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

#include "tests/measurement/engine/PipelineTestSupport.h"

using platform::Value;
using pipeline_test::PipelineFixture;

namespace {

class TLWUserPropertyPipelineTest : public PipelineFixture {
 protected:
  std::optional<bool> exists(const std::string& name) {
    std::optional<bool> out;
    onWorker([&] { out = database->containsUserAttributeWithName(name, nullptr); });
    return out;
  }
  platform::Dictionary readAll(bool includeInternal) {
    std::promise<platform::Dictionary> promise;
    auto future = promise.get_future();
    userProperties->userPropertiesIncludingInternal(includeInternal,
                                                    [&](platform::Dictionary d) { promise.set_value(std::move(d)); });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    return future.get();
  }
  void fillPublic(int count, const std::string& origin = "app") {
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(storeProperty(origin, "prop_" + std::to_string(i), TLWValue::initWithString("v")));
    }
  }
};

TEST_F(TLWUserPropertyPipelineTest, PublicLimitRefusesNewNamesButAllowsReplacing) {
  fillPublic(25);
  EXPECT_FALSE(storeProperty("app", "prop_new", TLWValue::initWithString("v")));
  EXPECT_TRUE(logged(23084));
  EXPECT_EQ(storedErrorEvents(9), 1);
  EXPECT_EQ(exists("prop_new"), std::optional<bool>(false));

  EXPECT_TRUE(storeProperty("app", "prop_3", TLWValue::initWithString("changed")));
  EXPECT_EQ(readAll(false).get("prop_3"), Value("changed"));

  settings->maxPublicProperties = 26;
  EXPECT_TRUE(storeProperty("app", "prop_new", TLWValue::initWithString("v")));
}

TEST_F(TLWUserPropertyPipelineTest, PerOriginLimitHoldsInternalPropertiesWithoutTouchingPublicOnes) {
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(storeProperty("auto", "_p" + std::to_string(i), TLWValue::initWithInt64(i)));
  }
  EXPECT_FALSE(storeProperty("auto", "_p25", TLWValue::initWithInt64(25)));
  EXPECT_EQ(storedErrorEvents(9), 1);
  EXPECT_TRUE(storeProperty("auto", "_p3", TLWValue::initWithInt64(33)));
  EXPECT_TRUE(storeProperty("app", "hero_class", TLWValue::initWithString("mage")));
  EXPECT_TRUE(storeProperty("other", "_q0", TLWValue::initWithInt64(1)));
}

TEST_F(TLWUserPropertyPipelineTest, TheUserIDIsNotCrowdedOutByTheAppsPublicProperties) {
  fillPublic(25, "app");
  EXPECT_TRUE(storeProperty("app", "_id", TLWValue::initWithString("player-1")));
  EXPECT_EQ(exists("_id"), std::optional<bool>(true));
}

TEST_F(TLWUserPropertyPipelineTest, ChangingTheUserIDRemovesTheAdvertisingResetMarker) {
  ASSERT_TRUE(storeProperty("app", "_id", TLWValue::initWithString("player-1")));
  ASSERT_TRUE(storeProperty("auto", "_lair", TLWValue::initWithInt64(1)));
  EXPECT_TRUE(storeProperty("app", "_id", TLWValue::initWithString("player-1")));
  EXPECT_EQ(exists("_lair"), std::optional<bool>(true));
  EXPECT_TRUE(storeProperty("app", "_id", TLWValue::initWithString("player-2")));
  EXPECT_EQ(exists("_lair"), std::optional<bool>(false));

  // With the feature off the marker stays.
  ASSERT_TRUE(storeProperty("auto", "_lair", TLWValue::initWithInt64(1)));
  struct Off : pipeline_test::TestSettings {
    bool lastAdvertisingIDResetFeatureEnabled() override { return false; }
  };
  auto off = std::make_shared<Off>();
  auto other = TLWUserPropertyPipeline::create({database, persisted, scheduler, host, off, env, monitor, nullptr});
  ASSERT_TRUE(other);
  auto a = attribute("app", "_id", TLWValue::initWithString("player-3"));
  bool ok = false;
  onWorker([&] { ok = other->setUserPropertyInDatabaseOnWorkerQueue(*a); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(exists("_lair"), std::optional<bool>(true));
}

TEST_F(TLWUserPropertyPipelineTest, SetAndRemoveThroughTheQueueFollowTheEnableSwitch) {
  userProperties->setUserAttribute(attribute("app", "_id", TLWValue::initWithString("player-1")));
  userProperties->setUserAttribute(nullptr);
  drain();
  EXPECT_EQ(exists("_id"), std::optional<bool>(true));
  EXPECT_TRUE(logged(23087));
  EXPECT_TRUE(logged(23079));

  host->enabled = false;
  userProperties->setUserAttribute(attribute("app", "hero_class", TLWValue::initWithString("mage")));
  userProperties->removeUserAttribute(attribute("app", "_id", TLWValue::initWithString("x")));
  drain();
  EXPECT_TRUE(logged(23081));
  EXPECT_TRUE(logged(23076));
  EXPECT_EQ(exists("hero_class"), std::optional<bool>(false));
  EXPECT_EQ(exists("_id"), std::optional<bool>(true));

  host->enabled = true;
  userProperties->removeUserAttribute(attribute("app", "_id", TLWValue::initWithString("x")));
  // Removing what is not there succeeds quietly.
  userProperties->removeUserAttribute(attribute("app", "never_set", TLWValue::initWithString("x")));
  drain();
  EXPECT_EQ(exists("_id"), std::optional<bool>(false));
  EXPECT_EQ(logCount(23078), 2);
  EXPECT_FALSE(logged(23077));
}

TEST_F(TLWUserPropertyPipelineTest, ReadBackWithAndWithoutInternalPropertiesKeepsValueTypes) {
  ASSERT_TRUE(storeProperty("app", "hero_class", TLWValue::initWithString("mage")));
  ASSERT_TRUE(storeProperty("app", "gold", TLWValue::initWithInt64(250)));
  ASSERT_TRUE(storeProperty("app", "ratio", TLWValue::initWithDouble(0.5)));
  ASSERT_TRUE(storeProperty("app", "_id", TLWValue::initWithString("player-1")));

  platform::Dictionary publicOnly = readAll(false);
  EXPECT_EQ(publicOnly.size(), 3u);
  EXPECT_FALSE(publicOnly.contains("_id"));
  EXPECT_EQ(publicOnly.get("hero_class"), Value("mage"));
  EXPECT_EQ(publicOnly.get("gold").kind(), Value::Kind::Int);
  EXPECT_EQ(publicOnly.get("gold"), Value(250));
  EXPECT_EQ(publicOnly.get("ratio").kind(), Value::Kind::Double);

  platform::Dictionary all = readAll(true);
  EXPECT_EQ(all.size(), 4u);
  EXPECT_EQ(all.get("_id"), Value("player-1"));

  std::promise<std::shared_ptr<TLWUserAttribute>> one;
  std::promise<std::shared_ptr<TLWUserAttribute>> none;
  std::atomic<bool> onWorkerQueue{false};
  userProperties->userAttributeWithName("gold", [&](std::shared_ptr<TLWUserAttribute> a) {
    onWorkerQueue = scheduler->workerQueue()->isCurrent();
    one.set_value(a);
  });
  userProperties->userAttributeWithName("missing", [&](std::shared_ptr<TLWUserAttribute> a) { none.set_value(a); });
  auto got = one.get_future().get();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->value().int64Value(), 250);
  EXPECT_FALSE(onWorkerQueue.load());
  EXPECT_EQ(none.get_future().get(), nullptr);
}

TEST_F(TLWUserPropertyPipelineTest, MaxUserPropertiesAnswersTwentyFiveAndRefusesBadArguments) {
  std::promise<std::int64_t> promise;
  userProperties->maxUserPropertiesForOrigin("anything", [&](std::int64_t n) { promise.set_value(n); });
  EXPECT_EQ(promise.get_future().get(), 25);
  userProperties->maxUserPropertiesForOrigin("", [](std::int64_t) { ADD_FAILURE() << "called for an empty origin"; });
  userProperties->maxUserPropertiesForOrigin("app", nullptr);
  userProperties->userAttributeWithName("x", nullptr);
  userProperties->userPropertiesIncludingInternal(true, nullptr);
  EXPECT_TRUE(logged(23093));
  EXPECT_TRUE(logged(23094));
  EXPECT_TRUE(logged(23088));
  EXPECT_TRUE(logged(23090));
}

TEST_F(TLWUserPropertyPipelineTest, AdvertisingResetMarkerNeedsAUserIDAndClearsTheRequest) {
  persisted->setShouldSetLastAdvertisingIDResetUserProperty(true);
  onWorker([&] { userProperties->setLastAdvertisingIDResetUserPropertyOnWorkerQueue(); });
  EXPECT_EQ(exists("_lair"), std::optional<bool>(false));
  EXPECT_TRUE(persisted->shouldSetLastAdvertisingIDResetUserProperty());

  ASSERT_TRUE(storeProperty("app", "_id", TLWValue::initWithString("player-1")));
  // The write path sets the marker when the identity asks for it.
  pipeline->logEvent(TLWEvent::initWithOrigin("app", false, "level_up", env->clock()->now(), 0, TLWParameters{}));
  drain();
  EXPECT_EQ(exists("_lair"), std::optional<bool>(true));
  EXPECT_FALSE(persisted->shouldSetLastAdvertisingIDResetUserProperty());
  auto stored = storedEvents();
  ASSERT_EQ(stored.size(), 1u);
  std::shared_ptr<TLWUserAttribute> lair;
  onWorker([&] { lair = database->userAttributeWithName("_lair", nullptr); });
  ASSERT_TRUE(lair);
  EXPECT_EQ(lair->origin(), "auto");
  EXPECT_EQ(lair->value().int64Value(), 1);
}

TEST_F(TLWUserPropertyPipelineTest, WipeoutEmptiesTheDatabase) {
  ASSERT_TRUE(storeProperty("app", "hero_class", TLWValue::initWithString("mage")));
  log("level_up");
  drain();
  bool ok = false;
  onWorker([&] { ok = userProperties->wipeoutDatabaseOnWorkerQueue(); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(rowCount("user_attributes"), 0);
  EXPECT_EQ(rowCount("raw_events"), 0);
  // The database keeps working after the wipe.
  log("level_up");
  EXPECT_EQ(storedNames(), std::vector<std::string>{"level_up"});
}

}  // namespace
