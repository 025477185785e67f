#include "platform/Environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/FileSystem.h"
#include "platform/Preferences.h"
#include "platform/Sandbox.h"
#include "platform/VXLAppEnvironmentUtil.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

TEST(EnvironmentTest, TheLinuxEnvironmentHonoursTheSandboxOverride) {
  auto scratch = testing::TestEnvironment::create();
  ASSERT_TRUE(scratch);
  const std::string root = scratch->root() + "/linux-root";
  ASSERT_EQ(::setenv(kSandboxEnvironmentVariable, root.c_str(), 1), 0);
  ASSERT_EQ(::setenv(kBundleIdentifierEnvironmentVariable, "com.example.env", 1), 0);
  auto env = Environment::makeDefault();
  EXPECT_EQ(env->sandbox()->root(), root);
  EXPECT_TRUE(env->fileSystem()->isDirectory(root + "/Library/Preferences"));
  EXPECT_EQ(env->sandbox(), env->sandbox());
  auto standard = std::static_pointer_cast<FilePreferencesSuite>(env->preferences()->standard());
  EXPECT_EQ(standard->path(), root + "/Library/Preferences/com.example.env.plist");
  standard->setObject("k", 1);
  ASSERT_TRUE(standard->synchronize());
  EXPECT_TRUE(PosixFileSystem().exists(standard->path()));
  EXPECT_FALSE(env->device()->vendorIdentifier().empty());
  EXPECT_TRUE(PosixFileSystem().exists(root + "/Keychain/keychain.plist"));
  ::unsetenv(kSandboxEnvironmentVariable);
  ::unsetenv(kBundleIdentifierEnvironmentVariable);
}

TEST(EnvironmentTest, CurrentIsReplaceableAndSharedInstancesFollowIt) {
  auto linux = Environment::current();
  ASSERT_TRUE(linux);
  EXPECT_EQ(Environment::current(), linux);
  {
    auto env = testing::TestEnvironment::create();
    env->fakeDevice()->setOSVersion("15.0");
    testing::ScopedCurrentEnvironment scope(env);
    EXPECT_EQ(Environment::current(), env);
    EXPECT_EQ(VXLAppEnvironmentUtil::systemVersion(), "15.0");
  }
  EXPECT_EQ(Environment::current(), linux);
  Environment::setCurrent(nullptr);
  auto fresh = Environment::current();
  EXPECT_TRUE(fresh);
  EXPECT_NE(fresh, linux);
  Environment::setCurrent(linux);
}

TEST(EnvironmentTest, TestEnvironmentComposesAndCleansUp) {
  std::string root;
  {
    auto env = testing::TestEnvironment::create("com.example.composed");
    ASSERT_TRUE(env);
    root = env->root();
    EXPECT_TRUE(PosixFileSystem().isDirectory(root + "/Library/Application Support"));
    // The Linux part of the wrapper builds on the test's parts.
    auto linuxPart = env->target();
    EXPECT_EQ(linuxPart->sandbox()->root(), root);
    auto prefs = linuxPart->preferences()->standard();
    EXPECT_EQ(std::static_pointer_cast<FilePreferencesSuite>(prefs)->path(),
              root + "/Library/Preferences/com.example.composed.plist");
    env->faultFileSystem()->setNoSpace(true);
    prefs->setObject("k", 1);
    EXPECT_FALSE(prefs->synchronize());  // the Linux preferences write through the faulty file system
    env->faultFileSystem()->clearFaults();

    // Replacements are used, and null restores the environment's own.
    auto clock = std::make_shared<testing::FakeClock>(5.0, 1.0);
    env->setClock(clock);
    EXPECT_EQ(env->clock(), clock);
    env->setClock(nullptr);
    EXPECT_EQ(env->clock(), env->fakeClock());

    // relaunch() drops what was never synchronized.
    env->preferences()->suite("s")->setObject("unsaved", 1);
    env->preferences()->suite("s")->setObject("saved", 2);
    ASSERT_TRUE(env->preferences()->suite("s")->synchronize());
    env->preferences()->suite("s")->setObject("unsaved", 3);
    env->relaunch();
    EXPECT_EQ(env->preferences()->suite("s")->objectForKey("saved"), Value(2));
    EXPECT_EQ(env->preferences()->suite("s")->objectForKey("unsaved"), Value(1));
  }
  EXPECT_FALSE(PosixFileSystem().exists(root));
}

}  // namespace
}  // namespace platform
