// Audiences through the real bundler and database: definitions saved from a
// configuration, membership built up over events in several bundles and across a
// relaunch, session-scoped results cleared at a session start, and the results read back
// from the queued (gzip) bundle bytes that an upload sends.

#include "measurement/audience/TLWAudience.h"
#include "measurement/audience/TLWAudienceTimestampsCache.h"

#include <gtest/gtest.h>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "tests/measurement/engine/BundlerTestSupport.h"

namespace {

using bundler_test::kNow;

std::shared_ptr<TLWPBNumberFilter> countOver(std::int32_t type, const std::string& value) {
  auto n = TLWPBNumberFilter::initWithMessageInfo();
  n->SetInt32(TLWPBNumberFilter::kComparisonType, type);
  n->SetString(TLWPBNumberFilter::kComparisonValue, value);
  return n;
}

std::shared_ptr<TLWPBEventFilter> eventFilter(std::int32_t id, const std::string& name,
                                              std::shared_ptr<TLWPBNumberFilter> countFilter = nullptr,
                                              bool sessionScoped = false, bool sequence = false) {
  auto f = TLWPBEventFilter::initWithMessageInfo();
  f->SetInt32(TLWPBEventFilter::kFilterId, id);
  f->SetString(TLWPBEventFilter::kEventName, name);
  if (countFilter) f->SetMessage(TLWPBEventFilter::kCountFilter, countFilter.get());
  if (sessionScoped) f->SetBool(TLWPBEventFilter::kSessionScoped, true);
  if (sequence) f->SetBool(TLWPBEventFilter::kSequence, true);
  return f;
}

std::shared_ptr<TLWPBAudience> definition(std::int32_t id, const std::vector<std::shared_ptr<TLWPBEventFilter>>& filters) {
  auto a = TLWPBAudience::initWithMessageInfo();
  a->SetInt32(TLWPBAudience::kAudienceId, id);
  for (const auto& f : filters) a->AddRepeatedMessage(TLWPBAudience::kEventFilters, *f);
  return a;
}

std::shared_ptr<TLWPBStringFilter> stringIs(std::int32_t type, const std::string& expression) {
  auto f = TLWPBStringFilter::initWithMessageInfo();
  f->SetInt32(TLWPBStringFilter::kMatchType, type);
  f->SetString(TLWPBStringFilter::kExpression, expression);
  return f;
}

std::shared_ptr<TLWPBFilter> filterOf(std::shared_ptr<TLWPBNumberFilter> number, std::shared_ptr<TLWPBStringFilter> text,
                                      const std::string& param = "") {
  auto f = TLWPBFilter::initWithMessageInfo();
  if (number) f->SetMessage(TLWPBFilter::kNumberFilter, number.get());
  if (text) f->SetMessage(TLWPBFilter::kStringFilter, text.get());
  if (!param.empty()) f->SetString(TLWPBFilter::kParamName, param);
  return f;
}

struct Kind {
  bool dynamic = false, sessionScoped = false;
};

std::shared_ptr<TLWPBPropertyFilter> propertyFilter(std::optional<std::int32_t> id, const std::string& name,
                                                    std::shared_ptr<TLWPBFilter> filter, Kind kind = {}) {
  auto f = TLWPBPropertyFilter::initWithMessageInfo();
  if (id) f->SetInt32(TLWPBPropertyFilter::kFilterId, *id);
  if (!name.empty()) f->SetString(TLWPBPropertyFilter::kPropertyName, name);
  if (filter) f->SetMessage(TLWPBPropertyFilter::kFilter, filter.get());
  if (kind.dynamic) f->SetBool(TLWPBPropertyFilter::kDynamic, true);
  if (kind.sessionScoped) f->SetBool(TLWPBPropertyFilter::kSessionScoped, true);
  return f;
}

std::shared_ptr<TLWPBAudience> withProperties(std::shared_ptr<TLWPBAudience> a,
                                              const std::vector<std::shared_ptr<TLWPBPropertyFilter>>& filters) {
  for (const auto& f : filters) a->AddRepeatedMessage(TLWPBAudience::kPropertyFilters, *f);
  return a;
}

struct Leaf {
  std::vector<std::uint64_t> status, results;
  std::map<std::int32_t, std::vector<std::int64_t>> sequenceSeconds;  // by filter ID
  std::map<std::int32_t, std::int64_t> dynamicSeconds;                // by filter ID
  bool hasPrevious = false;
  bool isNew = false;
};

class TLWAudienceTest : public bundler_test::BundlerFixture {
 protected:
  bool define(const std::vector<std::shared_ptr<TLWPBAudience>>& audiences) {
    bool ok = false;
    scheduler->dispatchSyncOnWorkerQueueBlockID("AudienceTest", [&] {
      TLWError error;
      ok = remoteConfig->audienceSink()->updateAudiences(audiences, &error);
    });
    return ok;
  }
  // The audience results of the newest queued bundle, by audience ID.
  std::map<std::int32_t, Leaf> lastResults() {
    std::map<std::int32_t, Leaf> out;
    auto bundles = queued();
    if (bundles.empty()) return out;
    using L = TLWPBAudienceLeafFilterResult;
    for (const auto& leaf : bundles.back()->GetRepeated<L>(TLWPBMeasurementBundle::kAudienceEvaluationResults)) {
      Leaf l;
      auto current = leaf->GetMessage<TLWPBResultData>(L::kCurrentData);
      for (const auto& v : current->GetRepeated(TLWPBResultData::kStatus)) l.status.push_back(*v.uint64Value());
      for (const auto& v : current->GetRepeated(TLWPBResultData::kResults)) l.results.push_back(*v.uint64Value());
      using S = TLWPBSequenceFilterResultTimestamp;
      for (const auto& entry : current->GetRepeated<S>(TLWPBResultData::kSequenceFilterTimestamps)) {
        auto& seconds = l.sequenceSeconds[entry->GetInt32(S::kFilterId)];
        for (const auto& v : entry->GetRepeated(S::kEvalTimestamps)) seconds.push_back(*v.int64Value());
      }
      using D = TLWPBDynamicFilterResultTimestamp;
      for (const auto& entry : current->GetRepeated<D>(TLWPBResultData::kDynamicFilterTimestamps)) {
        l.dynamicSeconds[entry->GetInt32(D::kFilterId)] = entry->GetInt64(D::kTimestamp);
      }
      l.hasPrevious = leaf->HasField(L::kPreviousData);
      l.isNew = leaf->GetBool(L::kNewAudience);
      out[leaf->GetInt32(L::kAudienceId)] = l;
    }
    return out;
  }
  void bundleEvents(const std::vector<std::string>& names, double at) {
    const auto fp = storeMetadata();
    for (std::size_t i = 0; i < names.size(); ++i) storeEvent(names[i], at + static_cast<double>(i), fp);
    ASSERT_TRUE(bundleOnce());
  }
  // One bundle whose metadata carries the user property "level".
  void bundleWithLevel(std::int64_t level, double at) {
    const auto fp = storeMetadata("1.0", {{"level", level}});
    storeEvent("tick", at, fp);
    ASSERT_TRUE(bundleOnce());
  }
  std::size_t storedResults() {
    TLWError error;
    auto all = database->allFilterResults(&error);
    EXPECT_TRUE(all);
    return all ? all->size() : 0;
  }
  void relaunch() {
    bundler.reset();
    writePath = {};
    pipeline.reset();
    userProperties.reset();
    remoteConfig.reset();
    database.reset();
    TLWError error;
    database = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName("bundler-test.sql", persisted, &error, env, monitor));
    ASSERT_TRUE(database);
    makePipelines();
    configure({});
  }
};

