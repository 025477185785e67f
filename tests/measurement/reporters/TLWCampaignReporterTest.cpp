// Campaigns from opened URLs, stored launch links and the deferred deep link.

#include "measurement/reporters/TLWCampaignReporter.h"

#include <gtest/gtest.h>

#include <httplib.h>

#include <cmath>
#include <thread>

#include "ReporterTestSupport.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "platform/app/Application.h"
#include "platform/app/UserActivity.h"
#include "platform/app/VXLAppDelegateSwizzler.h"
#include "platform/network/VXLNetwork.h"
#include "tests/support/Wait.h"

namespace {

using platform::Dictionary;
using platform::Value;

class RecordingHost : public TLWCampaignHost {
 public:
  void handleInternalEventOnWorkerQueue(std::shared_ptr<TLWEvent> event) override {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
  void setUserPropertyInDatabaseOnWorkerQueue(std::shared_ptr<TLWUserAttribute> attribute) override {
    std::lock_guard lock(mutex);
    properties.push_back(std::move(attribute));
  }
  void updateSchedule() override { ++schedules; }
  void setNetworkRequestPending(bool) override {}
  bool shouldUseBackgroundSession() override { return false; }
  std::shared_ptr<TLWRemoteConfig> remoteConfig() override { return TLWRemoteConfig::defaultInstance(); }
  std::shared_ptr<TLWIdentity> identity() override { return nullptr; }
  std::shared_ptr<platform::VXLNetwork> network() override { return client; }

  std::shared_ptr<platform::VXLNetwork> client;
  std::mutex mutex;
  std::vector<std::shared_ptr<TLWEvent>> events;
  std::vector<std::shared_ptr<TLWUserAttribute>> properties;
  std::atomic<int> schedules{0};
};

std::string param(const TLWEvent& e, const std::string& key) {
  auto it = e.parameters().find(key);
  if (it == e.parameters().end()) return "(absent)";
  if (auto s = it->second.stringValue()) return *s;
  return std::to_string(it->second.int64Value());
}

class CampaignTest : public reporter_test::ReporterFixture {
 protected:
  void SetUp() override {
    ReporterFixture::SetUp();
    host_ = std::make_shared<RecordingHost>();
    scheduler_ = TLWScheduler::initWithWorkerQueueLabel("com.vorlix.twka.worker.test");
    reporter_ = TLWCampaignReporter::create({host_, scheduler_, persisted_, env_, monitor_});
    ASSERT_TRUE(reporter_);
  }

  // The events written for one opened URL, after the worker queue ran.
  std::vector<std::shared_ptr<TLWEvent>> open(const std::string& url) {
    const std::size_t before = host_->events.size();
    reporter_->handleNonFirstOpenEventURL(url, kNow);
    EXPECT_TRUE(scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [] {}));
    std::lock_guard lock(host_->mutex);
    return {host_->events.begin() + static_cast<long>(before), host_->events.end()};
  }

