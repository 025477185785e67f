// Search-ads attribution: an absent client, errors and placeholder answers retried a day
// apart, a late answer, the retry limit, and the one campaign event.

#include "measurement/reporters/TLWSearchAdReporter.h"

#include <gtest/gtest.h>

#include "ReporterTestSupport.h"
#include "platform/testing/FakeStoreKit.h"
#include "tests/support/Wait.h"

namespace {

using platform::Dictionary;
using platform::testing::FakeSearchAdsClient;

Dictionary details(bool attribution, std::string name = "Spring", std::string id = "42") {
  return Dictionary{{"Version3.1", Dictionary{{"iad-attribution", attribution ? "true" : "false"},
                                               {"iad-campaign-name", name},
                                               {"iad-keyword", "castle game"},
                                               {"iad-campaign-id", id}}}};
}

class SearchAdTest : public reporter_test::ReporterFixture {
 protected:
  void SetUp() override {
    ReporterFixture::SetUp();
    queue_ = platform::DispatchQueue::create("search-ad-test-worker");
    client_ = std::make_shared<FakeSearchAdsClient>();
  }

  std::shared_ptr<TLWSearchAdReporter> make() {
    auto reporter = TLWSearchAdReporter::initWithWorkerQueue(
        queue_, persisted_, env_, [this](const std::string& n, const Dictionary& p) { events_.add(n, p); }, monitor_);
    if (reporter) reporter->setSearchAdReporterEnabled(true);
    return reporter;
  }
  void onQueue(const std::function<void()>& block) { ASSERT_TRUE(queue_->sync(block)); }
  bool waitForRequests(std::size_t n) {
    return tw_test_support::waitFor([&] { return client_->requestCount() >= n; }, std::chrono::seconds(10));
  }

  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<FakeSearchAdsClient> client_;
};

TEST_F(SearchAdTest, WithoutTheServiceNothingIsAsked) {
  auto reporter = make();
  ASSERT_TRUE(reporter);
  onQueue([&] { reporter->start(); });
  EXPECT_TRUE(logged(32003));
  EXPECT_FALSE(reporter->scheduledTimestamp());
  EXPECT_EQ(persisted_->searchAdRetryCount(), 0);
}

TEST_F(SearchAdTest, ErrorsAndPlaceholdersRetryADayApartThenTheAnswerIsReportedOnce) {
  ASSERT_TRUE(FakeSearchAdsClient::install(*env_, client_));
  client_->enqueueAnswer({std::nullopt, "network down"});
  client_->enqueueAnswer({details(true, "CampaignName", "1234567890"), ""});
  persisted_->setFirstOpenTimestampMilliseconds(1'700'000'000'000);
  auto reporter = make();
  ASSERT_TRUE(reporter);
  onQueue([&] { reporter->start(); });  // never looked up: due at once
  ASSERT_TRUE(waitForRequests(1));
  onQueue([] {});
  EXPECT_TRUE(logged(32010));
  EXPECT_EQ(reporter->scheduledTimestamp(), kNow + 86400);
  // A day later the alarm runs again (driven here directly).
  env_->fakeClock()->advance(86400);
  onQueue([&] {
    reporter->cancelScheduling();
  });
  auto second = make();
  ASSERT_TRUE(second);
  onQueue([&] { second->maybeLogIAdCampaignEvent(); });
  EXPECT_EQ(events_.size(), 0u);
  EXPECT_EQ(persisted_->searchAdRetryCount(), 2);

  // The third answer comes late, after the next look-up was scheduled.
  env_->fakeClock()->advance(86400);
  onQueue([&] { second->maybeLogIAdCampaignEvent(); });
  EXPECT_TRUE(second->scheduledTimestamp());
  ASSERT_TRUE(client_->release({details(true), ""}));
  ASSERT_EQ(events_.size(), 1u);
  const auto event = events_.events()[0];
  EXPECT_EQ(event.name, "_cmp");
  EXPECT_EQ(event.string("source"), "Apple");
  EXPECT_EQ(event.string("medium"), "search");
  EXPECT_EQ(event.string("campaign"), "Spring");
  EXPECT_EQ(event.string("term"), "castle game");
  EXPECT_EQ(event.integer("click_timestamp"), 1'699'999'999'999);
  EXPECT_FALSE(second->scheduledTimestamp()) << "the answer ends the schedule";
  // Another answer changes nothing, and no later launch asks again.
  second->logCampaignEventWithSearchAdCampaign(true, "Again", "");
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_FALSE(make());
  EXPECT_TRUE(logged(32002));
}

TEST_F(SearchAdTest, LookUpsAreADayApartAndStopAfterTenAttempts) {
  ASSERT_TRUE(FakeSearchAdsClient::install(*env_, client_));
  persisted_->setSearchAdRetryCount(9);
  persisted_->setLastSearchAdLookUpTimestamp(kNow - 3 * 3600);
  auto waiting = make();
  ASSERT_TRUE(waiting);
  onQueue([&] { waiting->start(); });
  EXPECT_EQ(waiting->scheduledTimestamp(), kNow + 21 * 3600) << "a day after the last look-up";
  waiting.reset();

  // The tenth attempt fails: no eleventh is scheduled, and no later launch starts one.
  persisted_->setLastSearchAdLookUpTimestamp(kNow - 2 * 86400);
  client_->enqueueAnswer({std::nullopt, "still down"});
  auto reporter = make();
  ASSERT_TRUE(reporter);
  onQueue([&] { reporter->start(); });
  ASSERT_TRUE(waitForRequests(1));
  onQueue([] {});
  EXPECT_EQ(persisted_->searchAdRetryCount(), 10);
  EXPECT_FALSE(reporter->scheduledTimestamp());
  EXPECT_FALSE(make()) << "no reporter once the attempts ran out";
}

// Disabled means no request, and an answer that arrives after disabling is not kept as
// reported; enabling again resumes the look-ups.
TEST_F(SearchAdTest, DisablingCollectionStopsLookUpsUntilItIsEnabledAgain) {
  ASSERT_TRUE(FakeSearchAdsClient::install(*env_, client_));
  persisted_->setFirstOpenTimestampMilliseconds(1'700'000'000'000);
  persisted_->setLastSearchAdLookUpTimestamp(kNow - 3 * 3600);
  auto reporter = make();
  ASSERT_TRUE(reporter);
  onQueue([&] { reporter->start(); });
  ASSERT_TRUE(reporter->scheduledTimestamp());
  onQueue([&] { reporter->setSearchAdReporterEnabled(false); });
  EXPECT_FALSE(reporter->scheduledTimestamp()) << "the armed look-up is cancelled";
  onQueue([&] { reporter->maybeLogIAdCampaignEvent(); });
  EXPECT_EQ(client_->requestCount(), 0u) << "the alarm firing anyway asks nothing";

  // A look-up in flight when collection is disabled: its answer is dropped.
  onQueue([&] { reporter->setSearchAdReporterEnabled(true); });
  EXPECT_TRUE(reporter->scheduledTimestamp()) << "enabling again reschedules";
  onQueue([&] { reporter->maybeLogIAdCampaignEvent(); });
  ASSERT_TRUE(waitForRequests(1));
  onQueue([&] { reporter->setSearchAdReporterEnabled(false); });
  ASSERT_TRUE(client_->release({details(true), ""}));
  onQueue([] {});
  EXPECT_EQ(events_.size(), 0u);
  EXPECT_TRUE(persisted_->searchAdCampaignValue().isNull()) << "not stored as reported";
}

// An answer without a usable campaign is retried a day later, stores nothing and logs no event.
TEST_F(SearchAdTest, GarbageAnswersAreRetriedWithoutAnEvent) {
  ASSERT_TRUE(FakeSearchAdsClient::install(*env_, client_));
  struct Case {
    const char* what;
    std::optional<Dictionary> details;
    bool emptyLogged;
  };
  const Case cases[] = {
      {"no details", std::nullopt, true},
      {"empty details", Dictionary{}, true},
      {"first value not a dictionary", Dictionary{{"Version3.1", "true"}, {"Version4", details(true).at(0).second}}, false},
      {"first value an empty dictionary", Dictionary{{"Version3.1", Dictionary{}}}, false},
  };
  std::size_t requests = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder_->clear();
    persisted_->setSearchAdRetryCount(0);
    persisted_->setLastSearchAdLookUpTimestamp(0);
    client_->enqueueAnswer({c.details, ""});
    auto reporter = make();
    ASSERT_TRUE(reporter);
    onQueue([&] { reporter->start(); });
    ASSERT_TRUE(waitForRequests(++requests));
    onQueue([] {});
    EXPECT_EQ(logged(32011), c.emptyLogged);
    EXPECT_EQ(reporter->scheduledTimestamp(), kNow + 86400);
    EXPECT_EQ(persisted_->searchAdRetryCount(), 1);
    EXPECT_TRUE(persisted_->searchAdCampaignValue().isNull());
    EXPECT_EQ(events_.size(), 0u);
  }
}

TEST_F(SearchAdTest, ANegativeAnswerIsStoredWithoutAnEvent) {
  persisted_->setFirstOpenTimestampMilliseconds(1);
  auto reporter = make();
  ASSERT_TRUE(reporter);
  reporter->logCampaignEventWithSearchAdCampaign(false, "x", "y");
  EXPECT_EQ(events_.size(), 0u);
  EXPECT_EQ(persisted_->searchAdCampaignValue().boolValue(), false);
  persisted_->setSearchAdCampaignValue(platform::Value());
  auto again = make();
  again->logCampaignEventWithSearchAdCampaign(true, "", "");
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_FALSE(events_.events()[0].parameters.contains("click_timestamp"));
  EXPECT_FALSE(events_.events()[0].parameters.contains("campaign"));
}

}  // namespace
