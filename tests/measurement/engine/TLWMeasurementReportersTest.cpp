// The engine with its real purchase and campaign reporters: a link given at launch before
// any engine exists, and a purchase from the store's queue to the stored event.

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <filesystem>

#include "MeasurementTestSupport.h"
#include "measurement/reporters/TLWCampaignReporter.h"
#include "platform/StoreKit.h"
#include "platform/app/Application.h"
#include "tests/support/Wait.h"

using measurement_test::MeasurementFixture;

namespace {

std::string stringParameter(const TLWEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end() || !it->second.stringValue()) return "(absent)";
  return *it->second.stringValue();
}
std::int64_t intParameter(const TLWEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  return it == event.parameters().end() ? -999 : it->second.int64Value();
}

}  // namespace

TEST_F(MeasurementFixture, ALaunchLinkGivenBeforeAnyEngineIsReportedAtFirstOpenOnce) {
  sandbox_->fakeClock()->setNow(1'700'000'000.0);
  TLWMeasurement::load(sandbox_);
  sandbox_->application()->finishLaunching(
      {{platform::kApplicationLaunchOptionsURLKey, platform::Value::url("skyforge://p?utm_source=news&utm_medium=email")}});
  platform::MainRunLoop::drainMain();
  auto prefs = sandbox_->preferences()->standard();
  EXPECT_EQ(prefs->objectForKey(kTLWDeepLinkTimestampKey).doubleValue(), 1'700'000'000.0) << "stored with its time";

  sandbox_->fakeClock()->advance(60);
  auto first = launch();
  const auto campaigns = first->front->events("_cmp");
  ASSERT_EQ(campaigns.size(), 1u) << "listeners hear of a campaign once";
  EXPECT_EQ(stringParameter(*campaigns[0], "source"), "news");
  EXPECT_EQ(stringParameter(*campaigns[0], "medium"), "email");
  EXPECT_EQ(intParameter(*campaigns[0], "click_timestamp"), 1'700'000'060'000 - 1);
  const auto names = first->storedEventNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "_cmp"), 1);
  EXPECT_TRUE(first->front->events("_cmpx").empty()) << "a link stored a minute ago has not expired";
}

