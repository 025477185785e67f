#include "measurement/storage/TLWKeychainWrapper.h"

#include <gtest/gtest.h>

#include "measurement/storage/TLWInfoPlistFileUtil.h"
#include "platform/PropertyList.h"
#include "tests/measurement/storage/StorageTestSupport.h"

using storage_test::TempDir;
using storage_test::TestStorageEnvironment;

namespace {

class TLWKeychainWrapperTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<TestStorageEnvironment> env = std::make_shared<TestStorageEnvironment>(dir.path());
};

TEST_F(TLWKeychainWrapperTest, ValueSurvivesRelaunchAndEmptyArgumentsAreRefused) {
  EXPECT_TRUE(TLWKeychainWrapper::upsertKeychainValue("1", "_pfo", "com.example.game", env));
  EXPECT_TRUE(TLWKeychainWrapper::upsertKeychainValue("2", "_pfo", "com.example.game", env));
  env->relaunch();
  EXPECT_EQ(TLWKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.game", env), "2");
  EXPECT_EQ(TLWKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.other", env), std::nullopt);
  EXPECT_EQ(TLWKeychainWrapper::keychainValueWithIdentifier("", "com.example.game", env), std::nullopt);
  EXPECT_FALSE(TLWKeychainWrapper::upsertKeychainValue("", "_pfo", "com.example.game", env));
  EXPECT_FALSE(TLWKeychainWrapper::upsertKeychainValue("v", "", "com.example.game", env));
  EXPECT_FALSE(TLWKeychainWrapper::upsertKeychainValue("v", "_pfo", "", env));
  EXPECT_TRUE(TLWKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", "com.example.game", env));
  EXPECT_EQ(TLWKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.game", env), std::nullopt);
}

TEST_F(TLWKeychainWrapperTest, ServiceInfoPlistIsFoundAndReadFromTheMainBundle) {
  EXPECT_EQ(TLWInfoPlistFileUtil::vorlixServiceInfoPlistPath(env), std::nullopt);
  EXPECT_EQ(TLWInfoPlistFileUtil::dictionaryFromVorlixServiceInfoPlist(env), std::nullopt);
  auto bytes = platform::PropertyList::dataWithPropertyList(
      platform::Value(platform::Dictionary{{"VORLIX_APP_ID", "1:123:ios:abc"}}), platform::PropertyListFormat::XML);
  ASSERT_TRUE(bytes);
  const std::string path = env->bundlePath() + "/VorlixService-Info.plist";
  storage_test::writeBytes(path, *bytes);
  EXPECT_EQ(TLWInfoPlistFileUtil::vorlixServiceInfoPlistPath(env), path);
  auto dict = TLWInfoPlistFileUtil::dictionaryFromVorlixServiceInfoPlist(env);
  ASSERT_TRUE(dict);
  EXPECT_EQ(dict->get("VORLIX_APP_ID"), platform::Value("1:123:ios:abc"));
  storage_test::writeBytes(path, "not a plist");
  EXPECT_EQ(TLWInfoPlistFileUtil::dictionaryFromVorlixServiceInfoPlist(env), std::nullopt);
}

}  // namespace
