// The debug view's fan-out: bounded everywhere, and never held up by a reader.

#include "tools/measurement-service/DebugFeed.h"

#include <gtest/gtest.h>

#include <thread>

namespace measurement_service {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> ids(const DebugFeed::Subscription::Batch& batch) {
  std::vector<std::string> out;
  for (const auto& frame : batch.frames) out.push_back(frame->substr(0, frame->find('\n')));
  return out;
}

TEST(DebugFeedTest, AReaderThatFallsBehindLosesItsOldestMessagesAndEveryQueueStaysBounded) {
  DebugFeed feed({.ringMessages = 8, .ringBytes = 1u << 20, .subscriberMessages = 4, .subscriberBytes = 1u << 20,
                  .maxSubscribers = 4, .latestKeys = 2});
  auto stalled = feed.subscribe(0);
  ASSERT_TRUE(stalled);
  for (int i = 1; i <= 1000; ++i) feed.publish("upload", "{\"n\":" + std::to_string(i) + "}");
  auto batch = stalled->next(0ms);
  EXPECT_EQ(ids(batch), (std::vector<std::string>{"id: 997", "id: 998", "id: 999", "id: 1000"}));
  EXPECT_EQ(batch.skipped, 996u);
  EXPECT_EQ(stalled->next(0ms).skipped, 0u);
  EXPECT_EQ(feed.ringSize(), 8u);

  // A reconnecting reader gets what it missed from the ring, then the kept latest
  // messages (one per key, the oldest key evicted beyond the bound).
  feed.publishLatest("app-1", "config", "old");
  feed.publishLatest("app-1", "config", "new");
  feed.publishLatest("app-2", "config", "b");
  feed.publishLatest("app-3", "config", "c");
  auto again = feed.subscribe(998);
  ASSERT_TRUE(again);
  auto frames = again->next(0ms).frames;
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(*frames[0], "id: 999\nevent: upload\ndata: {\"n\":999}\n\n");
  EXPECT_EQ(*frames[1], "id: 1000\nevent: upload\ndata: {\"n\":1000}\n\n");
  EXPECT_EQ(*frames[2], "event: config\ndata: b\n\n");
  EXPECT_EQ(*frames[3], "event: config\ndata: c\n\n");

  // The ring's byte bound keeps at least the newest message; line breaks split data lines.
  DebugFeed small({.ringMessages = 8, .ringBytes = 64});
  small.publish("upload", std::string(100, 'x'));
  small.publish("upload", "a\nb\r\nc");
  EXPECT_EQ(small.ringSize(), 1u);
  EXPECT_EQ(*small.subscribe(0)->next(0ms).frames.at(0), "id: 2\nevent: upload\ndata: a\ndata: b\ndata: c\n\n");
}

TEST(DebugFeedTest, SubscribersAreCappedReleasedOnDestructionAndWokenByClose) {
  DebugFeed feed({.maxSubscribers = 2});
  auto first = feed.subscribe(0);
  auto second = feed.subscribe(0);
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(feed.subscribe(0));
  second.reset();
  EXPECT_EQ(feed.subscriberCount(), 1u);
  auto third = feed.subscribe(0);
  ASSERT_TRUE(third);

  // A reader waiting for messages gets one published from another thread, and close()
  // ends a wait at once.
  std::thread publisher([&] {
    std::this_thread::sleep_for(50ms);
    feed.publish("upload", "{}");
  });
  auto batch = first->next(10s);
  publisher.join();
  EXPECT_EQ(batch.frames.size(), 1u);
  std::thread closer([&] {
    std::this_thread::sleep_for(50ms);
    feed.close();
  });
  auto closed = first->next(60s);
  closer.join();
  EXPECT_TRUE(closed.closed);
  EXPECT_FALSE(feed.subscribe(0));
  feed.publish("upload", "{}");
  auto last = third->next(0ms);
  EXPECT_TRUE(last.closed);
  EXPECT_EQ(ids(last), std::vector<std::string>{"id: 1"});
}

}  // namespace
}  // namespace measurement_service
