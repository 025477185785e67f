#include "platform/Sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileSystem.h"
#include "platform/testing/LogCapture.h"
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

unsigned modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Another user must not be able to list or open anything in the sandbox, whatever the umask
// and whatever made the root before.
TEST(SandboxTest, EveryFolderIsTheUsersAlone) {
  auto env = testing::TestEnvironment::create();
  ASSERT_TRUE(env);
  PosixFileSystem fs;
  DirectorySandbox existing(env->root() + "/old");
  ASSERT_EQ(::mkdir(existing.root().c_str(), 0755), 0);
  const mode_t umask = ::umask(0);
  ASSERT_TRUE(prepareSandbox(fs, existing));
  ASSERT_TRUE(prepareSandbox(fs, DirectorySandbox(env->root() + "/new/app")));
  ::umask(umask);
  for (const std::string& folder : {existing.root(), existing.libraryDirectory(), existing.preferencesDirectory(),
                                    existing.applicationSupportDirectory(), env->root() + "/new",
                                    env->root() + "/new/app/Library/Preferences"}) {
    EXPECT_EQ(modeOf(folder), 0700u) << folder;
  }
}

// A folder another user made first (the /tmp fallback invites it) is refused, and the
// environment then keeps this run's data elsewhere instead of reading or planting files there.
TEST(SandboxTest, AFolderOwnedBySomeoneElseIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs to hand a folder to another user";
  auto env = testing::TestEnvironment::create();
  ASSERT_TRUE(env);
  PosixFileSystem fs;
  const std::string theirs = env->root() + "/theirs";
  ASSERT_EQ(::mkdir(theirs.c_str(), 0777), 0);
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  for (const std::string& root : {theirs, theirs + "/app"}) {
    std::string error;
    EXPECT_FALSE(prepareSandbox(fs, DirectorySandbox(root), &error)) << root;
    EXPECT_NE(error.find("belongs to user 65534"), std::string::npos) << error;
  }
  EXPECT_TRUE(fs.listDirectory(theirs).empty());

  struct Wrapper : EnvironmentWrapper {
    Wrapper() : EnvironmentWrapper(Environment::makeDefault(this)) {}
    std::shared_ptr<ProcessInfo> processInfo() override { return info; }
    std::shared_ptr<testing::FakeProcessInfo> info = std::make_shared<testing::FakeProcessInfo>();
  };
  testing::LogCapture log;
  auto wrapper = std::make_shared<Wrapper>();
  wrapper->info->setEnvironmentVariable(kSandboxEnvironmentVariable, theirs);
  const std::string used = wrapper->sandbox()->root();
  EXPECT_NE(used, theirs);
  EXPECT_TRUE(log.contains("I-PLT000007", "belongs to user 65534"));
  wrapper->preferences()->standard()->setObject("k", 1);
  EXPECT_TRUE(wrapper->preferences()->standard()->synchronize());
  EXPECT_TRUE(fs.listDirectory(theirs).empty());
  EXPECT_TRUE(fs.exists(wrapper->sandbox()->preferencesDirectory()));
  wrapper.reset();
  EXPECT_TRUE(fs.removeAll(used));
}

}  // namespace
}  // namespace platform
