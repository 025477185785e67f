#include "platform/VXLMutableDictionary.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(VXLMutableDictionaryTest, BasicOperationsAndCopiesAreSnapshots) {
  VXLMutableDictionary dict;
  EXPECT_TRUE(dict.objectForKey("a").isNull());
  dict.setObject(1, "a");
  dict.setObject("two", "b");
  Dictionary snapshot = dict.dictionary();
  dict.setObject(3, "a");
  EXPECT_EQ(snapshot.get("a"), Value(1));
  EXPECT_EQ(dict.objectForKey("a"), Value(3));
  dict.setObject(Value(), "b");
  EXPECT_EQ(dict.count(), 1u);
  dict.removeObject("a");
  EXPECT_EQ(dict.count(), 0u);
  dict.setObject(true, "c");
  dict.removeAllObjects();
  EXPECT_TRUE(dict.dictionary().empty());
}

TEST(VXLMutableDictionaryTest, ManyThreadsReadAndWriteWithoutLoss) {
  VXLMutableDictionary dict;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        dict.setObject(i, "t" + std::to_string(t) + "-" + std::to_string(i));
        (void)dict.objectForKey("t0-0");
        if (i % 100 == 0) (void)dict.dictionary();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(dict.count(), 1600u);
  EXPECT_EQ(dict.objectForKey("t7-199"), Value(199));
}

}  // namespace
}  // namespace platform