TEST_F(TLWAudienceTest, MembershipGrowsAcrossBundlesAndSurvivesARelaunch) {
  // Audience 1: level_up logged more than twice (filter 0) and any coin (filter 70, the
  // second word). Audience 2 never matches.
  configure({{"measurement.audience.filter_max_count_per_audience", "100"}});
  ASSERT_TRUE(define({definition(1, {eventFilter(0, "level_up", countOver(2, "2")), eventFilter(70, "coin")}),
                      definition(2, {eventFilter(0, "never")})}));
  bundleEvents({"level_up", "level_up"}, kNow);
  auto first = lastResults();
  ASSERT_EQ(first.count(1), 1u);
  EXPECT_FALSE(first.count(2));
  EXPECT_TRUE(first[1].isNew);
  EXPECT_EQ(first[1].status, std::vector<std::uint64_t>{1});  // evaluated ...
  EXPECT_EQ(first[1].results, std::vector<std::uint64_t>{0});  // ... and false so far

  relaunch();
  bundleEvents({"level_up", "coin"}, kNow + 100);
  auto second = lastResults();
  EXPECT_FALSE(second[1].isNew);
  EXPECT_TRUE(second[1].hasPrevious);
  EXPECT_EQ(second[1].status, (std::vector<std::uint64_t>{1, 1u << 6}));
  EXPECT_EQ(second[1].results, (std::vector<std::uint64_t>{1, 1u << 6}));

  // A plain filter that became true stays true; an unchanged record carries no previous data.
  bundleEvents({"other"}, kNow + 200);
  auto third = lastResults();
  EXPECT_EQ(third[1].results, second[1].results);
  EXPECT_FALSE(third[1].hasPrevious);
  EXPECT_FALSE(third[1].isNew);
}