// The Linux store of an installed app (its bundle may be read-only): the receipt lives in
// the app's data folder and records what the catalog declares, so the subscription paths of
// the purchase reporter run on real purchases.
TEST_F(MeasurementFixture, TheStoreRecordsTheCatalogsProductTypesForAReadOnlyInstallation) {
  using platform::Dictionary;
  auto bytes = platform::PropertyList::dataWithPropertyList(
      platform::Value(Dictionary{
          {"gems", Dictionary{{"price", "0.99"}, {"currency", "EUR"}}},
          {"skin", Dictionary{{"price", "2.99"}, {"currency", "EUR"}, {"type", "non_consumable"}}},
          {"pass", Dictionary{{"price", "4.99"}, {"currency", "EUR"}, {"type", "non_renewing"}}},
          {"vip", Dictionary{{"price", "9.99"}, {"currency", "EUR"}, {"type", "auto_renewable"}, {"period_days", 7},
                             {"introductory_price", "0"}, {"introductory_payment_mode", 2}}}}),
      platform::PropertyListFormat::XML);
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(sandbox_->fileSystem()->writeFileAtomically(bundleDir_ + "/StoreKitProducts.plist", *bytes));
  auto first = launch();
  auto queue = first->env->storeKit()->defaultPaymentQueue();
  auto buy = [&](const std::string& product) {
    const auto bought = queue->addPayment({product, 1});
    std::promise<void> done;
    first->engine->filterPurchaseTransactions(
        platform::Array{platform::Value(std::shared_ptr<platform::ValueObject>(bought))},
        [&](const platform::Array& kept) {
          first->engine->reportFilteredTransactions(kept);
          done.set_value();
        });
    done.get_future().wait();
    sandbox_->fakeClock()->advance(7 * 86400);  // the next purchase renews the subscription
  };
  for (const char* product : {"gems", "skin", "pass", "vip", "vip"}) buy(product);
  // The paid period after the free trial is a conversion ("_assc").
  ASSERT_TRUE(tw_test_support::waitFor(
      [&] { return first->front->events("_iap").size() == 4 && first->front->events("_assc").size() == 1; },
      std::chrono::seconds(20)));
  first->drain();
  EXPECT_TRUE(first->front->events("_iapx").empty()) << "every purchase verifies against the receipt";
  const std::vector<std::map<std::string, std::int64_t>> expected = {
      {{"subscription", 0}, {"free_trial", 0}},  // gems
      {{"subscription", 0}, {"free_trial", 0}},  // skin
      {{"subscription", 1}, {"free_trial", 0}},  // pass
      {{"subscription", 1}, {"free_trial", 1}},  // vip, its trial
  };
  auto flag = [](const TLWEvent& e, const std::string& name) {
    const auto v = intParameter(e, name);
    return v == -999 ? 0 : v;
  };
  const auto purchases = first->front->events("_iap");
  for (std::size_t i = 0; i < purchases.size(); ++i) {
    for (const auto& [name, value] : expected[i]) {
      EXPECT_EQ(flag(*purchases[i], name), value) << "purchase " << i << " " << name;
    }
    EXPECT_EQ(flag(*purchases[i], "invalid"), 0) << "purchase " << i;
  }
  const auto converted = first->front->events("_assc");
  EXPECT_EQ(stringParameter(*converted[0], "product_id"), "vip");
  EXPECT_EQ(intParameter(*converted[0], "value"), 9990000);
  EXPECT_TRUE(first->env->fileSystem()->exists(platform::storeReceiptFolder(*first->env) + "/receipt"));
  EXPECT_FALSE(first->env->fileSystem()->exists(bundleDir_ + "/StoreKit")) << "nothing is written into the bundle";
}

TEST_F(MeasurementFixture, APurchaseFromTheStoreBecomesOneStoredPurchaseEvent) {
  auto bytes = platform::PropertyList::dataWithPropertyList(
      platform::Value(platform::Dictionary{
          {"gems", platform::Dictionary{{"price", "0.29"}, {"currency", "EUR"}, {"title", "Gems"}}}}),
      platform::PropertyListFormat::XML);
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(sandbox_->fileSystem()->writeFileAtomically(bundleDir_ + "/StoreKitProducts.plist", *bytes));
  auto first = launch();
  auto store = first->env->storeKit();
  EXPECT_EQ(store->adNetworkRegistrationCount(), 1) << "first open registers for ad-network attribution";
  const auto bought = store->defaultPaymentQueue()->addPayment({"gems", 2});
  platform::Array transactions{platform::Value(std::shared_ptr<platform::ValueObject>(bought))};
  for (int i = 0; i < 2; ++i) {  // the queue may tell the same purchase again
    std::promise<void> done;
    first->engine->filterPurchaseTransactions(transactions, [&](const platform::Array& kept) {
      first->engine->reportFilteredTransactions(kept);
      done.set_value();
    });
    done.get_future().wait();
  }
  ASSERT_TRUE(tw_test_support::waitFor([&] { return !first->front->events("_iap").empty(); }, std::chrono::seconds(20)));
  first->drain();
  const auto purchases = first->front->events("_iap");
  ASSERT_EQ(purchases.size(), 1u);
  EXPECT_EQ(intParameter(*purchases[0], "price"), 290000);
  EXPECT_EQ(intParameter(*purchases[0], "value"), 580000);
  EXPECT_EQ(stringParameter(*purchases[0], "currency"), "EUR");
  EXPECT_TRUE(first->front->events("_iapx").empty()) << "the store's receipt verifies on this device";
  const auto names = first->storedEventNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "_iap"), 1);
}
