// The database's audience-filter, audience-result and conditional-property tables, on a
// real file: records go in and come back whole, deletes remove exactly what was named, and
// name prefixes are compared exactly.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "tests/measurement/storage/StorageTestSupport.h"

using platform::Value;
using storage_test::CapturedMonitor;
using storage_test::TempDir;
using storage_test::TestStorageEnvironment;

namespace {

std::shared_ptr<TLWPBEventFilter> eventFilterMessage(std::int32_t filterID, const std::string& eventName,
                                                     bool sessionScoped, bool dynamic, bool sequence) {
  auto m = TLWPBEventFilter::initWithMessageInfo();
  m->SetInt32(TLWPBEventFilter::kFilterId, filterID);
  m->SetString(TLWPBEventFilter::kEventName, eventName);
  if (sessionScoped) m->SetBool(TLWPBEventFilter::kSessionScoped, true);
  if (dynamic) m->SetBool(TLWPBEventFilter::kDynamic, true);
  if (sequence) m->SetBool(TLWPBEventFilter::kSequence, true);
  return m;
}

std::shared_ptr<TLWPBPropertyFilter> propertyFilterMessage(std::int32_t filterID, const std::string& name,
                                                           bool sessionScoped) {
  auto m = TLWPBPropertyFilter::initWithMessageInfo();
  m->SetInt32(TLWPBPropertyFilter::kFilterId, filterID);
  m->SetString(TLWPBPropertyFilter::kPropertyName, name);
  if (sessionScoped) m->SetBool(TLWPBPropertyFilter::kSessionScoped, true);
  return m;
}

std::set<std::pair<std::int32_t, std::int32_t>> pairsOf(const std::vector<std::shared_ptr<TLWEventFilter>>& filters) {
  std::set<std::pair<std::int32_t, std::int32_t>> out;
  for (const auto& f : filters) out.emplace(f->audienceID(), f->filterID());
  return out;
}

class TLWDatabaseAudienceAndConditionalTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<TestStorageEnvironment> env = std::make_shared<TestStorageEnvironment>(dir.path());
  CapturedMonitor captured{env};
  std::shared_ptr<TLWPersistedConfig> config = TLWPersistedConfig::initWithSuiteName(
      "com.vorlix.zel.measurement", false, env, TLWUserDefaults::initWithSuiteName("", env), captured.monitor);
  std::unique_ptr<TLWDatabase> db = TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, nullptr, env,
                                                                      captured.monitor);
  TLWError error;

  void SetUp() override { ASSERT_TRUE(db); }

  std::int64_t count(const std::string& table) {
    return db->sqliteStore()->rowCountForTableWithName(table, nullptr).value_or(-1);
  }
  void exec(const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db->sqliteStore()->sqliteHandle(), sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "");
  }

  // A conditional property with every field set.
  std::shared_ptr<TLWConditionalUserProperty> property(const std::string& name, const std::string& origin,
                                                       double created, double timeout, bool active = false) {
    auto p = std::make_shared<TLWConditionalUserProperty>();
    p->setName(name);
    p->setOrigin(origin);
    p->setValue(TLWValue::initWithString("gold"));
    p->setTriggerEventName("level_up");
    p->setTriggerTimeout(timeout);
    p->setTimeToLive(100);
    p->setCreationTimestamp(created);
    p->setActive(active);
    return p;
  }
  std::set<std::string> names(const std::optional<TLWDatabase::ConditionalUserProperties>& found) {
    std::set<std::string> out;
    if (found) {
      for (const auto& p : *found) out.insert(p->name());
    }
    return out;
  }
};

}  // namespace

// ----------------------------------------------------------------- filters

