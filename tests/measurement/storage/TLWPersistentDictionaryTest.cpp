#include "measurement/storage/TLWPersistentDictionary.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/PropertyList.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/measurement/storage/StorageTestSupport.h"
#include "tests/support/Wait.h"

using platform::Value;
using storage_test::TempDir;
using storage_test::TestStorageEnvironment;

namespace {

class TLWPersistentDictionaryTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<TestStorageEnvironment> env = std::make_shared<TestStorageEnvironment>(dir.path());

  std::optional<platform::Dictionary> onDisk(const std::string& path) { return onDiskIn(*env, path); }
  static std::optional<platform::Dictionary> onDiskIn(platform::Environment& in, const std::string& path) {
    auto bytes = in.fileSystem()->readFile(path);
    if (!bytes) return std::nullopt;
    auto parsed = platform::PropertyList::propertyListWithData(*bytes);
    if (!parsed || !parsed->dictionary()) return std::nullopt;
    return *parsed->dictionary();
  }
};

TEST_F(TLWPersistentDictionaryTest, FileLivesInApplicationSupportWithOnePlistExtension) {
  auto a = TLWPersistentDictionary::initWithFileName("config", env);
  auto b = TLWPersistentDictionary::initWithFileName("other.plist", env);
  ASSERT_TRUE(a && b);
  const std::string folder = dir.path() + "/Library/Application Support/Vorlix/Measurement/";
  EXPECT_EQ(a->filePath(), folder + "config.plist");
  EXPECT_EQ(b->filePath(), folder + "other.plist");
  EXPECT_FALSE(TLWPersistentDictionary::initWithFileName("../escape", env));
}

TEST_F(TLWPersistentDictionaryTest, AStreamOfChangesIsWrittenAboutASecondAfterTheFirstOne) {
  auto store = TLWPersistentDictionary::initWithFileName("stream", env);
  ASSERT_TRUE(store);
  // A change every 0.3 s for 2.4 s: later changes must not push the first write back.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= 8; ++i) {
    ASSERT_TRUE(store->setInteger(i, "counter"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  auto saved = onDisk(store->filePath());
  ASSERT_TRUE(saved) << "nothing on disk "
                     << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms after the first change";
  EXPECT_GE(saved->get("counter").int64Value().value_or(0), 1);
  // What changed after that write goes out with the next one.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    saved = onDisk(store->filePath());
    if (saved && saved->get("counter") == Value(8)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->get("counter"), Value(8));
}

TEST_F(TLWPersistentDictionaryTest, ConcurrentWritersLoseNothing) {
  auto store = TLWPersistentDictionary::initWithFileName("concurrent", env);
  ASSERT_TRUE(store);
  constexpr int kThreads = 8;
  constexpr int kKeys = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kKeys; ++i) {
        ASSERT_TRUE(store->setInteger(t * 1000 + i, "k" + std::to_string(t) + "-" + std::to_string(i)));
        if (i % 50 == 0) (void)store->persistToDisk();
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(store->persistToDisk());
  auto path = store->filePath();
  store.reset();
  auto reloaded = TLWPersistentDictionary::initWithFileName("concurrent", env);
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(reloaded->dictionaryRepresentation().size(), static_cast<std::size_t>(kThreads * kKeys));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kKeys; i += 37) {
      EXPECT_EQ(reloaded->integerForKey("k" + std::to_string(t) + "-" + std::to_string(i)), t * 1000 + i);
    }
  }
}

TEST_F(TLWPersistentDictionaryTest, CorruptFileLoadsEmptyAndUnsupportedValuesAreRefused) {
  auto first = TLWPersistentDictionary::initWithFileName("corrupt", env);
  ASSERT_TRUE(first);
  storage_test::writeBytes(first->filePath(), "bplist00 garbage that is not a list");
  first.reset();
  auto store = TLWPersistentDictionary::initWithFileName("corrupt", env);
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->dictionaryRepresentation().empty());
  EXPECT_FALSE(store->setObject(Value::url("https://example.invalid/"), "url"));
  EXPECT_FALSE(store->setObject(Value(platform::Dictionary{{"nested", Value()}}), "nullInside"));
  EXPECT_TRUE(store->setObject(Value("fine"), "ok"));
  ASSERT_TRUE(store->persistToDisk());
  auto saved = onDisk(store->filePath());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->size(), 1u);
  EXPECT_EQ(saved->get("ok"), Value("fine"));
}

// A full disk: the old file stays whole, and the change reaches the disk once space
// returns, with no further change to carry it.
TEST_F(TLWPersistentDictionaryTest, AWriteThatMeetsAFullDiskKeepsTheOldFileAndIsRetriedOnItsOwn) {
  auto faulty = platform::testing::TestEnvironment::create();
  auto store = TLWPersistentDictionary::initWithFileName("full", faulty);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->setObject(Value("before"), "consent"));
  auto saved = [&](const char* consent) {
    auto onFile = onDiskIn(*faulty, store->filePath());
    return onFile && onFile->get("consent") == Value(consent);
  };
  ASSERT_TRUE(tw_test_support::waitFor([&] { return saved("before"); }, std::chrono::seconds(10)));
  const auto before = faulty->fileSystem()->readFile(store->filePath());

  platform::testing::LogCapture log;
  faulty->faultFileSystem()->setNoSpace(true);
  ASSERT_TRUE(store->setObject(Value("after"), "consent"));
  // The scheduled write comes due a second later and fails.
  ASSERT_TRUE(tw_test_support::waitFor([&] { return log.contains("I-ACS043000"); }, std::chrono::seconds(10)));
  EXPECT_EQ(faulty->fileSystem()->readFile(store->filePath()), before);
  faulty->faultFileSystem()->clearFaults();
  EXPECT_TRUE(tw_test_support::waitFor([&] { return saved("after"); }, std::chrono::seconds(15)));
}

}  // namespace
