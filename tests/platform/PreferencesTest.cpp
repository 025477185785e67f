#include "platform/Preferences.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/PropertyList.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Wait.h"

namespace platform {
namespace {

using testing::LogCapture;
using testing::TestEnvironment;

class PreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = TestEnvironment::create();
    ASSERT_TRUE(env);
  }
  std::string suitePath(const std::string& name) { return env->sandbox()->preferencesDirectory() + "/" + name + ".plist"; }
  std::string fileContents(const std::string& path) { return env->fileSystem()->readFile(path).value_or("<missing>"); }

  std::shared_ptr<TestEnvironment> env;
};

TEST_F(PreferencesTest, EveryKindSurvivesARelaunchWithItsKind) {
  auto suite = env->preferences()->suite("com.vorlix.zel.measurement");
  ASSERT_TRUE(suite);
  Dictionary values{{"flag", true},
                    {"count", 7},
                    {"big", 18446744073709551615ull},
                    {"negative", -3},
                    {"ratio", 0.25},
                    {"name", "mage"},
                    {"blob", Value::data(std::string_view("\x00\x01", 2))},
                    {"when", Value::date(1700000000.5)},
                    {"list", Value::array({1, "a"})},
                    {"map", Value(Dictionary{{"k", false}})}};
  for (const auto& [key, value] : values) suite->setObject(*key.string(), value);
  ASSERT_TRUE(suite->synchronize());

  env->relaunch();
  auto reread = env->preferences()->suite("com.vorlix.zel.measurement");
  ASSERT_NE(reread, suite);
  for (const auto& [key, value] : values) {
    Value got = reread->objectForKey(*key.string());
    EXPECT_EQ(got, value) << key.stringOr();
    EXPECT_EQ(got.kind(), value.kind()) << key.stringOr();
  }
  // The file is a real property list.
  auto onDisk = PropertyList::propertyListWithData(fileContents(suitePath("com.vorlix.zel.measurement")));
  ASSERT_TRUE(onDisk);
  EXPECT_EQ(*onDisk, Value(values));
}

TEST_F(PreferencesTest, SuitesAreSharedPerNameAndNamesAreChecked) {
  auto prefs = env->preferences();
  EXPECT_EQ(prefs->suite("a"), prefs->suite("a"));
  EXPECT_NE(prefs->suite("a"), prefs->suite("b"));
  EXPECT_EQ(prefs->standard(), prefs->suite(env->bundleIdentifier()));
  EXPECT_EQ(prefs->suite(""), prefs->standard());
  EXPECT_EQ(prefs->suite(".."), nullptr);
  EXPECT_EQ(prefs->suite("../escape"), nullptr);
  EXPECT_EQ(prefs->suite("a/b"), nullptr);
}

TEST_F(PreferencesTest, NullRemovesUnsupportedIsRefusedAndRemoveAllDeletesTheFile) {
  LogCapture log;
  auto suite = env->preferences()->suite("s");
  suite->setObject("keep", 1);
  suite->setObject("gone", 2);
  suite->setObject("gone", Value());
  EXPECT_TRUE(suite->objectForKey("gone").isNull());
  suite->setObject("keep", Value::url("https://example.invalid"));
  EXPECT_EQ(suite->objectForKey("keep"), Value(1));
  EXPECT_TRUE(log.contains("I-PLT000002", "keep"));
  ASSERT_TRUE(suite->synchronize());
  EXPECT_TRUE(env->fileSystem()->exists(suitePath("s")));

  suite->removeAll();
  EXPECT_TRUE(suite->dictionaryRepresentation().empty());
  ASSERT_TRUE(suite->synchronize());
  EXPECT_FALSE(env->fileSystem()->exists(suitePath("s")));
}

TEST_F(PreferencesTest, ConcurrentWritersLoseNoKey) {
  auto suite = env->preferences()->suite("busy");
  constexpr int kThreads = 8, kKeys = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kKeys; ++k) {
        suite->setObject("t" + std::to_string(t) + "k" + std::to_string(k), t * 1000 + k);
        if (k % 50 == 0) {
          EXPECT_TRUE(suite->synchronize());
        }
        (void)suite->objectForKey("t0k0");
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(suite->synchronize());
  EXPECT_FALSE(std::static_pointer_cast<FilePreferencesSuite>(suite)->hasPendingChanges());

  env->relaunch();
  Dictionary reread = env->preferences()->suite("busy")->dictionaryRepresentation();
  ASSERT_EQ(reread.size(), std::size_t{kThreads * kKeys});
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeys; ++k) {
      EXPECT_EQ(reread.get("t" + std::to_string(t) + "k" + std::to_string(k)), Value(t * 1000 + k));
    }
  }
}