TEST_F(TLWAudienceTest, SessionStartClearsSessionScopedResults) {
  ASSERT_TRUE(define({definition(3, {eventFilter(0, "coin", countOver(2, "1"), true), eventFilter(1, "level_up")}),
                      definition(9, {eventFilter(0, "gem", nullptr, true)})}));
  bundleEvents({"coin", "coin", "level_up", "gem"}, kNow);
  EXPECT_EQ(lastResults()[3].results, std::vector<std::uint64_t>{3});
  ASSERT_EQ(storedResults(), 2u);
  // "_s" clears the session-scoped bit and the session counts: one coin is not enough now.
  bundleEvents({"_s", "coin"}, kNow + 100);
  auto after = lastResults();
  EXPECT_EQ(after[3].status, std::vector<std::uint64_t>{3});
  EXPECT_EQ(after[3].results, std::vector<std::uint64_t>{2});
  // Audience 9 had only a session-scoped bit: its record is deleted, not kept all clear.
  EXPECT_EQ(storedResults(), 1u);
}

// One property filter of each kind on "level" > 3. A false result clears a true one only
// for a dynamic filter that is not session-scoped; a dynamic time moves to the later true.
TEST_F(TLWAudienceTest, PropertyFiltersKeepOrClearTrueByKind) {
  struct Row {
    std::int32_t audience;
    Kind kind;
    std::uint64_t afterFalse;
  };
  const Row rows[] = {{11, {false, false}, 1}, {12, {true, false}, 0}, {13, {true, true}, 1}, {14, {false, true}, 1}};
  std::vector<std::shared_ptr<TLWPBAudience>> audiences;
  for (const auto& r : rows) {
    audiences.push_back(withProperties(definition(r.audience, {}),
                                       {propertyFilter(0, "level", filterOf(countOver(2, "3"), nullptr), r.kind)}));
  }
  ASSERT_TRUE(define(audiences));
  const auto t = static_cast<std::int64_t>(kNow);
  bundleWithLevel(5, kNow);
  auto first = lastResults();
  bundleWithLevel(1, kNow + 100);
  auto second = lastResults();
  bundleWithLevel(7, kNow + 200);
  auto third = lastResults();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.audience);
    EXPECT_EQ(first[r.audience].results, std::vector<std::uint64_t>{1});
    EXPECT_EQ(second[r.audience].status, std::vector<std::uint64_t>{1});
    EXPECT_EQ(second[r.audience].results, std::vector<std::uint64_t>{r.afterFalse});
    EXPECT_EQ(third[r.audience].results, std::vector<std::uint64_t>{1});
    if (r.kind.dynamic || r.kind.sessionScoped) {
      EXPECT_EQ(first[r.audience].dynamicSeconds[0], t);
      EXPECT_EQ(third[r.audience].dynamicSeconds[0], t + 200);
    } else {
      EXPECT_TRUE(third[r.audience].dynamicSeconds.empty());
    }
  }
}