TEST_F(TLWDatabaseAudienceAndConditionalTest, FilterRecordsRoundTripWithFlagsFromTheirMessage) {
  auto scoped = TLWEventFilter::filterWithAudienceID(1, *eventFilterMessage(10, "level_up", true, false, true));
  auto dynamic = TLWEventFilter::filterWithAudienceID(2, *eventFilterMessage(20, "level_up", false, true, false));
  auto other = TLWEventFilter::filterWithAudienceID(2, *eventFilterMessage(21, "purchase", false, false, false));
  ASSERT_TRUE(scoped && dynamic && other);
  EXPECT_EQ(scoped->filterID(), 10);
  EXPECT_TRUE(scoped->sessionScoped() && scoped->sequence() && !scoped->dynamic());
  ASSERT_TRUE(db->updateEventFilters({scoped, dynamic, other}, &error)) << error.localizedDescription();
  auto property = TLWPropertyFilter::filterWithAudienceID(3, *propertyFilterMessage(30, "hero", true));
  ASSERT_TRUE(db->updatePropertyFilters({property}, &error));

  auto found = db->eventFiltersForEventName("level_up", &error);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  for (const auto& f : *found) {
    EXPECT_EQ(f->eventName(), "level_up");
    ASSERT_TRUE(f->filterMessage());
    if (f->audienceID() == 1) {
      EXPECT_TRUE(f->sessionScoped() && f->sequence() && !f->dynamic());
      EXPECT_EQ(f->data(), scoped->data());
    } else {
      EXPECT_TRUE(!f->sessionScoped() && !f->sequence() && f->dynamic());
    }
  }
  // The flags come from the message even when the column says otherwise.
  exec("UPDATE event_filters SET session_scoped = 0");
  found = db->eventFiltersForEventName("level_up", &error);
  ASSERT_TRUE(found);
  for (const auto& f : *found) {
    if (f->audienceID() == 1) {
      EXPECT_TRUE(f->sessionScoped());
    }
  }
  auto properties = db->propertyFiltersForPropertyName("hero", &error);
  ASSERT_TRUE(properties);
  ASSERT_EQ(properties->size(), 1u);
  EXPECT_EQ(properties->front()->propertyName(), "hero");
  EXPECT_TRUE(properties->front()->sessionScoped());
  EXPECT_EQ(db->propertyFiltersForPropertyName("nobody", &error)->size(), 0u);

  // Updating the same (audience, filter) replaces rather than duplicates.
  ASSERT_TRUE(db->updateEventFilters({TLWEventFilter::filterWithAudienceID(
                                         1, *eventFilterMessage(10, "level_up", false, false, false))},
                                     &error));
  EXPECT_EQ(count("event_filters"), 3);
}

TEST_F(TLWDatabaseAudienceAndConditionalTest, DeletingFilterPairsRemovesExactlyThose) {
  std::vector<std::shared_ptr<TLWEventFilter>> filters;
  for (int audience = 1; audience <= 3; ++audience) {
    for (int filter = 1; filter <= 2; ++filter) {
      filters.push_back(TLWEventFilter::filterWithAudienceID(
          audience, *eventFilterMessage(filter, "level_up", audience == 2, false, false)));
    }
  }
  ASSERT_TRUE(db->updateEventFilters(filters, &error));
  ASSERT_TRUE(db->updatePropertyFilters({TLWPropertyFilter::filterWithAudienceID(7, *propertyFilterMessage(4, "hero", true)),
                                         TLWPropertyFilter::filterWithAudienceID(2, *propertyFilterMessage(9, "hero", false))},
                                        &error));
  EXPECT_EQ(db->allAudienceIDs(&error), (std::set<std::int32_t>{1, 2, 3, 7}));
  auto scoped = db->allSessionScopedFilters(&error);
  ASSERT_TRUE(scoped);
  EXPECT_EQ(*scoped, (std::map<std::int32_t, std::set<std::int32_t>>{{2, {1, 2}}, {7, {4}}}));

  // (1,2) and (3,1): the rows (1,1), (2,x), (3,2) share one of the two numbers and stay.
  ASSERT_TRUE(db->deleteEventFilters({filters[1], filters[4]}, &error));
  auto left = db->eventFiltersForEventName("level_up", &error);
  ASSERT_TRUE(left);
  EXPECT_EQ(pairsOf(*left), (std::set<std::pair<std::int32_t, std::int32_t>>{{1, 1}, {2, 1}, {2, 2}, {3, 2}}));

  ASSERT_TRUE(db->deleteAllEventFilters(&error));
  EXPECT_EQ(count("event_filters"), 0);
  EXPECT_EQ(db->allAudienceIDs(&error), (std::set<std::int32_t>{2, 7}));
  ASSERT_TRUE(db->deleteAllPropertyFilters(&error));
  EXPECT_EQ(db->allAudienceIDs(&error)->size(), 0u);
}