TEST_F(PreferencesTest, ACorruptFileReadsAsEmptyIsLoggedAndIsReplacedOnTheNextWrite) {
  const std::string path = suitePath("broken");
  auto good = *PropertyList::dataWithPropertyList(Value(Dictionary{{"a", 1}, {"b", "two"}}), PropertyListFormat::Binary);
  const std::string corruptions[] = {good.substr(0, good.size() - 7), "not a property list at all",
                                     *PropertyList::dataWithPropertyList(Value::array({1}), PropertyListFormat::XML)};
  for (const std::string& corrupt : corruptions) {
    ASSERT_TRUE(env->fileSystem()->writeFileAtomically(path, corrupt));
    env->relaunch();
    LogCapture log;
    auto suite = env->preferences()->suite("broken");
    EXPECT_TRUE(suite->dictionaryRepresentation().empty());
    EXPECT_EQ(log.withCode("I-PLT000001").size(), 1u);

    suite->setObject("fresh", true);
    ASSERT_TRUE(suite->synchronize());
    auto onDisk = PropertyList::propertyListWithData(fileContents(path));
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(*onDisk, Value(Dictionary{{"fresh", true}}));
  }
}

TEST_F(PreferencesTest, EachWriteFaultFailsAndLeavesThePreviousFileIntact) {
  auto fs = env->faultFileSystem();
  const std::string path = suitePath("faulty");
  auto suite = env->preferences()->suite("faulty");
  suite->setObject("version", 1);
  ASSERT_TRUE(suite->synchronize());
  const std::string before = fileContents(path);

  struct Fault {
    const char* name;
    void (testing::FaultInjectingFileSystem::*set)(bool);
  };
  for (const Fault& fault : {Fault{"no space", &testing::FaultInjectingFileSystem::setNoSpace},
                             Fault{"failed write", &testing::FaultInjectingFileSystem::setFailWrite},
                             Fault{"failed sync", &testing::FaultInjectingFileSystem::setFailSync},
                             Fault{"failed rename", &testing::FaultInjectingFileSystem::setFailRename}}) {
    LogCapture log;
    suite->setObject("version", 2);
    (fs.get()->*fault.set)(true);
    EXPECT_FALSE(suite->synchronize()) << fault.name;
    EXPECT_TRUE(log.contains("I-PLT000003")) << fault.name;
    EXPECT_EQ(fileContents(path), before) << fault.name;
    // No temporary file is left behind.
    EXPECT_EQ(fs->listDirectory(env->sandbox()->preferencesDirectory()), std::vector<std::string>{"faulty.plist"})
        << fault.name;
    EXPECT_TRUE(std::static_pointer_cast<FilePreferencesSuite>(suite)->hasPendingChanges()) << fault.name;
    // Memory still has the change; the next synchronize after the fault clears writes it.
    EXPECT_EQ(suite->objectForKey("version"), Value(2));
    fs->clearFaults();
    ASSERT_TRUE(suite->synchronize()) << fault.name;
    EXPECT_EQ(PropertyList::propertyListWithData(fileContents(path))->dictionary()->get("version"), Value(2));
    suite->setObject("version", 1);
    ASSERT_TRUE(suite->synchronize());
  }
}

TEST_F(PreferencesTest, AWipedFolderIsRecreatedAndAFailedRemovalStaysPending) {
  auto suite = env->preferences()->suite("wiped");
  suite->setObject("k", 1);
  ASSERT_TRUE(env->fileSystem()->removeAll(env->sandbox()->libraryDirectory()));
  ASSERT_TRUE(suite->synchronize());
  EXPECT_TRUE(env->fileSystem()->exists(suitePath("wiped")));

  suite->removeAll();
  env->faultFileSystem()->setFailRemove(true);
  EXPECT_FALSE(suite->synchronize());
  EXPECT_TRUE(env->fileSystem()->exists(suitePath("wiped")));
  env->faultFileSystem()->clearFaults();
  ASSERT_TRUE(suite->synchronize());
  EXPECT_FALSE(env->fileSystem()->exists(suitePath("wiped")));
}

TEST_F(PreferencesTest, PendingChangesAreWrittenWhenThePreferencesGoAway) {
  auto suite = env->preferences()->suite("late");
  suite->setObject("k", "v");
  auto prefs = std::make_shared<FilePreferences>(env->fileSystem(), env->sandbox(), "std");
  prefs->suite("other")->setObject("x", 1);
  prefs.reset();
  auto reread = FilePreferences(env->fileSystem(), env->sandbox(), "std").suite("other")->objectForKey("x");
  EXPECT_EQ(reread, Value(1));
}