// A dynamic event filter keeps the time of its latest true event (a later false one
// neither clears it nor moves the time); a sequence filter appends one time per second to
// the stored list cut to its last time.
TEST_F(TLWAudienceTest, DynamicAndSequenceEventFiltersKeepTheirTimes) {
  auto coin = eventFilter(0, "coin");
  coin->AddRepeatedMessage(TLWPBEventFilter::kFilters, *filterOf(countOver(2, "10"), nullptr, "score"));
  coin->SetBool(TLWPBEventFilter::kDynamic, true);
  ASSERT_TRUE(define({definition(20, {coin, eventFilter(1, "step", nullptr, false, true)})}));
  const auto t = static_cast<std::int64_t>(kNow);
  auto fp = storeMetadata();
  storeEvent("coin", kNow, fp, {{"score", 20}});
  storeEvent("step", kNow + 1, fp);
  storeEvent("step", kNow + 1.5, fp);  // same second: dropped
  storeEvent("step", kNow + 2, fp);
  ASSERT_TRUE(bundleOnce());
  auto first = lastResults()[20];
  EXPECT_EQ(first.results, std::vector<std::uint64_t>{3});
  EXPECT_EQ(first.dynamicSeconds[0], t);
  EXPECT_EQ(first.sequenceSeconds[1], (std::vector<std::int64_t>{t + 1, t + 2}));

  storeEvent("coin", kNow + 100, fp, {{"score", 20}});
  storeEvent("coin", kNow + 101, fp, {{"score", 5}});
  storeEvent("step", kNow + 102, fp);
  ASSERT_TRUE(bundleOnce());
  auto second = lastResults()[20];
  EXPECT_EQ(second.results, std::vector<std::uint64_t>{3});
  EXPECT_EQ(second.dynamicSeconds[0], t + 100);
  EXPECT_EQ(second.sequenceSeconds[1], (std::vector<std::int64_t>{t + 2, t + 102}));
}

// Over the result limit, a new configuration deletes the results of audiences gone from
// both the stored and the new definitions; under it, nothing is deleted.
TEST_F(TLWAudienceTest, StaleResultsAreTrimmedOnlyOverTheLimit) {
  for (const char* limit : {"1", "200"}) {
    SCOPED_TRACE(limit);
    configure({{"measurement.audience.filter_result_max_count", limit}});
    ASSERT_TRUE(define({definition(30, {eventFilter(0, "a")}), definition(31, {eventFilter(0, "b")})}));
    bundleEvents({"a", "b"}, kNow);
    ASSERT_EQ(storedResults(), 2u);
    ASSERT_TRUE(define({definition(32, {eventFilter(0, "c")})}));
    EXPECT_EQ(storedResults(), 2u) << "30 and 31 are still stored definitions";
    ASSERT_TRUE(define({definition(33, {eventFilter(0, "d")})}));
    EXPECT_EQ(storedResults(), std::string_view(limit) == "1" ? 0u : 2u);
    ASSERT_TRUE(database->reset(nullptr));
  }
}

TEST_F(TLWAudienceTest, ARecordChangedByAPlainFilterCarriesItsSequenceListCutToTheLastTime) {
  ASSERT_TRUE(define({definition(6, {eventFilter(0, "step", nullptr, false, true), eventFilter(1, "buy")})}));
  bundleEvents({"step", "wait", "wait", "wait", "wait", "step"}, kNow);
  const auto t = static_cast<std::int64_t>(kNow);
  EXPECT_EQ(lastResults()[6].sequenceSeconds[0], (std::vector<std::int64_t>{t, t + 5}));
  bundleEvents({"buy"}, kNow + 100);
  auto after = lastResults()[6];
  EXPECT_EQ(after.results, std::vector<std::uint64_t>{3});
  EXPECT_EQ(after.sequenceSeconds[0], std::vector<std::int64_t>{t + 5});
}

