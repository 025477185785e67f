// The library as an app runs it, at the log level an app gets without debug or verbose
// logging: a user ID, events, consent, an upload to the local measurement service and a
// configuration fetch. No identifier of the user or the device may reach a log line.
// The engine is created once per process, so this is one scenario in its own executable.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "measurement/api/TWKAnalytics.h"
#include "measurement/config/TLWServiceEndpoint.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/monitor/TLWMonitor.h"
#include "platform/PropertyList.h"
#include "platform/VXLLogger.h"
#include "platform/app/Bundle.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKInstallations.h"
#include "platform/core/TWKOptions.h"
#include "platform/testing/FakeIdentityAdaptor.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Wait.h"
#include "tools/measurement-service/BatchReport.h"
#include "tools/measurement-service/ServiceCore.h"

namespace {

using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

constexpr const char* kAppID = "1:1234567890:ios:7a1c0ffee0d5";

TEST(LogPrivacy, NoIdentifierAppearsInAnyLogLineAtTheDefaultLevel) {
  platform::testing::LogCapture log;
  ASSERT_EQ(platform::VXLGetLoggerLevel(), platform::VXLLoggerLevel::Notice);

  measurement_service::ServiceCore service(measurement_service::ServiceOptions{});
  measurement_service::installDevelopmentHooks(service, nullptr);
  std::string error;
  ASSERT_TRUE(service.start(&error)) << error;

  auto env = platform::testing::TestEnvironment::create("com.vorlix.privacy");
  ASSERT_TRUE(env);
  // Real time: the upload waits for the product's own delay after the newest event.
  env->setClock(platform::Environment::makeDefault()->clock());
  env->fakeProcessInfo()->setEnvironmentVariable(std::string(kTLWMeasurementServiceURLEnvironmentVariable),
                                                 service.baseURL());
  const std::string vendorID = "5B1F3C2A-9D4E-4F60-8A7B-C0FFEE123456";
  const std::string advertisingID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  const std::string userID = "player-privacy-4d2c91";
  env->fakeDevice()->setVendorIdentifier(vendorID);
  auto adaptor = platform::testing::FakeIdentityAdaptor::install(env->classRegistry());
  ASSERT_TRUE(adaptor);
  adaptor->setAdvertisingIdentifier(advertisingID);
  const std::string bundleDir = env->root() + "/Privacy.app";
  ASSERT_TRUE(env->fileSystem()->createDirectories(bundleDir));
  env->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundleDir);
  auto info = platform::PropertyList::dataWithPropertyList(
      Value(Dictionary{{"CFBundleIdentifier", "com.vorlix.privacy"}, {"CFBundleShortVersionString", "1.0"}}),
      platform::PropertyListFormat::XML);
  ASSERT_TRUE(info && env->fileSystem()->writeFileAtomically(bundleDir + "/Info.plist", *info));
  platform::testing::ScopedCurrentEnvironment current(env);

  const platform::TWKOptions options(kAppID);
  ASSERT_TRUE(platform::TWKApp::configureWithOptions(options, env));
  TWKAnalytics::startWithConfiguration(Value(), options);
  TWKAnalytics::setConsent(Dictionary{{"ad_storage", "granted"}, {"analytics_storage", "granted"}});
  TWKAnalytics::setUserID(Value(userID));
  TWKAnalytics::setUserPropertyString("mage", "favorite_hero");
  TWKAnalytics::logEventWithName("level_up", Dictionary{{"level", 5}, {"character", "mage"}});
  TWKAnalytics::logEventWithName("purchase", Dictionary{{"value", 3}, {"currency", "EUR"}});

  auto uploaded = [&] {
    for (const auto& r : service.requests())
      if (r.method == "POST" && r.path == "/a" && r.status == 204) return true;
    return false;
  };
  auto fetchedConfiguration = [&] {
    for (const auto& r : service.requests())
      if (r.method == "GET" && r.path.starts_with("/config/app/")) return true;
    return false;
  };
  ASSERT_TRUE(tw_test_support::waitFor([&] { return uploaded() && fetchedConfiguration(); }, 90s, 50ms))
      << service.requestsJSON();
  EXPECT_FALSE(TLWMeasurement::monitor()->debugModeEnabled());

  // The identifiers as the library holds them.
  auto instanceID = TWKAnalytics::appInstanceID();
  ASSERT_TRUE(instanceID && !instanceID->empty());
  std::promise<std::optional<std::string>> installation;
  platform::TWKInstallations::installations()->installationIDWithCompletion(
      [&](std::optional<std::string> id, std::optional<std::string>) { installation.set_value(id); });
  auto installationID = installation.get_future().get();
  ASSERT_TRUE(installationID && !installationID->empty());
  ASSERT_EQ(env->device()->vendorIdentifier(), vendorID);
  // The batch carried them, so the library had them while it logged.
  std::string sent;
  for (const auto& r : service.requests())
    if (r.path == "/a") sent += r.decoded.value_or("");
  EXPECT_NE(sent.find(*instanceID), std::string::npos) << sent;
  EXPECT_NE(sent.find(userID), std::string::npos);

  const std::vector<std::pair<std::string, std::string>> identifiers = {
      {"app instance ID", *instanceID}, {"installation ID", *installationID}, {"vendor ID", vendorID},
      {"advertising ID", advertisingID}, {"user ID", userID}};
  auto lines = log.lines();
  for (const auto& line : lines) {
    EXPECT_LE(static_cast<int>(line.level), static_cast<int>(platform::VXLLoggerLevel::Notice)) << line.message;
    for (const auto& [what, value] : identifiers) {
      EXPECT_EQ(line.message.find(value), std::string::npos) << what << " in " << line.messageCode << ": " << line.message;
      EXPECT_EQ(line.service.find(value), std::string::npos) << what;
    }
  }
  std::printf("%zu log lines checked\n", lines.size());
  service.stop();
}

}  // namespace
