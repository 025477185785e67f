#include "platform/Device.h"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/Keychain.h"
#include "platform/Random.h"
#include "platform/Sandbox.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = testing::TestEnvironment::create();
    ASSERT_TRUE(env);
  }
  std::shared_ptr<LinuxDevice> makeDevice() {
    return std::make_shared<LinuxDevice>(env->processInfo(), env->keychain(), std::make_shared<SecureRandom>(),
                                         env->clock());
  }
  std::shared_ptr<testing::TestEnvironment> env;
};

TEST_F(DeviceTest, OSVersionAndModelAreConfigurableAndSanitised) {
  auto device = makeDevice();
  EXPECT_EQ(device->osVersion(), kDefaultOSVersion);
  EXPECT_EQ(device->deviceModel(), kDefaultDeviceModel);
  EXPECT_EQ(device->platformName(), "ios");
  env->fakeProcessInfo()->setEnvironmentVariable(kOSVersionEnvironmentVariable, "16.4.1");
  env->fakeProcessInfo()->setEnvironmentVariable(kDeviceModelEnvironmentVariable, "iPad13,1");
  EXPECT_EQ(device->osVersion(), "16.4.1");
  EXPECT_EQ(device->deviceModel(), "iPad13,1");
  env->fakeProcessInfo()->setEnvironmentVariable(kOSVersionEnvironmentVariable, "17\n2");
  env->fakeProcessInfo()->setEnvironmentVariable(kDeviceModelEnvironmentVariable, std::string(500, 'x'));
  EXPECT_EQ(device->osVersion(), kDefaultOSVersion);
  EXPECT_EQ(device->deviceModel(), kDefaultDeviceModel);
}

TEST_F(DeviceTest, VendorIdentifierIsStableAcrossLaunchesAndDataWipes) {
  std::string first = makeDevice()->vendorIdentifier();
  ASSERT_TRUE(isUUIDv4(first)) << first;
  ASSERT_TRUE(wipeSandboxAppData(*env->fileSystem(), *env->sandbox()));
  env->relaunch();
  EXPECT_EQ(makeDevice()->vendorIdentifier(), first);
  // Another sandbox is another vendor.
  auto other = testing::TestEnvironment::create();
  LinuxDevice elsewhere(other->processInfo(), other->keychain(), std::make_shared<SecureRandom>(), other->clock());
  EXPECT_NE(elsewhere.vendorIdentifier(), first);
}

TEST_F(DeviceTest, VendorIdentifierIsEmptyRatherThanUnstableWhenTheStoreFails) {
  env->faultFileSystem()->setNoSpace(true);
  auto device = makeDevice();
  EXPECT_EQ(device->vendorIdentifier(), "");
  env->faultFileSystem()->clearFaults();
  std::string id = device->vendorIdentifier();
  EXPECT_TRUE(isUUIDv4(id));
  // An existing identifier that cannot be read is not replaced.
  env->relaunch();
  env->faultFileSystem()->setFailRead(true);
  EXPECT_EQ(makeDevice()->vendorIdentifier(), "");
  env->faultFileSystem()->clearFaults();
  EXPECT_EQ(makeDevice()->vendorIdentifier(), id);
}

TEST_F(DeviceTest, LocaleFactsAreWellFormedAndTheOffsetMatchesTheCLibrary) {
  auto device = makeDevice();
  std::string language = device->preferredLanguage();
  for (char c : language) EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') << language;
  EXPECT_EQ(language.find("-u-"), std::string::npos);
  EXPECT_EQ(device->localeIdentifier().find('-'), std::string::npos);
  std::time_t now = static_cast<std::time_t>(env->clock()->now());
  std::tm local {};
  ::localtime_r(&now, &local);
  EXPECT_EQ(device->timeZoneOffsetMinutes(), local.tm_gmtoff / 60);
}

}  // namespace
}  // namespace platform
