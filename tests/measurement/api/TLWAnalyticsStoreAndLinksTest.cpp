// The front controller's store and link wiring: the shared instance observes the payment
// queue from start-up on, and the app-delegate proxy carries the library's interceptor.

#include <gtest/gtest.h>

#include <algorithm>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TLWAppDelegateInterceptor.h"
#include "platform/StoreKit.h"
#include "platform/app/VXLAppDelegateSwizzler.h"
#include "platform/testing/FakeStoreKit.h"
#include "tests/measurement/api/TLWAnalyticsTestSupport.h"
#include "tests/support/Wait.h"

namespace tlw_api_test {
namespace {

class PurchaseBackend : public RecordingBackend {
 public:
  void reportFilteredTransactions(const platform::Array& transactions) override {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& t : transactions) {
      if (auto p = t.objectAs<platform::PaymentTransaction>()) reported.push_back(p->transactionIdentifier());
    }
  }
  void handleNonFirstOpenEventURL(const std::string& url, double) override {
    std::lock_guard<std::mutex> lock(mutex);
    urls.push_back(url);
  }
  std::vector<std::string> reported, urls;
};

class StoreAndLinksTest : public FrontControllerTest {
 protected:
  void SetUp() override {
    FrontControllerTest::SetUp();
    purchases = std::make_shared<PurchaseBackend>();
    TLWAnalyticsSetUpProcessState(purchases, env);
    store = std::make_shared<platform::testing::FakeStoreKit>(env->clock());
    env->setStoreKit(store);
  }
  std::shared_ptr<PurchaseBackend> purchases;
  std::shared_ptr<platform::testing::FakeStoreKit> store;
};

TEST_F(StoreAndLinksTest, StartUpObservesThePaymentQueueAndPurchasesReachTheReporter) {
  auto queue = store->defaultPaymentQueue();
  const auto early = queue->addPayment({"gems", 1});
  EXPECT_EQ(queue->observerCount(), 0u) << "nothing observes before start-up";
  start();
  EXPECT_EQ(queue->observerCount(), 1u);
  const auto bought = queue->addPayment({"gems", 2});
  drain();
  ASSERT_TRUE(tw_test_support::waitFor([&] {
    std::lock_guard<std::mutex> lock(purchases->mutex);
    return !purchases->reported.empty();
  }));
  std::lock_guard<std::mutex> lock(purchases->mutex);
  const auto& r = purchases->reported;
  EXPECT_EQ(std::count(r.begin(), r.end(), bought->transactionIdentifier()), 1);
  EXPECT_EQ(std::count(r.begin(), r.end(), early->transactionIdentifier()), 1)
      << "bought before start-up and not finished: told once the library observes";
}

TEST_F(StoreAndLinksTest, TheAppDelegateProxyCarriesTheInterceptor) {
  TLWAnalytics::createAppDelegateProxy();
  auto swizzler = platform::VXLAppDelegateSwizzler::sharedInstance();
  ASSERT_TRUE(swizzler);
  const auto interceptors = swizzler->interceptors();
  const auto mine = TLWAppDelegateInterceptor::sharedInstance();
  EXPECT_NE(std::find(interceptors.begin(), interceptors.end(), mine), interceptors.end());

  start();
  auto app = env->application();
  const auto url = platform::Value::url("skyforge://open?utm_source=a");
  EXPECT_FALSE(mine->application(*app, url, platform::Dictionary{}));
  auto activity = std::make_shared<platform::UserActivity>(std::string(platform::kNSUserActivityTypeBrowsingWeb),
                                                           "https://skyforge.example/?utm_source=b");
  EXPECT_FALSE(mine->application(*app, activity, platform::ApplicationDelegate::RestorationHandler{}));
  ASSERT_TRUE(TLWAnalytics::queue()->sync([] {}));
  std::lock_guard<std::mutex> lock(purchases->mutex);
  EXPECT_EQ(purchases->urls,
            (std::vector<std::string>{"skyforge://open?utm_source=a", "https://skyforge.example/?utm_source=b"}));
}

}  // namespace
}  // namespace tlw_api_test
