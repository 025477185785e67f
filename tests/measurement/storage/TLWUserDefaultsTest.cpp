#include "measurement/storage/TLWUserDefaults.h"

#include <gtest/gtest.h>

#include "tests/measurement/storage/StorageTestSupport.h"

using platform::Value;
using storage_test::TempDir;
using storage_test::TestStorageEnvironment;

namespace {

class TLWUserDefaultsTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<TestStorageEnvironment> env = std::make_shared<TestStorageEnvironment>(dir.path());
};

TEST_F(TLWUserDefaultsTest, TypedReadsNeverConvertBetweenKinds) {
  auto defaults = TLWUserDefaults::initWithSuiteName("suite.a", env);
  ASSERT_TRUE(defaults);
  EXPECT_TRUE(defaults->setObject(Value("12"), "text"));
  EXPECT_TRUE(defaults->setInteger(7, "number"));
  EXPECT_TRUE(defaults->setDouble(2.5, "double"));
  EXPECT_TRUE(defaults->setBool(true, "flag"));
  EXPECT_EQ(defaults->integerForKey("text"), 0);
  EXPECT_EQ(defaults->stringForKey("number"), std::nullopt);
  EXPECT_EQ(defaults->integerForKey("number"), 7);
  EXPECT_DOUBLE_EQ(defaults->doubleForKey("double"), 2.5);
  EXPECT_FLOAT_EQ(defaults->floatForKey("double"), 2.5f);
  EXPECT_TRUE(defaults->boolForKey("flag"));
  EXPECT_FALSE(defaults->boolForKey("text"));
  EXPECT_EQ(defaults->arrayForKey("text"), std::nullopt);
  EXPECT_EQ(defaults->dictionaryForKey("number"), std::nullopt);

  // Null removes; empty keys and values without a stored form are refused.
  EXPECT_TRUE(defaults->setObject(Value(), "text"));
  EXPECT_TRUE(defaults->objectForKey("text").isNull());
  EXPECT_FALSE(defaults->setObject(Value("x"), ""));
  EXPECT_TRUE(defaults->objectForKey("").isNull());
  EXPECT_FALSE(defaults->setObject(Value::url("https://example.invalid/"), "number"));
  EXPECT_EQ(defaults->integerForKey("number"), 7);
}

TEST_F(TLWUserDefaultsTest, SynchronizeWritesTheSuiteExcludesItFromBackupAndSurvivesRelaunch) {
  auto defaults = TLWUserDefaults::initWithSuiteName("suite.b", env);
  ASSERT_TRUE(defaults);
  EXPECT_FALSE(defaults->isPreferenceFileExcluded());
  ASSERT_TRUE(defaults->setObject(Value(platform::Dictionary{{"a", 1}, {"b", "two"}}), "dict"));
  ASSERT_TRUE(defaults->setObject(Value::array({1, "x"}), "list"));
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_TRUE(std::filesystem::exists(defaults->preferenceFilePath()));
  EXPECT_TRUE(defaults->isPreferenceFileExcluded());
  EXPECT_TRUE(env->fileSystem()->isExcludedFromBackup(defaults->preferenceFilePath()));

  env->relaunch();
  auto again = TLWUserDefaults::initWithSuiteName("suite.b", env);
  ASSERT_TRUE(again);
  auto dict = again->dictionaryForKey("dict");
  ASSERT_TRUE(dict);
  EXPECT_EQ(dict->get("b"), Value("two"));
  EXPECT_EQ(again->arrayForKey("list")->size(), 2u);

  again->clearAllData();
  EXPECT_TRUE(again->synchronize());
  env->relaunch();
  auto cleared = TLWUserDefaults::initWithSuiteName("suite.b", env);
  EXPECT_TRUE(cleared->dictionaryRepresentation().empty());
}

TEST_F(TLWUserDefaultsTest, EmptySuiteIsTheStandardSuite) {
  auto standard = TLWUserDefaults::initWithSuiteName("", env);
  ASSERT_TRUE(standard);
  EXPECT_EQ(standard->applicationID(), env->preferences()->standard()->name());
  ASSERT_TRUE(standard->setInteger(3, "k"));
  EXPECT_EQ(env->preferences()->standard()->objectForKey("k"), Value(3));
}

}  // namespace