TEST_F(TLWDatabaseAudienceAndConditionalTest, InvalidFilterItemsStopTheUpdateWithTheirCode) {
  auto good = TLWEventFilter::filterWithAudienceID(1, *eventFilterMessage(1, "a", false, false, false));
  auto noName = TLWEventFilter::initWithAudienceID(1, 2, "", {1, 2});
  auto noData = TLWEventFilter::initWithAudienceID(1, 3, "a", {});
  EXPECT_FALSE(db->updateEventFilters({}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_FALSE(db->updateEventFilters({good, noName, noData}, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(error.localizedDescription(),
            "Received event filter with empty event name for getting dictionary representation");
  EXPECT_EQ(count("event_filters"), 1);  // the item before the bad one was written
  EXPECT_FALSE(db->updateEventFilters({nullptr}, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_FALSE(db->updatePropertyFilters({TLWPropertyFilter::initWithAudienceID(1, 1, "p", {})}, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Received property filter with empty data for getting dictionary representation");
  EXPECT_FALSE(db->deleteEventFilters({}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_FALSE(db->eventFiltersForEventName("", &error));
  EXPECT_EQ(error.code(), 1);

  // A stored message that no longer decodes still reads as a record (evaluation reports
  // it), with every flag false.
  ASSERT_TRUE(db->updateEventFilters({TLWEventFilter::initWithAudienceID(5, 5, "z", {0xff, 0xff, 0xff}, true, true, true)},
                                     &error));
  auto damaged = db->eventFiltersForEventName("z", &error);
  ASSERT_TRUE(damaged);
  ASSERT_EQ(damaged->size(), 1u);
  EXPECT_FALSE(damaged->front()->filterMessage());
  EXPECT_FALSE(damaged->front()->sessionScoped() || damaged->front()->dynamic() || damaged->front()->sequence());
}

// ----------------------------------------------------------------- results

TEST_F(TLWDatabaseAudienceAndConditionalTest, FilterResultsUpsertReadAndDeleteByAudience) {
  std::vector<std::uint8_t> a{1, 2, 3}, b{4, 5}, c{6};
  ASSERT_TRUE(db->updateFilterResults({TLWFilterResult::initWithAudienceID(1, a, b),
                                       TLWFilterResult::initWithAudienceID(2, c, {}),
                                       TLWFilterResult::initWithAudienceID(3, b, a)},
                                      &error));
  auto one = db->filterResultForAudienceID(1, &error);
  ASSERT_TRUE(one && *one);
  EXPECT_EQ((*one)->currentResults(), a);
  EXPECT_EQ((*one)->previousResults(), b);
  auto two = db->filterResultForAudienceID(2, &error);
  ASSERT_TRUE(two && *two);
  EXPECT_FALSE((*two)->hasPreviousResults());
  EXPECT_EQ(db->sqliteStore()->numberForQuery(
                "SELECT count(1) FROM audience_filter_values WHERE previous_results IS NULL", {}, nullptr)
                ->int64Value(),
            1);
  auto none = db->filterResultForAudienceID(99, &error);
  ASSERT_TRUE(none);  // a successful read ...
  EXPECT_FALSE(*none);  // ... of nothing

  ASSERT_TRUE(db->updateFilterResults({TLWFilterResult::initWithAudienceID(1, c, a)}, &error));
  auto all = db->allFilterResults(&error);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ(all->at(1)->currentResults(), c);

  ASSERT_TRUE(db->deleteFilterResults({all->at(1), all->at(3)}, &error));
  all = db->allFilterResults(&error);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 1u);
  EXPECT_TRUE(all->count(2));

  EXPECT_FALSE(db->updateFilterResults({}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_FALSE(db->updateFilterResults({TLWFilterResult::initWithAudienceID(4, {}, a)}, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_FALSE(db->deleteFilterResults({nullptr}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(count("audience_filter_values"), 1);
}

// ----------------------------------------------------------------- conditional properties

TEST_F(TLWDatabaseAudienceAndConditionalTest, ConditionalPropertyKeepsEveryFieldAndItsEvents) {
  TLWValueArray items{{{"item_id", TLWValue::initWithString("sword")}, {"quantity", TLWValue::initWithInt64(2)}}};
  auto triggered = TLWEvent::initWithOrigin("qd", false, "purchase", 10, 0,
                                            TLWParameters{{"items", TLWValue::initWithArray(items)}});
  auto expired = TLWEvent::initWithOrigin("qd", false, "_cupe", 20, 0, TLWParameters{{"why", TLWValue::initWithString("ttl")}});
  ASSERT_TRUE(triggered && expired);
  auto p = property("vip", "qd", 1700000000.5, 60, true);
  p->setValue(TLWValue::initWithInt64(42));
  p->setTriggeredTimestamp(1700000030.25);
  p->setTriggeredEvent(triggered);
  p->setExpiredEvent(expired);
  ASSERT_TRUE(db->updateConditionalUserProperty(p.get(), &error)) << error.localizedDescription();

  auto found = db->conditionalUserPropertyWithName("vip", &error);
  ASSERT_TRUE(found && *found);
  const auto& back = **found;
  EXPECT_TRUE(back.active());
  EXPECT_EQ(back.origin(), "qd");
  ASSERT_TRUE(back.value());
  EXPECT_TRUE(back.value()->isInt64());
  EXPECT_EQ(back.value()->int64Value(), 42);
  EXPECT_EQ(back.triggerEventName(), "level_up");
  EXPECT_EQ(back.triggerTimeout(), 60);
  EXPECT_EQ(back.timeToLive(), 100);
  EXPECT_EQ(back.creationTimestamp(), 1700000000.5);
  EXPECT_EQ(back.triggeredTimestamp(), 1700000030.25);
  ASSERT_TRUE(back.triggeredEvent() && back.expiredEvent());
  EXPECT_FALSE(back.timedOutEvent());
  EXPECT_EQ(back.triggeredEvent()->name(), "purchase");
  ASSERT_TRUE(triggered->parameters().count("items"));
  EXPECT_EQ(back.triggeredEvent()->parameters(), triggered->parameters());  // the array survives
  EXPECT_EQ(back.expiredEvent()->timestamp(), 20);

  // A double value comes back as a double; no trigger event name reads as none.
  p->setValue(TLWValue::initWithDouble(1.5));
  p->setTriggerEventName(std::nullopt);
  ASSERT_TRUE(db->updateConditionalUserProperty(p.get(), &error));
  found = db->conditionalUserPropertyWithName("vip", &error);
  ASSERT_TRUE(found && *found);
  EXPECT_TRUE((*found)->value()->isDouble());
  EXPECT_EQ((*found)->value()->doubleValue(), 1.5);
  EXPECT_FALSE((*found)->triggerEventName());
  EXPECT_EQ(count("conditional_properties"), 1);

  auto missing = db->conditionalUserPropertyWithName("nobody", &error);
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);
  ASSERT_TRUE(db->deleteConditionalUserPropertyWithName("vip", &error));
  EXPECT_EQ(count("conditional_properties"), 0);
}

TEST_F(TLWDatabaseAudienceAndConditionalTest, ConditionalPropertyChecksAndTableLimit) {
  auto p = property("vip", "qd", 1, 5);
  p->setValue(std::nullopt);
  EXPECT_FALSE(db->updateConditionalUserProperty(p.get(), &error));
  EXPECT_EQ(error.localizedDescription(),
            "Received conditional user property with nil value for getting dictionary representation");
  p = property("vip", "", 1, 5);
  EXPECT_FALSE(db->updateConditionalUserProperty(p.get(), &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_FALSE(db->updateConditionalUserProperty(nullptr, &error));
  EXPECT_FALSE(db->conditionalUserPropertiesWithCondition("", {}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_FALSE(db->triggeredConditionalUserPropertiesWithEventName("", &error));
  EXPECT_EQ(error.code(), 1);

  ASSERT_TRUE(db->performTransaction([&] {
    for (int i = 0; i < 1000; ++i) {
      if (!db->updateConditionalUserProperty(property("p" + std::to_string(i), "qd", 1, 5).get(), nullptr)) return false;
    }
    return true;
  }));
  EXPECT_FALSE(db->updateConditionalUserProperty(property("one_more", "qd", 1, 5).get(), &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_TRUE(db->updateConditionalUserProperty(property("p7", "qd", 2, 5).get(), &error));  // existing key
}

TEST_F(TLWDatabaseAudienceAndConditionalTest, TimedOutExpiredAndTriggeredFollowTheClock) {
  const double now = env->settableClock().now();
  // Created 10 s ago with a 5 s timeout: timed out, so no longer triggerable.
  ASSERT_TRUE(db->updateConditionalUserProperty(property("late", "qd", now - 10, 5).get(), &error));
  // Created 3 s ago with a 5 s timeout: waiting for level_up.
  ASSERT_TRUE(db->updateConditionalUserProperty(property("waiting", "qd", now - 3, 5).get(), &error));
  // Active since 200 s with a 100 s time to live: expired.
  auto old = property("old", "qd", now - 300, 5, true);
  old->setTriggeredTimestamp(now - 200);
  ASSERT_TRUE(db->updateConditionalUserProperty(old.get(), &error));
  // Active since 50 s: in force.
  auto fresh = property("fresh", "qd", now - 60, 5, true);
  fresh->setTriggeredTimestamp(now - 50);
  ASSERT_TRUE(db->updateConditionalUserProperty(fresh.get(), &error));

  EXPECT_EQ(names(db->timedOutConditionalUserPropertiesWithError(&error)), (std::set<std::string>{"late"}));
  EXPECT_EQ(names(db->expiredConditionalUserPropertiesWithError(&error)), (std::set<std::string>{"old"}));
  EXPECT_EQ(names(db->triggeredConditionalUserPropertiesWithEventName("level_up", &error)),
            (std::set<std::string>{"waiting"}));
  EXPECT_EQ(names(db->triggeredConditionalUserPropertiesWithEventName("purchase", &error)).size(), 0u);

  env->settableClock().advance(3);  // "waiting" is now 6 s old
  EXPECT_EQ(names(db->timedOutConditionalUserPropertiesWithError(&error)), (std::set<std::string>{"late", "waiting"}));
  EXPECT_EQ(names(db->triggeredConditionalUserPropertiesWithEventName("level_up", &error)).size(), 0u);
}

TEST_F(TLWDatabaseAudienceAndConditionalTest, PrefixAndOriginAreComparedExactly) {
  for (const auto& [name, origin] : std::vector<std::pair<std::string, std::string>>{
           {"A_B_level", "qd"}, {"AxB_level", "qd"}, {"a_b_level", "qd"}, {"A_B", "app"}, {"A%B", "qd"}, {"xA_B", "qd"}}) {
    ASSERT_TRUE(db->updateConditionalUserProperty(property(name, origin, 1, 5).get(), &error)) << name;
  }
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("A_B", "", &error)),
            (std::set<std::string>{"A_B_level", "A_B"}));
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("A_B", "qd", &error)), (std::set<std::string>{"A_B_level"}));
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("A%", "", &error)), (std::set<std::string>{"A%B"}));
  // Origins match by equality, not as patterns.
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("", "q_", &error)).size(), 0u);
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("", "QD", &error)).size(), 0u);
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("", "app", &error)), (std::set<std::string>{"A_B"}));
  auto all = db->conditionalUserPropertiesWithPrefix("", "", &error);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 6u);
  // A prefix longer than any name matches nothing rather than everything.
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("A_B_level_and_more", "", &error)).size(), 0u);
}

TEST_F(TLWDatabaseAudienceAndConditionalTest, RowsWhoseEventsNoLongerDecodeAreSkipped) {
  ASSERT_TRUE(db->updateConditionalUserProperty(property("good", "qd", 1, 5).get(), &error));
  ASSERT_TRUE(db->updateConditionalUserProperty(property("bad", "qd", 1, 5).get(), &error));
  ASSERT_TRUE(db->updateConditionalUserProperty(property("text", "qd", 1, 5).get(), &error));
  exec("UPDATE conditional_properties SET triggered_event = x'ffffff' WHERE name = 'bad'");
  exec("UPDATE conditional_properties SET expired_event = 'not a blob' WHERE name = 'text'");
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("", "", &error)), (std::set<std::string>{"good"}));
  EXPECT_TRUE(captured.logged(12023));

  // The damaged row reads as absent, so a new request for the name replaces it.
  auto bad = db->conditionalUserPropertyWithName("bad", &error);
  ASSERT_TRUE(bad);
  EXPECT_FALSE(*bad);
  ASSERT_TRUE(db->updateConditionalUserProperty(property("bad", "qd", 1, 5).get(), &error));
  EXPECT_EQ(names(db->conditionalUserPropertiesWithPrefix("", "", &error)), (std::set<std::string>{"good", "bad"}));

  // Nothing decodable at all is still an answer (empty): a failure would stop every later
  // step that reads the table, for ever.
  exec("UPDATE conditional_properties SET triggered_event = x'ff'");
  auto none = db->conditionalUserPropertiesWithPrefix("", "", &error);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}