// The timestamps a pass keeps: a dynamic filter keeps its latest time; a sequence filter
// keeps one time per second in order, a property's only its last; stored lists come back
// cut to their last time; everything is written in whole seconds.
TEST(TLWAudienceTimestampsCacheTest, KeepsTheTimesEachKindOfFilterNeeds) {
  TLWAudienceTimestampsCache cache(nullptr);
  auto dynamic = [](std::int32_t id) { return TLWFilterTimestampKind{7, id, true, true, false, false}; };
  auto sequence = [](std::int32_t id, bool event) { return TLWFilterTimestampKind{7, id, event, false, true, false}; };
  cache.addEvaluationTimestamp(100.9, dynamic(1));
  cache.addEvaluationTimestamp(50.0, dynamic(1));  // earlier: the later one stays
  for (double t : {10.2, 10.7, 12.5}) cache.addEvaluationTimestamp(t, sequence(2, true));
  for (double t : {20.0, 30.0}) cache.addEvaluationTimestamp(t, sequence(3, false));
  auto dynamicOut = cache.dynamicTimestampsForAudienceID(7);
  ASSERT_EQ(dynamicOut.size(), 1u);
  EXPECT_EQ(dynamicOut[0]->GetInt64(TLWPBDynamicFilterResultTimestamp::kTimestamp), 100);
  std::map<std::int32_t, std::vector<std::int64_t>> seconds;
  for (const auto& entry : cache.sequenceTimestampsForAudienceID(7)) {
    for (const auto& v : entry->GetRepeated(TLWPBSequenceFilterResultTimestamp::kEvalTimestamps)) {
      seconds[entry->GetInt32(TLWPBSequenceFilterResultTimestamp::kFilterId)].push_back(*v.int64Value());
    }
  }
  EXPECT_EQ(seconds[2], (std::vector<std::int64_t>{10, 12})) << "a second time in the same second is dropped";
  EXPECT_EQ(seconds[3], std::vector<std::int64_t>{30});

  // Stored lists are read back cut to their last time.
  auto stored = TLWPBResultData::initWithMessageInfo();
  auto entry = TLWPBSequenceFilterResultTimestamp::initWithMessageInfo();
  entry->SetInt32(TLWPBSequenceFilterResultTimestamp::kFilterId, 4);
  entry->SetRepeated(TLWPBSequenceFilterResultTimestamp::kEvalTimestamps, platform::Array{5, 9});
  stored->AddRepeatedMessage(TLWPBResultData::kSequenceFilterTimestamps, *entry);
  TLWAudienceTimestampsCache fromStore(nullptr);
  fromStore.populateCachedTimestamps(stored.get(), 8);
  auto cut = fromStore.sequenceTimestampsForAudienceID(8);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0]->GetRepeated(TLWPBSequenceFilterResultTimestamp::kEvalTimestamps), (platform::Array{9}));
}

