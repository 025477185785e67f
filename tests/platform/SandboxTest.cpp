#include "platform/Sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/FileSystem.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

TEST(SandboxTest, TheRootComesFromTheOverrideThenXDGThenHome) {
  testing::FakeProcessInfo info;
  info.setEnvironmentVariable("HOME", "/home/player");
  EXPECT_EQ(defaultSandboxRoot(info, "com.example.game"), "/home/player/.local/share/tallywise/com.example.game");
  info.setEnvironmentVariable("XDG_DATA_HOME", "relative/ignored");
  EXPECT_EQ(defaultSandboxRoot(info, "com.example.game"), "/home/player/.local/share/tallywise/com.example.game");
  info.setEnvironmentVariable("XDG_DATA_HOME", "/data/");
  EXPECT_EQ(defaultSandboxRoot(info, "com.example.game"), "/data/tallywise/com.example.game");
  EXPECT_EQ(defaultSandboxRoot(info, ".."), "/data/tallywise/app");
  EXPECT_EQ(defaultSandboxRoot(info, "a/../../b"), "/data/tallywise/app");
  info.setEnvironmentVariable(kSandboxEnvironmentVariable, "/sandbox/here/");
  EXPECT_EQ(defaultSandboxRoot(info, "com.example.game"), "/sandbox/here");
  info.setEnvironmentVariable(kSandboxEnvironmentVariable, "");
  EXPECT_EQ(defaultSandboxRoot(info, "com.example.game"), "/data/tallywise/com.example.game");

  // Without the variable a plain program is named after its executable.
  for (auto [exe, id] : std::vector<std::pair<std::string, std::string>>{{"", kDefaultBundleIdentifier},
                                                                         {"/opt/bin/", kDefaultBundleIdentifier},
                                                                         {"/opt/bin/...", kDefaultBundleIdentifier},
                                                                         {"/opt/bin/my_game v2", "my-game-v2"},
                                                                         {"/opt/bin/.hidden.tool", "hidden.tool"},
                                                                         {"/opt/bin/j\xc3\xa4ger", "j--ger"}}) {
    info.setExecutablePath(exe);
    EXPECT_EQ(defaultBundleIdentifier(info), id) << exe;
  }
  info.setExecutablePath("/opt/bin/my_game");
  info.setEnvironmentVariable(kBundleIdentifierEnvironmentVariable, "com.example.game");
  EXPECT_EQ(defaultBundleIdentifier(info), "com.example.game");
  info.setEnvironmentVariable(kBundleIdentifierEnvironmentVariable, "../x");
  EXPECT_EQ(defaultBundleIdentifier(info), "my-game");
}

TEST(SandboxTest, PreparingMakesTheFoldersAndWipingKeepsTheKeychain) {
  auto env = testing::TestEnvironment::create();
  ASSERT_TRUE(env);
  PosixFileSystem fs;
  DirectorySandbox sandbox(env->root() + "/fresh");
  ASSERT_TRUE(fs.createDirectories(sandbox.root()));
  EXPECT_TRUE(isSandboxWritable(fs, sandbox));
  ASSERT_TRUE(prepareSandbox(fs, sandbox));
  EXPECT_TRUE(fs.isDirectory(sandbox.preferencesDirectory()));
  EXPECT_TRUE(fs.isDirectory(sandbox.applicationSupportDirectory()));
  const std::string keychainDir = sandbox.root() + "/Keychain";
  struct stat st {};
  ASSERT_EQ(::stat(keychainDir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_TRUE(fs.writeFileAtomically(sandbox.keychainPath(), "k", 0600));
  ASSERT_TRUE(fs.writeFileAtomically(sandbox.applicationSupportDirectory() + "/db", "d"));
  ASSERT_TRUE(wipeSandboxAppData(fs, sandbox));
  EXPECT_FALSE(fs.exists(sandbox.libraryDirectory()));
  EXPECT_EQ(fs.readFile(sandbox.keychainPath()), "k");
  EXPECT_TRUE(sandboxFreeSpace(fs, sandbox).value_or(0) > 0);

  // A folder that cannot be made is reported.
  env->faultFileSystem()->setNoSpace(true);
  std::string error;
  EXPECT_FALSE(prepareSandbox(*env->faultFileSystem(), DirectorySandbox(env->root() + "/other"), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(isSandboxWritable(fs, DirectorySandbox(env->root() + "/missing")));
}

}  // namespace
}  // namespace platform
