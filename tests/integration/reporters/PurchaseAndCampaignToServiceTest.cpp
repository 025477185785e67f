// A purchase posted on the store's payment queue and a campaign URL opened through the app
// delegate travel the whole road: front controller, engine, database, bundle, upload, and
// arrive at the local measurement service as protocol-buffer batches.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "measurement/api/TWKAnalytics.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "platform/PropertyList.h"
#include "platform/StoreKit.h"
#include "platform/app/Application.h"
#include "platform/app/Bundle.h"
#include "platform/app/VXLAppDelegateSwizzler.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKOptions.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Wait.h"
#include "tools/measurement-service/ServiceCore.h"

namespace {

using platform::Dictionary;
using platform::Value;

constexpr const char* kAppID = "1:1234567890:ios:7a2b3c4d5e6f";

struct Param {
  std::string string;
  std::int64_t integer = 0;
};
using Event = std::map<std::string, Param>;

// Events of the batches the service received, by name.
std::multimap<std::string, Event> receivedEvents(const measurement_service::ServiceCore& service) {
  std::multimap<std::string, Event> out;
  for (const auto& request : service.requests()) {
    if (request.method != "POST" || request.path != "/a") continue;
    auto batch = TLWPBMeasurementBatch::initWithBuffer(std::string_view(request.payload()));
    if (!batch) continue;
    for (const auto& bundle : batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles)) {
      for (const auto& event : bundle->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents)) {
        Event e;
        for (const auto& p : event->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
          e[p->GetString(TLWPBEventParam::kName).value_or("")] = {
              p->GetString(TLWPBEventParam::kStringValue).value_or(""), p->GetInt64(TLWPBEventParam::kIntValue)};
        }
        out.emplace(event->GetString(TLWPBEvent::kName).value_or(""), std::move(e));
      }
    }
  }
  return out;
}

class DemoDelegate : public platform::ApplicationDelegate {
 public:
  bool respondsToSelector(std::string_view s) const override { return s == platform::kSelOpenURLOptions; }
  using ApplicationDelegate::application;
  bool application(platform::Application&, const Value&, const Dictionary&) override { return true; }
};

TEST(PurchaseAndCampaignToService, BothArriveWithTheirParameters) {
  auto env = platform::testing::TestEnvironment::create("com.vorlix.skyforge");
  ASSERT_TRUE(env);
  const std::filesystem::path root = env->root();
  measurement_service::ServiceOptions options;
  options.configDirectory = root / "service-config";
  std::filesystem::create_directories(options.configDirectory);
  std::ofstream(options.configDirectory / (std::string(kAppID) + ".json"))
      << R"({"version": 1, "app_id": ")" << kAppID << R"(", "settings": [
    {"name": "measurement.upload.initial_upload_delay_time", "value": "500"},
    {"name": "measurement.upload.realtime_upload_interval", "value": "1000"},
    {"name": "measurement.upload.interval", "value": "1000"}]})";
  measurement_service::ServiceCore service(options);
  std::string error;
  ASSERT_TRUE(service.start(&error)) << error;

  const std::string bundleDir = env->root() + "/Skyforge.app";
  ASSERT_TRUE(env->fileSystem()->createDirectories(bundleDir));
  env->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundleDir);
  env->fakeProcessInfo()->setEnvironmentVariable("TALLYWISE_MEASUREMENT_SERVICE_URL", service.baseURL());
  // In debug mode the library uploads about a second after new data.
  env->fakeProcessInfo()->setArguments({"Skyforge", "-TWKDebugEnabled"});
  auto write = [&](const std::string& name, const Dictionary& d) {
    auto bytes = platform::PropertyList::dataWithPropertyList(Value(d), platform::PropertyListFormat::XML);
    ASSERT_TRUE(bytes && env->fileSystem()->writeFileAtomically(bundleDir + "/" + name, *bytes));
  };
  write("Info.plist", {{"CFBundleIdentifier", "com.vorlix.skyforge"}, {"CFBundleVersion", "3.2"},
                       {"CFBundleShortVersionString", "3.2"}});
  write("StoreKitProducts.plist",
        {{"com.vorlix.skyforge.gems", Dictionary{{"price", "1.99"}, {"currency", "EUR"}, {"title", "Bag of gems"}}}});
  // The engine lives until the process ends, and so must what it was built on.
  static auto keep = env;
  platform::Environment::setCurrent(env);
  auto app = env->application();
  app->setDelegate(std::make_shared<DemoDelegate>());
  app->finishLaunching();
  ASSERT_TRUE(platform::TWKApp::configureWithOptions(platform::TWKOptions(kAppID), env));
  TWKAnalytics::startWithConfiguration(Value(), platform::TWKOptions(kAppID));
  // The app-delegate proxy is put in place on the main queue once the engine exists.
  ASSERT_TRUE(tw_test_support::waitFor([] {
    platform::MainRunLoop::drainMain();
    return platform::VXLAppDelegateSwizzler::sharedInstance()->isProxyInstalled();
  }));

  env->storeKit()->defaultPaymentQueue()->addPayment({"com.vorlix.skyforge.gems", 3});
  app->openURL(Value::url("skyforge://reward?utm_source=newsletter&utm_medium=email&utm_campaign=winter"));
  ASSERT_TRUE(tw_test_support::waitFor(
      [&] {
        platform::MainRunLoop::drainMain();
        auto events = receivedEvents(service);
        return events.count("_iap") && events.count("_cmp");
      },
      std::chrono::seconds(60), std::chrono::milliseconds(200)));
  const auto events = receivedEvents(service);
  EXPECT_EQ(events.count("_iap"), 1u);
  const Event& purchase = events.find("_iap")->second;
  EXPECT_EQ(purchase.at("product_id").string, "com.vorlix.skyforge.gems");
  EXPECT_EQ(purchase.at("price").integer, 1990000);
  EXPECT_EQ(purchase.at("value").integer, 5970000);
  EXPECT_EQ(purchase.at("currency").string, "EUR");
  EXPECT_EQ(purchase.at("validated").integer, 1);
  EXPECT_EQ(events.count("_cmp"), 1u);
  const Event& campaign = events.find("_cmp")->second;
  EXPECT_EQ(campaign.at("source").string, "newsletter");
  EXPECT_EQ(campaign.at("medium").string, "email");
  EXPECT_EQ(campaign.at("campaign").string, "winter");
  service.stop();
}

}  // namespace
