#include "measurement/reporters/TLWAEU.h"
#include "platform/StoreKit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/testing/TestEnvironment.h"

namespace {

struct Case {
  const char* what;
  const char* bundleSuffix;
  const char* model;
  std::vector<std::string> files;  // relative to the bundle
  bool storeBuild;
  bool aex, nod, asrs, fas;
};

TEST(TLWAEUTest, EnvironmentFactsFollowTheBundleDeviceAndExecutable) {
  const Case cases[] = {
      {"plain build", "/App.app", "iPhone15,2", {}, false, false, false, false, false},
      {"encrypted store build", "/App.app", "iPhone15,2", {}, true, false, false, false, true},
      {"encrypted but provisioned", "/App.app", "iPhone15,2", {"embedded.mobileprovision"}, true, false, false, false,
       false},
      {"store folder", "/App.app", "iPhone15,2", {"SC_Info"}, false, false, false, false, true},
      {"sandbox receipt", "/App.app", "iPhone15,2", {"StoreKit/sandboxReceipt", "SC_Info"}, true, false, false, true,
       false},
      {"simulator", "/App.app", "x86_64", {"SC_Info"}, true, false, true, false, false},
      {"extension", "/Share.appex", "iPhone15,2", {}, false, true, false, false, false},
  };
  for (const auto& c : cases) {
    auto env = platform::testing::TestEnvironment::create();
    const std::string bundle = env->root() + c.bundleSuffix;
    // "StoreKit/..." files are the store's, in the app's data folder; the rest the bundle's.
    const std::string receipts = platform::storeReceiptFolder(*env);
    std::filesystem::create_directories(bundle);
    std::filesystem::create_directories(receipts);
    for (const std::string& file : c.files) {
      std::ofstream(file.starts_with("StoreKit/") ? receipts + file.substr(8) : bundle + "/" + file) << "x";
    }
    env->fakeProcessInfo()->setEnvironmentVariable("TALLYWISE_BUNDLE_PATH", bundle);
    if (c.storeBuild) env->fakeProcessInfo()->setEnvironmentVariable("TALLYWISE_STORE_BUILD", "1");
    auto facts = platform::testing::FakeDevice::Facts{};
    facts.deviceModel = c.model;
    env->fakeDevice()->setFacts(facts);
    EXPECT_EQ(TLWAEU::isAEX(env), c.aex) << c.what;
    EXPECT_EQ(TLWAEU::isNOD(env), c.nod) << c.what;
    EXPECT_EQ(TLWAEU::isASRS(env), c.asrs) << c.what;
    EXPECT_EQ(TLWAEU::isFAS(env), c.fas) << c.what;
    EXPECT_EQ(TLWAEU::sharedApplication(env) == nullptr, c.aex) << c.what;
  }
}

}  // namespace
