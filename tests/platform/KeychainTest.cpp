#include "platform/Keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <thread>

#include "platform/PropertyList.h"
#include "platform/Sandbox.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

Value::Data bytesOf(std::string_view s) { return Value::Data(s.begin(), s.end()); }

unsigned modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class KeychainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = testing::TestEnvironment::create();
    ASSERT_TRUE(env);
  }
  std::shared_ptr<testing::TestEnvironment> env;
};

TEST_F(KeychainTest, ItemsRoundTripAreOwnerOnlyAndOutliveADataWipe) {
  auto keychain = env->keychain();
  ASSERT_TRUE(keychain->write("1:123:ios:abc", "_pfo", bytesOf("1")));
  ASSERT_TRUE(keychain->write("1:123:ios:abc", "other", bytesOf("two")));
  ASSERT_TRUE(keychain->write("second-app", "_pfo", bytesOf("3")));
  ASSERT_TRUE(keychain->write("1:123:ios:abc", "_pfo", bytesOf("updated")));
  const std::string path = env->sandbox()->keychainPath();
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(modeOf(path.substr(0, path.find_last_of('/'))), 0700u);
  EXPECT_EQ(path.rfind(env->sandbox()->libraryDirectory(), 0), std::string::npos);

  ASSERT_TRUE(wipeSandboxAppData(*env->fileSystem(), *env->sandbox()));
  EXPECT_FALSE(env->fileSystem()->exists(env->sandbox()->libraryDirectory()));
  env->relaunch();
  auto reread = env->keychain();
  EXPECT_EQ(reread->read("1:123:ios:abc", "_pfo"), bytesOf("updated"));
  EXPECT_EQ(reread->read("1:123:ios:abc", "other"), bytesOf("two"));
  EXPECT_EQ(reread->read("second-app", "_pfo"), bytesOf("3"));

  std::string error;
  EXPECT_FALSE(reread->read("1:123:ios:abc", "absent", &error));
  EXPECT_TRUE(error.empty());
  ASSERT_TRUE(reread->remove("1:123:ios:abc", "_pfo"));
  EXPECT_FALSE(reread->read("1:123:ios:abc", "_pfo"));
  EXPECT_TRUE(reread->remove("1:123:ios:abc", "_pfo"));  // removing twice succeeds
  EXPECT_EQ(reread->read("1:123:ios:abc", "other"), bytesOf("two"));
  EXPECT_FALSE(reread->write("", "a", bytesOf("x")));
  EXPECT_FALSE(reread->write("s", "", bytesOf("x")));
  EXPECT_FALSE(reread->read("s", std::string_view("a\0b", 3)));
}

TEST_F(KeychainTest, CorruptFileReadsEmptyIsLoggedAndIsReplacedByTheNextWrite) {
  const std::string path = env->sandbox()->keychainPath();
  const std::string corruptions[] = {
      "garbage", *PropertyList::dataWithPropertyList(Value(Dictionary{{"svc", "not a dictionary"}}),
                                                     PropertyListFormat::Binary)};
  for (const std::string& corrupt : corruptions) {
    ASSERT_TRUE(env->fileSystem()->writeFileAtomically(path, corrupt, 0600));
    testing::LogCapture log;
    EXPECT_FALSE(env->keychain()->read("svc", "acct"));
    EXPECT_TRUE(log.contains("I-PLT000004"));
    ASSERT_TRUE(env->keychain()->write("svc", "acct", bytesOf("v")));
    EXPECT_EQ(env->keychain()->read("svc", "acct"), bytesOf("v"));
    EXPECT_EQ(modeOf(path), 0600u);
  }
}

TEST_F(KeychainTest, FileStaysOwnerOnlyAfterEveryWriteAndRemoveEvenWhenSomeoneWidenedIt) {
  const std::string path = env->sandbox()->keychainPath();
  const std::string dir = path.substr(0, path.find_last_of('/'));
  // Left behind by someone else, readable by all, before the library first touches it.
  ASSERT_TRUE(env->fileSystem()->createDirectories(dir));
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_TRUE(env->fileSystem()->writeFileAtomically(
      path, *PropertyList::dataWithPropertyList(Value(Dictionary{{"svc", Dictionary{{"old", Value::data(bytesOf("0"))}}}}),
                                                PropertyListFormat::Binary),
      0644));
  auto keychain = env->keychain();
  struct Step {
    const char* name;
    bool widenFirst;
    std::function<bool()> run;
    bool fileRemains;
  } steps[] = {
      {"write over a 0644 file", false, [&] { return keychain->write("svc", "a", bytesOf("1")); }, true},
      {"second write", false, [&] { return keychain->write("svc", "b", bytesOf("2")); }, true},
      {"write after widening", true, [&] { return keychain->write("svc", "a", bytesOf("3")); }, true},
      {"remove a missing item after widening", true, [&] { return keychain->remove("svc", "none"); }, true},
      {"remove after widening", true, [&] { return keychain->remove("svc", "old"); }, true},
      {"remove", false, [&] { return keychain->remove("svc", "b"); }, true},
      {"remove the last item", true, [&] { return keychain->remove("svc", "a"); }, false},
      {"remove with no file", true, [&] { return keychain->remove("svc", "a"); }, false},
      {"write a new file", true, [&] { return keychain->write("svc2", "c", bytesOf("4")); }, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.widenFirst) {
      ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
      if (env->fileSystem()->exists(path)) {
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
      }
    }
    ASSERT_TRUE(step.run());
    EXPECT_EQ(modeOf(dir), 0700u);
    ASSERT_EQ(env->fileSystem()->exists(path), step.fileRemains);
    if (step.fileRemains) {
      EXPECT_EQ(modeOf(path), 0600u);
    }
  }
  EXPECT_EQ(keychain->read("svc2", "c"), bytesOf("4"));
}

TEST_F(KeychainTest, AnUnreadableOrUnwritableFileIsNeverClobbered) {
  auto keychain = env->keychain();
  ASSERT_TRUE(keychain->write("svc", "a", bytesOf("1")));
  const std::string before = *env->fileSystem()->readFile(env->sandbox()->keychainPath());
  env->faultFileSystem()->setFailRead(true);
  std::string error;
  EXPECT_FALSE(keychain->write("svc", "b", bytesOf("2"), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(keychain->remove("svc", "a"));
  EXPECT_FALSE(keychain->read("svc", "a", &error));
  env->faultFileSystem()->clearFaults();
  env->faultFileSystem()->setNoSpace(true);
  EXPECT_FALSE(keychain->write("svc", "b", bytesOf("2")));
  env->faultFileSystem()->clearFaults();
  EXPECT_EQ(*env->fileSystem()->readFile(env->sandbox()->keychainPath()), before);
  EXPECT_EQ(keychain->read("svc", "a"), bytesOf("1"));
  EXPECT_FALSE(keychain->read("svc", "b"));
}

// Two objects stand for two processes: only the folder lock orders their read-modify-writes.
TEST_F(KeychainTest, ConcurrentWritersThroughTwoObjectsLoseNothing) {
  FileKeychain first(env->fileSystem(), env->sandbox());
  FileKeychain second(env->fileSystem(), env->sandbox());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      FileKeychain& keychain = t % 2 ? second : first;
      for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(keychain.write("svc", "t" + std::to_string(t) + "-" + std::to_string(i), bytesOf("v")));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(second.read("svc", "t" + std::to_string(t) + "-" + std::to_string(i)));
  }
}

}  // namespace
}  // namespace platform