  std::shared_ptr<RecordingHost> host_;
  std::shared_ptr<TLWScheduler> scheduler_;
  std::shared_ptr<TLWCampaignReporter> reporter_;
};

TEST_F(CampaignTest, OpenedURLsBecomeCampaignEvents) {
  const std::string longValue(5000, 'x');
  auto manyPieces = [](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += "&k" + std::to_string(i) + "=v";
    return out;
  };
  struct Case {
    std::string url;
    std::map<std::string, std::string> expected;  // empty: no event
    std::int64_t logCode = 0;
  } cases[] = {
      {"skyforge://open?utm_source=news&utm_medium=email&foo=bar",
       {{"source", "news"}, {"medium", "email"}, {"foo", "(absent)"}}},
      {"https://skyforge.example/p?utm_source=caf%C3%A9+bar&utm_medium=e%2Bmail&cis=ddp#frag",
       {{"source", "café bar"}, {"medium", "e+mail"}, {"_cis", "ddp"}}},
      {"skyforge://open?utm_source=first&utm_source=second&utm_campaign=spring", {{"source", "first"}, {"campaign", "spring"}}},
      {"skyforge://open?utm_source=&utm_medium=cpc&utm_term", {{"source", "(absent)"}, {"medium", "cpc"}, {"term", "(absent)"}}},
      {"skyforge://open?utm_source=%zz&utm_medium=cpc&&", {{"source", "(absent)"}, {"medium", "cpc"}}},
      {"skyforge://open?utm_source=" + longValue + "&utm_medium=cpc", {{"medium", "cpc"}}},
      {"skyforge://open?foo=bar", {}, 23001},
      {"skyforge://open", {}, 23000},
      {"skyforge://p#x?utm_source=a", {}, 23000},  // a "?" in the fragment starts no query
      {"skyforge://open?utm_source=a" + manyPieces(255), {{"source", "a"}}},
      {"skyforge://open?utm_source=a" + manyPieces(256), {}, 23252},  // 257 pieces: refused whole
      {"skyforge://open?utm_source=" + std::string(TLWCampaignReporter::kMaxURLLength, 'y'), {}, 23232},
  };
  for (const auto& c : cases) {
    recorder_->clear();
    auto events = open(c.url);
    const std::string label = c.url.substr(0, 80);
    if (c.expected.empty()) {
      EXPECT_TRUE(events.empty()) << label;
      EXPECT_TRUE(logged(c.logCode)) << label;
      continue;
    }
    ASSERT_EQ(events.size(), 1u) << label;
    EXPECT_EQ(events[0]->name(), "_cmp") << label;
    EXPECT_EQ(events[0]->origin(), "auto") << label;
    for (const auto& [key, value] : c.expected) EXPECT_EQ(param(*events[0], key), value) << label << " " << key;
  }
}

TEST_F(CampaignTest, ClickIDsNeedTrackingFromOS14OnWhileVbraidBecomesAProperty) {
  env_->fakeDevice()->setOSVersion("17.2");
  auto events = open("skyforge://open?vclid=click1&vbraid=braid1&utm_source=ads");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(param(*events[0], "vclid"), "(absent)");
  EXPECT_EQ(param(*events[0], "vbraid"), "braid1");
  ASSERT_EQ(host_->properties.size(), 1u);
  EXPECT_EQ(host_->properties[0]->name(), "_vbraid");
  env_->fakeDevice()->setOSVersion("13.7");
  events = open("skyforge://open?vclid=click2");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(param(*events[0], "vclid"), "click2");
  // A numeric click ID (a deferred deep link's answer) meets the same gate.
  env_->fakeDevice()->setOSVersion("17.2");
  EXPECT_TRUE(scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [&] {
    reporter_->handleOpenURLOnWorkerQueue("skyforge://open?utm_source=ads", std::nullopt, kNow,
                                          Dictionary{{"vclid", 12345}});
  }));
  std::lock_guard lock(host_->mutex);
  ASSERT_FALSE(host_->events.empty());
  EXPECT_EQ(param(*host_->events.back(), "vclid"), "(absent)");
}

TEST_F(CampaignTest, LaunchLinksAreStoredWithTheirTimeAndReportedOrExpired) {
  auto run = [&](std::optional<std::int64_t> click) {
    EXPECT_TRUE(scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [&] {
      reporter_->reportStoredCampaignEventOnWorkerQueue(click);
    }));
    std::lock_guard lock(host_->mutex);
    return host_->events.empty() ? nullptr : host_->events.back();
  };
  // A URL in the launch options, stored with no engine around.
  TLWCampaignReporter::storeLinkFromLaunchInfo(
      *env_, {{platform::kApplicationLaunchOptionsURLKey, Value::url("skyforge://l?utm_source=mail&utm_medium=news")}},
      *monitor_);
  EXPECT_TRUE(reporter_->hasStoredDeepLink());
  env_->fakeClock()->advance(3600);
  auto event = run(123);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->name(), "_cmp");
  EXPECT_EQ(param(*event, "source"), "mail");
  EXPECT_EQ(param(*event, "click_timestamp"), "123");
  const auto storedMillis = static_cast<std::int64_t>(kNow * 1000);
  EXPECT_EQ(param(*event, "_cc"), std::to_string(storedMillis / 3600000 * 3600000 - 3600000));
  EXPECT_FALSE(reporter_->hasStoredDeepLink());
  EXPECT_EQ(run(std::nullopt), event) << "reported once";

  // A browsing activity wins over the URL; eight days later it has expired.
  auto activity = std::make_shared<platform::UserActivity>(std::string(platform::kNSUserActivityTypeBrowsingWeb),
                                                           "https://skyforge.example/x?utm_source=web");
  TLWCampaignReporter::storeLinkFromLaunchInfo(
      *env_,
      {{platform::kApplicationLaunchOptionsURLKey, Value::url("skyforge://other")},
       {platform::kApplicationLaunchOptionsUserActivityDictionaryKey,
        Dictionary{{platform::kApplicationLaunchOptionsUserActivityKey,
                    Value(std::shared_ptr<platform::ValueObject>(activity))}}}},
      *monitor_);
  EXPECT_EQ(env_->preferences()->standard()->objectForKey(kTLWDeepLinkKey).stringOr(), activity->webpageURL());
  env_->fakeClock()->advance(8 * 86400);
  event = run(std::nullopt);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->name(), "_cmpx");
  EXPECT_EQ(param(*event, "source"), "(not set)");
  EXPECT_EQ(param(*event, "medium"), "(not set)");
  EXPECT_EQ(param(*event, "_cc"), "1");

  // A stored time that is not a number has expired.
  env_->preferences()->standard()->setObject(kTLWDeepLinkKey, Value("skyforge://l?utm_source=mail"));
  env_->preferences()->standard()->setObject(kTLWDeepLinkTimestampKey, Value(std::nan("")));
  event = run(std::nullopt);
  ASSERT_TRUE(event);
  EXPECT_EQ(param(*event, "source"), "(not set)");
  EXPECT_EQ(param(*event, "_cc"), "1");
}