TEST_F(TLWAudienceTest, DefinitionsAreValidatedAndLimited) {
  ASSERT_TRUE(define({definition(4, {eventFilter(0, "coin")}), definition(5, {eventFilter(10, "coin")}),
                      definition(4, {eventFilter(1, "coin")})}));
  TLWError error;
  auto rows = database->eventFiltersForEventName("coin", &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);  // filter ID 10 and the duplicate audience are refused
  EXPECT_EQ((*rows)[0]->audienceID(), 4);

  // Each invalid audience is refused alone; the valid one beside it is saved.
  auto bad = [](std::vector<std::shared_ptr<TLWPBEventFilter>> events,
                std::vector<std::shared_ptr<TLWPBPropertyFilter>> properties = {}, std::optional<std::int32_t> id = 2) {
    auto a = TLWPBAudience::initWithMessageInfo();
    if (id) a->SetInt32(TLWPBAudience::kAudienceId, *id);
    for (const auto& f : events) a->AddRepeatedMessage(TLWPBAudience::kEventFilters, *f);
    return withProperties(a, properties);
  };
  auto withParams = [](std::vector<std::shared_ptr<TLWPBFilter>> params) {
    auto f = eventFilter(0, "bad");
    for (const auto& p : params) f->AddRepeatedMessage(TLWPBEventFilter::kFilters, *p);
    return f;
  };
  auto floatCount = countOver(2, "1");
  floatCount->SetBool(TLWPBNumberFilter::kMatchAsFloat, true);
  auto noID = eventFilter(0, "bad");
  noID->ClearField(TLWPBEventFilter::kFilterId);
  std::vector<std::shared_ptr<TLWPBEventFilter>> eleven;
  std::vector<std::shared_ptr<TLWPBPropertyFilter>> five;
  for (int i = 0; i < 6; ++i) eleven.push_back(eventFilter(i, "bad"));
  for (int i = 0; i < 5; ++i) five.push_back(propertyFilter(i, "bad_p", filterOf(nullptr, stringIs(5, "x"))));
  std::vector<std::shared_ptr<TLWPBFilter>> params26(26, filterOf(countOver(2, "1"), nullptr, "p"));
  const auto number = filterOf(countOver(2, "1"), nullptr);
  struct Row {
    const char* what;
    std::shared_ptr<TLWPBAudience> audience;
    bool saved;
  };
  const Row cases[] = {
      {"valid event filter", bad({eventFilter(0, "bad")}), true},
      {"valid property filter", bad({}, {propertyFilter(0, "bad_p", number)}), true},
      {"no audience ID", bad({eventFilter(0, "bad")}, {}, std::nullopt), false},
      {"negative audience ID", bad({eventFilter(0, "bad")}, {}, -1), false},
      {"no filters", bad({}), false},
      {"eleven filters", bad(eleven, five), false},
      {"event name missing", bad({eventFilter(0, ""), eventFilter(1, "bad")}), false},
      {"event filter ID missing", bad({noID}), false},
      {"event filter ID negative", bad({eventFilter(-1, "bad")}), false},
      {"event filter ID twice", bad({eventFilter(0, "bad"), eventFilter(0, "bad")}), false},
      {"float count filter", bad({eventFilter(0, "bad", floatCount)}), false},
      {"invalid count filter", bad({eventFilter(0, "bad", countOver(0, "1"))}), false},
      {"26 parameter filters", bad({withParams(params26)}), false},
      {"parameter name missing", bad({withParams({filterOf(countOver(2, "1"), nullptr)})}), false},
      {"number and string", bad({withParams({filterOf(countOver(2, "1"), stringIs(5, "x"), "p")})}), false},
      {"neither number nor string", bad({withParams({filterOf(nullptr, nullptr, "p")})}), false},
      {"invalid number filter", bad({withParams({filterOf(countOver(2, "x"), nullptr, "p")})}), false},
      {"invalid string filter", bad({withParams({filterOf(nullptr, stringIs(0, "x"), "p")})}), false},
      {"property name missing", bad({}, {propertyFilter(0, "", number), propertyFilter(1, "bad_p", number)}), false},
      {"property filter ID missing", bad({}, {propertyFilter(std::nullopt, "bad_p", number)}), false},
      {"property filter ID out of range", bad({}, {propertyFilter(10, "bad_p", number)}), false},
      {"property filter ID twice", bad({}, {propertyFilter(0, "bad_p", number), propertyFilter(0, "bad_p", number)}),
       false},
      {"property without filter", bad({}, {propertyFilter(0, "bad_p", nullptr)}), false},
      {"property number and string", bad({}, {propertyFilter(0, "bad_p", filterOf(countOver(2, "1"), stringIs(5, "x")))}),
       false},
      {"property invalid regular expression", bad({}, {propertyFilter(0, "bad_p", filterOf(nullptr, stringIs(1, "(")))}),
       false},
  };
  for (const auto& r : cases) {
    ASSERT_TRUE(define({definition(1, {eventFilter(0, "coin")}), r.audience})) << r.what;
    const bool saved = !database->eventFiltersForEventName("bad", &error)->empty() ||
                       !database->propertyFiltersForPropertyName("bad_p", &error)->empty();
    EXPECT_EQ(saved, r.saved) << r.what;
    EXPECT_EQ(database->eventFiltersForEventName("coin", &error)->size(), 1u) << r.what;
  }

  std::vector<std::shared_ptr<TLWPBAudience>> tooMany;
  for (int i = 0; i < 51; ++i) tooMany.push_back(definition(100 + i, {eventFilter(0, "gem")}));
  EXPECT_FALSE(define(tooMany));
  rows = database->eventFiltersForEventName("coin", &error);
  EXPECT_EQ(rows->size(), 1u);  // the old definitions stay
  EXPECT_TRUE(database->eventFiltersForEventName("gem", &error)->empty());
}

}  // namespace