// The library keeps its suites for the life of the process and writes them a second after
// a change: a normal exit inside that second must not lose the change, a kill does.
TEST_F(PreferencesTest, PendingChangesAreWrittenAtANormalExitButNotWhenKilled) {
  // A real SIGKILL, not _exit: ThreadSanitizer's _exit lets other threads run for a second,
  // long enough for the automatic write.
  auto writeAndEnd = [&](const std::string& key, bool normalExit) {
    auto* kept = new FilePreferences(std::make_shared<PosixFileSystem>(), env->sandbox(), "std");
    kept->suite("exiting")->setObject(key, 1);
    if (normalExit) std::exit(0);
    ::raise(SIGKILL);
  };
  EXPECT_EXIT(writeAndEnd("exited", true), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(writeAndEnd("killed", false), ::testing::KilledBySignal(SIGKILL), "");
  FilePreferences reread(env->fileSystem(), env->sandbox(), "std");
  EXPECT_EQ(reread.suite("exiting")->objectForKey("exited"), Value(1));
  EXPECT_TRUE(reread.suite("exiting")->objectForKey("killed").isNull());
}

// Nobody calls synchronize and nothing is destroyed: the suite writes itself (the product's
// own executable ends with _Exit, which runs no exit handler), and retries a failed write.
TEST_F(PreferencesTest, ChangesReachTheDiskOnTheirOwnPrivatelyAndAFailedWriteIsRetried) {
  auto onDisk = [&](const std::string& key) {
    auto bytes = env->fileSystem()->readFile(suitePath("auto"));
    auto root = bytes ? PropertyList::propertyListWithData(*bytes) : std::nullopt;
    return root && root->isDictionary() ? root->dictionary()->get(key) : Value();
  };
  auto suite = env->preferences()->suite("auto");
  suite->setObject("consent", "granted");
  EXPECT_TRUE(tw_test_support::waitFor([&] { return onDisk("consent") == Value("granted"); }, std::chrono::seconds(10)));
  struct stat st {};
  ASSERT_EQ(::stat(suitePath("auto").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  env->faultFileSystem()->setFailWrite(true);
  suite->setObject("reset", "pending");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(onDisk("reset").isNull());
  env->faultFileSystem()->clearFaults();
  EXPECT_TRUE(tw_test_support::waitFor([&] { return onDisk("reset") == Value("pending"); }, std::chrono::seconds(10)));
}

// Only a file that was read and did not parse is corrupt: one that cannot be read is kept
// and read again before anything is written over it.
TEST_F(PreferencesTest, AReadErrorKeepsTheFileAndItsKeys) {
  auto suite = env->preferences()->suite("kept");
  suite->setObject("instance", "A1");
  ASSERT_TRUE(suite->synchronize());
  env->relaunch();
  const std::string before = fileContents(suitePath("kept"));

  LogCapture log;
  env->faultFileSystem()->setFailRead(true);
  auto reread = env->preferences()->suite("kept");
  reread->setObject("written", 1);
  EXPECT_FALSE(reread->synchronize());
  EXPECT_TRUE(log.contains("I-PLT000001", "cannot be read"));
  env->faultFileSystem()->clearFaults();
  EXPECT_EQ(fileContents(suitePath("kept")), before);

  EXPECT_EQ(reread->objectForKey("instance"), Value("A1"));
  ASSERT_TRUE(reread->synchronize());
  env->relaunch();
  EXPECT_EQ(env->preferences()->suite("kept")->dictionaryRepresentation(),
            (Dictionary{{"instance", "A1"}, {"written", 1}}));
}

// Two preference objects on one sandbox stand for two processes of one app: each writes
// under the folder lock what it changed on top of what the file holds.
TEST_F(PreferencesTest, TwoWritersOnOneSandboxKeepEachOthersChanges) {
  FilePreferences first(env->fileSystem(), env->sandbox(), "std");
  FilePreferences second(env->fileSystem(), env->sandbox(), "std");
  auto a = first.suite("shared");
  auto b = second.suite("shared");
  a->setObject("gone", 0);
  ASSERT_TRUE(a->synchronize());
  EXPECT_EQ(b->objectForKey("gone"), Value(0));
  b->removeObject("gone");
  constexpr int kKeys = 40;
  std::thread other([&] {
    for (int k = 0; k < kKeys; ++k) {
      b->setObject("b" + std::to_string(k), k);
      EXPECT_TRUE(b->synchronize());
    }
  });
  for (int k = 0; k < kKeys; ++k) {
    a->setObject("a" + std::to_string(k), k);
    EXPECT_TRUE(a->synchronize());
  }
  other.join();
  Dictionary onDisk = FilePreferences(env->fileSystem(), env->sandbox(), "std").suite("shared")->dictionaryRepresentation();
  EXPECT_EQ(onDisk.size(), std::size_t{2 * kKeys});
  EXPECT_FALSE(onDisk.contains("gone"));
  for (int k = 0; k < kKeys; ++k) {
    EXPECT_EQ(onDisk.get("a" + std::to_string(k)), Value(k));
    EXPECT_EQ(onDisk.get("b" + std::to_string(k)), Value(k));
  }
  // A writer sees the other's keys after its own next write.
  a->setObject("last", true);
  ASSERT_TRUE(a->synchronize());
  EXPECT_EQ(a->objectForKey("b0"), Value(0));
}

}  // namespace
}  // namespace platform