TEST_F(CampaignTest, DeferredDeepLinkReachesTheAppsOwnFormOnceAndIsNotAskedForAgain) {
  // The app's delegate implements one form of the open-URL call, or none.
  class Delegate : public platform::ApplicationDelegate {
   public:
    explicit Delegate(std::string_view form) : form_(form) {}
    bool respondsToSelector(std::string_view s) const override { return !form_.empty() && s == form_; }
    using ApplicationDelegate::application;
    bool application(platform::Application&, const Value& url, const Dictionary& options) override {
      urls.push_back(url.urlString() ? *url.urlString() : "");
      timestamp = options.get("timestamp");
      return true;
    }
    bool application(platform::Application&, const Value& url, const std::string&, const Value& annotation) override {
      urls.push_back(url.urlString() ? *url.urlString() : "");
      timestamp = annotation.dictionary() ? annotation.dictionary()->get("timestamp") : Value();
      return true;
    }
    std::vector<std::string> urls;
    Value timestamp;

   private:
    std::string_view form_;
  };
  // The library's interceptor stands behind a proxy: the link must not reach it too.
  struct Interceptor : platform::ApplicationDelegate {
    bool respondsToSelector(std::string_view) const override { return true; }
    using ApplicationDelegate::application;
    bool application(platform::Application&, const Value&, const Dictionary&) override { return ++calls, false; }
    bool application(platform::Application&, const Value&, const std::string&, const Value&) override {
      return ++calls, false;
    }
    int calls = 0;
  };
  auto interceptor = std::make_shared<Interceptor>();
  auto swizzler = platform::VXLAppDelegateSwizzler::create(env_->application(), nullptr);
  (void)swizzler->registerAppDelegateInterceptor(interceptor);
  const std::string body = R"({"deeplink":"skyforge://ddl?utm_campaign=install","vclid":"c9","timestamp":"1700000000"})";
  auto info = TLWCampaignReporter::deepLinkInfoFromResponseData(Value::Data(body.begin(), body.end()), *monitor_);
  ASSERT_TRUE(info);
  for (std::string_view form : {platform::kSelOpenURLOptions, platform::kSelOpenURLSourceApplication,
                                std::string_view()}) {
    SCOPED_TRACE(form);
    auto delegate = std::make_shared<Delegate>(form);
    env_->application()->setDelegate(delegate);
    (void)swizzler->proxyOriginalDelegate();
    reporter_->handleDeferredDeepLinkInfo(*info);
    ASSERT_TRUE(tw_test_support::waitFor([&] {
      platform::MainRunLoop::drainMain();
      EXPECT_TRUE(scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [] {}));
      std::lock_guard lock(host_->mutex);
      return !host_->events.empty() || logged(23204);
    }, std::chrono::seconds(10)));
    std::lock_guard lock(host_->mutex);
    if (form.empty()) {
      EXPECT_TRUE(host_->events.empty()) << "an app that cannot open it gets no campaign from it";
      EXPECT_TRUE(delegate->urls.empty());
      continue;
    }
    ASSERT_EQ(delegate->urls.size(), 1u);
    EXPECT_EQ(delegate->timestamp.stringOr(), "1700000000");
    ASSERT_EQ(host_->events.size(), 1u);
    EXPECT_EQ(param(*host_->events[0], "campaign"), "install");
    EXPECT_EQ(param(*host_->events[0], "_cis"), "ddp");
    host_->events.clear();
  }
  EXPECT_EQ(interceptor->calls, 0);

  for (const std::string& bad : std::vector<std::string>{"", "not json", "[1,2]", "{}", R"({"deeplink": 5})", R"({"deeplink": "a:\u00zz"})", std::string(100, '[')}) {
    EXPECT_FALSE(TLWCampaignReporter::deepLinkInfoFromResponseData(Value::Data(bad.begin(), bad.end()), *monitor_))
        << bad;
  }
  // Once retrieved it is not asked for again; the retry limit gives up for good.
  persisted_->setDeferredDeepLinkRetrievalComplete(Value(0));
  EXPECT_FALSE(reporter_->shouldAllowRequestDeferredDeepLink());
  EXPECT_TRUE(logged(23194));
  persisted_->setDeferredDeepLinkRetrievalComplete(Value());
  persisted_->setDeferredDeepLinkRetryCount(5);
  EXPECT_FALSE(reporter_->shouldAllowRequestDeferredDeepLink());
  EXPECT_TRUE(logged(23195));
  EXPECT_FALSE(persisted_->deferredDeepLinkRetrievalComplete().isNull());
}

