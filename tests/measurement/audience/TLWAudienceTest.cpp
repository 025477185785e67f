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

struct Leaf {
  std::vector<std::uint64_t> status, results;
  std::map<std::int32_t, std::vector<std::int64_t>> sequenceSeconds;  // by filter ID
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
  ASSERT_TRUE(define({definition(3, {eventFilter(0, "coin", countOver(2, "1"), true), eventFilter(1, "level_up")})}));
  bundleEvents({"coin", "coin", "level_up"}, kNow);
  EXPECT_EQ(lastResults()[3].results, std::vector<std::uint64_t>{3});
  // "_s" clears the session-scoped bit and the session counts: one coin is not enough now.
  bundleEvents({"_s", "coin"}, kNow + 100);
  auto after = lastResults();
  EXPECT_EQ(after[3].status, std::vector<std::uint64_t>{3});
  EXPECT_EQ(after[3].results, std::vector<std::uint64_t>{2});
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

  std::vector<std::shared_ptr<TLWPBAudience>> tooMany;
  for (int i = 0; i < 51; ++i) tooMany.push_back(definition(100 + i, {eventFilter(0, "gem")}));
  EXPECT_FALSE(define(tooMany));
  rows = database->eventFiltersForEventName("coin", &error);
  EXPECT_EQ(rows->size(), 1u);  // the old definitions stay
  EXPECT_TRUE(database->eventFiltersForEventName("gem", &error)->empty());
}

}  // namespace
