#include "platform/app/Bundle.h"

#include <gtest/gtest.h>

#include "platform/PropertyList.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = testing::TestEnvironment::create();
    ASSERT_TRUE(env_);
    dir_ = env_->root() + "/Game.app";
    ASSERT_TRUE(env_->fileSystem()->createDirectories(dir_));
  }
  void writePlist(const std::string& name, const Value& value, PropertyListFormat format = PropertyListFormat::XML) {
    auto bytes = PropertyList::dataWithPropertyList(value, format);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(dir_ + "/" + name, *bytes));
  }
  void writeRaw(const std::string& name, std::string_view bytes) {
    ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(dir_ + "/" + name, bytes));
  }
  std::shared_ptr<Bundle> open() { return Bundle::bundleWithPath(dir_, env_->fileSystem()); }

  std::shared_ptr<testing::TestEnvironment> env_;
  std::string dir_;
};

TEST_F(BundleTest, InfoPlistValuesAreTypedWithoutConversionFromStrings) {
  writePlist("Info.plist", Value{{"CFBundleIdentifier", "com.example.game"},
                                 {"CFBundleShortVersionString", "2.1"},
                                 {"CFBundleVersion", "2.1.7"},
                                 {"TarnwickAutomaticScreenReportingEnabled", false},
                                 {"UseCFPreferencesLibrary", 1},
                                 {"Ratio", 0.25},
                                 {"AsString", "YES"},
                                 {"List", Value::array({"a", "b"})},
                                 {"Nested", Value{{"k", 3}}}},
             PropertyListFormat::Binary);
  auto bundle = open();
  EXPECT_EQ(bundle->bundlePath(), dir_);
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.game");
  EXPECT_EQ(bundle->shortVersionString(), "2.1");
  EXPECT_EQ(bundle->bundleVersion(), "2.1.7");
  EXPECT_EQ(bundle->boolForInfoDictionaryKey("TarnwickAutomaticScreenReportingEnabled"), false);
  EXPECT_TRUE(bundle->objectForInfoDictionaryKey("TarnwickAutomaticScreenReportingEnabled").isBool());
  EXPECT_EQ(bundle->boolForInfoDictionaryKey("UseCFPreferencesLibrary"), true);
  EXPECT_EQ(bundle->integerForInfoDictionaryKey("UseCFPreferencesLibrary"), 1);
  EXPECT_EQ(bundle->doubleForInfoDictionaryKey("Ratio"), 0.25);
  // A string is never read as a switch or a number.
  EXPECT_EQ(bundle->boolForInfoDictionaryKey("AsString"), std::nullopt);
  EXPECT_EQ(bundle->integerForInfoDictionaryKey("AsString"), std::nullopt);
  EXPECT_EQ(bundle->stringForInfoDictionaryKey("AsString"), "YES");
  EXPECT_EQ(bundle->stringForInfoDictionaryKey("Ratio"), std::nullopt);
  ASSERT_TRUE(bundle->arrayForInfoDictionaryKey("List"));
  EXPECT_EQ(bundle->arrayForInfoDictionaryKey("List")->size(), 2u);
  ASSERT_TRUE(bundle->dictionaryForInfoDictionaryKey("Nested"));
  EXPECT_EQ(bundle->dictionaryForInfoDictionaryKey("Nested")->get("k"), Value(3));
  EXPECT_EQ(bundle->boolForInfoDictionaryKey("Missing"), std::nullopt);
  EXPECT_TRUE(bundle->objectForInfoDictionaryKey("Missing").isNull());
}

TEST_F(BundleTest, CorruptOrWrongListsAreLoggedAndTreatedAsAbsent) {
  testing::LogCapture log;
  writeRaw("Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>CFBundleIdentifier</key><string>x");
  writePlist("VorlixService-Info.plist", Value::array({"not", "a", "dictionary"}));
  auto bundle = open();
  EXPECT_TRUE(bundle->infoDictionary().empty());
  EXPECT_EQ(bundle->bundleIdentifier(), "");
  EXPECT_TRUE(log.contains("I-APP000022", "Info.plist"));
  EXPECT_FALSE(bundle->serviceInfoDictionary().has_value());
  EXPECT_TRUE(log.contains("I-APP000023", "VorlixService-Info.plist"));
  // The file is there, so its path is still reported.
  EXPECT_EQ(bundle->serviceInfoPlistPath(), dir_ + "/VorlixService-Info.plist");
}