// The deferred deep link asked of a loopback service: the request's URL, and which answers
// end the retrieval, count a retry, or deliver the link.
TEST_F(CampaignTest, DeferredDeepLinkAnswersEndTheRetrievalOrCountARetry) {
  struct Answer {
    int status;
    std::string body;
  };
  std::mutex mutex;
  Answer answer;
  std::vector<std::string> requests;
  httplib::Server service;
  service.Get("/pagead/conversion/app/deeplink", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(mutex);
    std::string query;
    for (const auto& [key, value] : request.params) query += key + "=" + value + ";";
    requests.push_back(query);
    response.status = answer.status;
    if (!answer.body.empty()) response.set_content(answer.body, "application/json");
  });
  service.set_keep_alive_max_count(1);  // no idle connection holds stop() back
  const int port = service.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { service.listen_after_bind(); });
  struct StopServing {
    httplib::Server& service;
    std::thread& thread;
    ~StopServing() {
      service.stop();
      thread.join();
    }
  } stopServing{service, serving};  // also when an assertion leaves early
  env_->fakeProcessInfo()->setEnvironmentVariable(kTLWAdsServiceURLEnvironmentVariable,
                                                  "http://127.0.0.1:" + std::to_string(port) + "/");
  host_->client = std::make_shared<platform::VXLNetwork>("127.0.0.1");

  struct Case {
    Answer answer;
    bool complete;
    int retries;  // the retry count after the answer
    bool delivered;
  };
  const std::string link = R"({"deeplink":"skyforge://ddl?utm_campaign=install","timestamp":"1700000000"})";
  const Case cases[] = {{{500, ""}, false, 1, false}, {{404, ""}, false, 2, false}, {{204, ""}, true, 2, false},
                        {{304, ""}, true, 2, false},  {{200, "{}"}, true, 2, false}, {{200, link}, true, 2, true}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.answer.status);
    {
      std::lock_guard lock(mutex);
      answer = c.answer;
    }
    persisted_->setDeferredDeepLinkRetrievalComplete(Value());
    recorder_->clear();
    const int schedules = host_->schedules.load();
    EXPECT_TRUE(scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [&] { reporter_->requestDeferredDeepLink(); }));
    ASSERT_TRUE(tw_test_support::waitFor([&] {
      return persisted_->deferredDeepLinkRetryCount() == c.retries &&
             persisted_->deferredDeepLinkRetrievalComplete().isNull() != c.complete;
    }, std::chrono::seconds(10)));
    EXPECT_TRUE(scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [] {}));
    {
      std::lock_guard lock(mutex);
      ASSERT_EQ(requests.size(), i + 1);
      EXPECT_NE(requests[i].find("retry=" + std::to_string(i < 2 ? i : 2) + ";"), std::string::npos) << requests[i];
      EXPECT_NE(requests[i].find("sdk_version=" + std::to_string(kTLWLibraryNumericVersion) + ";"), std::string::npos);
      EXPECT_NE(requests[i].find("id_type=idfa;"), std::string::npos);
    }
    if (!c.delivered) {
      EXPECT_GT(host_->schedules.load(), schedules) << "uploads held for the request resume";
    }
    EXPECT_EQ(logged(23200), c.delivered);
  }

  // With the Info.plist switch off nothing else is consulted.
  writeInfoPlist({{"VORLIX_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", false}});
  recorder_->clear();
  EXPECT_FALSE(reporter_->shouldAllowRequestDeferredDeepLink());
  EXPECT_FALSE(logged(23194));
}

TEST_F(CampaignTest, OpenedURLsAreRefusedOnTheWorkerQueue) {
  EXPECT_TRUE(scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [&] {
    reporter_->handleNonFirstOpenEventURL("skyforge://open?utm_source=x", kNow);
  }));
  EXPECT_TRUE(scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [] {}));
  EXPECT_TRUE(host_->events.empty());
}

}  // namespace