TEST_F(BundleTest, UnreadableAndOversizedListsAreAbsent) {
  testing::LogCapture log;
  writePlist("Info.plist", Value{{"CFBundleIdentifier", "com.example.game"}});
  writePlist("VorlixService-Info.plist", Value{{"VORLIX_APP_ID", "vx-1"}});
  env_->faultFileSystem()->setFailRead(true);
  auto unreadable = open();
  EXPECT_FALSE(unreadable->serviceInfoDictionary());
  env_->faultFileSystem()->setFailRead(false);
  EXPECT_TRUE(unreadable->infoDictionary().empty());
  EXPECT_EQ(log.withCode("I-APP000021").size(), 2u);
  // The service-info list is read on request, so it is there once reads work again.
  ASSERT_TRUE(unreadable->serviceInfoDictionary());
  EXPECT_EQ(unreadable->serviceInfoDictionary()->get("VORLIX_APP_ID"), Value("vx-1"));

  std::string huge(Bundle::kMaxPropertyListBytes + 1, ' ');
  writeRaw("Info.plist", huge);
  EXPECT_TRUE(open()->infoDictionary().empty());
  EXPECT_TRUE(log.contains("I-APP000020"));
}

TEST_F(BundleTest, MissingListsAreQuietlyEmpty) {
  testing::LogCapture log;
  auto bundle = open();
  EXPECT_TRUE(bundle->infoDictionary().empty());
  EXPECT_FALSE(bundle->serviceInfoDictionary());
  EXPECT_EQ(bundle->serviceInfoPlistPath(), "");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(BundleTest, ServiceInfoListAndResources) {
  writePlist("VorlixService-Info.plist", Value{{"VORLIX_APP_ID", "vx-1"}, {"QUADO_APP_ID", "qd-2"}});
  writeRaw("sound.ogg", "x");
  auto bundle = open();
  ASSERT_TRUE(bundle->serviceInfoDictionary());
  EXPECT_EQ(bundle->serviceInfoDictionary()->get("VORLIX_APP_ID"), Value("vx-1"));
  EXPECT_EQ(bundle->pathForResource("VorlixService-Info", "plist"), dir_ + "/VorlixService-Info.plist");
  EXPECT_EQ(bundle->pathForResource("sound", "ogg"), dir_ + "/sound.ogg");
  EXPECT_EQ(bundle->pathForResource("sound", "wav"), std::nullopt);
  // Names that would leave the bundle never match, even when the target exists.
  ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(env_->root() + "/outside.txt", "x"));
  EXPECT_EQ(bundle->pathForResource("../outside", "txt"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("", "plist"), std::nullopt);
}

TEST_F(BundleTest, MainBundleFolderComesFromTheExecutableUnlessOverridden) {
  auto info = env_->fakeProcessInfo();
  info->setExecutablePath("/opt/games/Game.app/Game");
  EXPECT_EQ(defaultMainBundlePath(*info), "/opt/games/Game.app");
  info->setExecutablePath("/Game");
  EXPECT_EQ(defaultMainBundlePath(*info), "/");
  info->setExecutablePath("");
  EXPECT_EQ(defaultMainBundlePath(*info), "");
  info->setEnvironmentVariable(kBundlePathEnvironmentVariable, dir_);
  EXPECT_EQ(defaultMainBundlePath(*info), dir_);
  info->setEnvironmentVariable(kBundlePathEnvironmentVariable, std::string());
  EXPECT_EQ(defaultMainBundlePath(*info), "");

  // A bundle whose Info.plist has no identifier answers the one the sandbox is named after.
  info->setExecutablePath("/opt/tools/plain_tool");
  EXPECT_EQ(Bundle::bundleWithPath(dir_, env_->fileSystem(), "plain-tool")->bundleIdentifier(), "plain-tool");
  writePlist("Info.plist", Value{{"CFBundleName", "Game"}});
  EXPECT_EQ(Bundle::bundleWithPath(dir_, env_->fileSystem(), "plain-tool")->bundleIdentifier(), "plain-tool");

  // The environment's main bundle is read through its own process info and file system.
  writePlist("Info.plist", Value{{"CFBundleIdentifier", "com.example.env"}});
  info->setEnvironmentVariable(kBundlePathEnvironmentVariable, dir_);
  auto bundle = env_->mainBundle();
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.env");
  EXPECT_EQ(env_->mainBundle(), bundle);
}

}  // namespace
}  // namespace platform
