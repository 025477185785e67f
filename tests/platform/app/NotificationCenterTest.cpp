#include "platform/app/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/testing/LogCapture.h"

namespace platform {
namespace {

TEST(NotificationCenterTest, DeliversByNameAndSenderInRegistrationOrderOnThePostingThread) {
  NotificationCenter center;
  std::vector<std::string> seen;
  const auto poster = std::this_thread::get_id();
  bool sameThread = true;
  auto record = [&](std::string tag) {
    return [&, tag](const Notification& n) {
      sameThread = sameThread && std::this_thread::get_id() == poster;
      seen.push_back(tag + ":" + n.name + ":" + n.userInfo.get("k").stringOr());
    };
  };
  center.addObserver("A", Value(), record("any-sender"));
  center.addObserver("A", Value("config"), record("config-only"));
  center.addObserver("B", Value(), record("b"));
  center.addObserver("", Value(), record("all"));

  Dictionary info;
  info.set(Value("k"), Value("v"));
  EXPECT_EQ(center.post("A", Value(), info), 2u);  // any-sender and all
  EXPECT_EQ(center.post("A", Value("config"), info), 3u);
  EXPECT_EQ(center.post("A", Value("other"), info), 2u);
  EXPECT_EQ(center.post("C"), 1u);
  EXPECT_TRUE(sameThread);
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen[0], "any-sender:A:v");
  EXPECT_EQ(seen[1], "all:A:v");
  EXPECT_EQ(seen[2], "any-sender:A:v");
  EXPECT_EQ(seen[3], "config-only:A:v");
  EXPECT_EQ(seen[7], "all:C:");
}

TEST(NotificationCenterTest, RemovalByIdentifierAndByOwner) {
  NotificationCenter center;
  int a = 0, b = 0, c = 0;
  int ownerTag = 0;
  auto idA = center.addObserver("N", Value(), [&](const Notification&) { ++a; });
  center.addObserver("N", Value(), [&](const Notification&) { ++b; }, &ownerTag);
  center.addObserver("M", Value(), [&](const Notification&) { ++c; }, &ownerTag);
  EXPECT_EQ(center.addObserver("N", Value(), nullptr), NotificationCenter::kInvalidObserver);

  EXPECT_TRUE(center.removeObserver(idA));
  EXPECT_FALSE(center.removeObserver(idA));
  center.post("N");
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);

  EXPECT_EQ(center.removeObserversOwnedBy(&ownerTag, "N"), 1u);
  center.post("N");
  center.post("M");
  EXPECT_EQ(b, 1);
  EXPECT_EQ(c, 1);
  EXPECT_EQ(center.removeObserversOwnedBy(&ownerTag), 1u);
  EXPECT_EQ(center.observerCount(), 0u);
}

TEST(NotificationCenterTest, HandlersMayChangeTheCentreWhileItDelivers) {
  NotificationCenter center;
  int first = 0, second = 0, nested = 0;
  NotificationCenter::ObserverID secondID = 0;
  // The first observer removes the second before it is reached, adds a new one and posts.
  center.addObserver("N", Value(), [&](const Notification&) {
    ++first;
    center.removeObserver(secondID);
    center.addObserver("Nested", Value(), [&](const Notification&) { ++nested; });
    center.post("Nested");
  });
  secondID = center.addObserver("N", Value(), [&](const Notification&) { ++second; });
  EXPECT_EQ(center.post("N"), 1u);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(nested, 1);
}

TEST(NotificationCenterTest, AThrowingHandlerIsLoggedAndDoesNotStopDelivery) {
  testing::LogCapture log;
  NotificationCenter center;
  int after = 0;
  center.addObserver("N", Value(), [](const Notification&) { throw std::runtime_error("boom"); });
  center.addObserver("N", Value(), [&](const Notification&) { ++after; });
  EXPECT_EQ(center.post("N"), 2u);
  EXPECT_EQ(after, 1);
  EXPECT_TRUE(log.contains("I-APP000001", "boom"));
}

TEST(NotificationCenterTest, ObservePostAndRemoveFromSeveralThreads) {
  NotificationCenter center;
  std::atomic<int> stable{0};
  center.addObserver("tick", Value(), [&](const Notification&) { stable.fetch_add(1); });

  constexpr int kThreads = 4, kRounds = 500;
  std::vector<std::thread> threads;
  std::atomic<int> transient{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        auto id = center.addObserver("tick", Value(), [&](const Notification&) { transient.fetch_add(1); });
        center.post("tick");
        EXPECT_TRUE(center.removeObserver(id));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(stable.load(), kThreads * kRounds);
  // Each post saw at least its own transient observer.
  EXPECT_GE(transient.load(), kThreads * kRounds);
  EXPECT_EQ(center.observerCount(), 1u);

  // Once removeObserver has returned on this thread, no later post reaches the observer.
  std::atomic<int> late{0};
  auto id = center.addObserver("tick", Value(), [&](const Notification&) { late.fetch_add(1); });
  center.removeObserver(id);
  std::thread poster([&] { center.post("tick"); });
  poster.join();
  EXPECT_EQ(late.load(), 0);
}

// After removeObserver returns the observer's owner may be destroyed: a call in flight on
// another thread has ended by then. A handler removing itself does not wait for itself.
TEST(NotificationCenterTest, RemovalWaitsForACallInFlightElsewhereButNotForItsOwnThread) {
  for (bool byOwner : {false, true}) {
    SCOPED_TRACE(byOwner ? "by owner" : "by identifier");
    NotificationCenter center;
    int ownerTag = 0;
    std::atomic<bool> entered{false}, finished{false};
    auto id = center.addObserver("N", Value(), [&](const Notification&) {
      entered = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      finished = true;
    }, &ownerTag);
    std::thread poster([&] { center.post("N"); });
    while (!entered) std::this_thread::yield();
    if (byOwner) {
      EXPECT_EQ(center.removeObserversOwnedBy(&ownerTag), 1u);
    } else {
      EXPECT_TRUE(center.removeObserver(id));
    }
    EXPECT_TRUE(finished);
    poster.join();
  }
  NotificationCenter center;
  NotificationCenter::ObserverID self = 0;
  int calls = 0;
  self = center.addObserver("N", Value(), [&](const Notification&) {
    ++calls;
    EXPECT_TRUE(center.removeObserver(self));
  });
  center.post("N");
  center.post("N");
  EXPECT_EQ(calls, 1);
}

// Each handler removes the other while both run, on two threads: neither waits for good,
// and neither is called again.
TEST(NotificationCenterTest, TwoHandlersRemovingEachOtherFromTwoThreadsBothReturn) {
  // Left to leak if the fault is back: the stuck threads still use it.
  auto* center = new NotificationCenter();
  auto* bothRunning = new std::latch(2);
  NotificationCenter::ObserverID ids[2] = {};
  std::atomic<int> calls{0};
  for (int i = 0; i < 2; ++i) {
    ids[i] = center->addObserver(i == 0 ? "A" : "B", Value(), [center, bothRunning, &ids, &calls, i](const Notification&) {
      ++calls;
      bothRunning->arrive_and_wait();
      EXPECT_TRUE(center->removeObserver(ids[1 - i]));
    });
  }
  auto a = std::async(std::launch::async, [center] { return center->post("A"); });
  auto b = std::async(std::launch::async, [center] { return center->post("B"); });
  const bool returned = a.wait_for(std::chrono::seconds(10)) == std::future_status::ready &&
                        b.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!returned) {
    ADD_FAILURE() << "the two removals wait for each other";
    new auto(std::move(a));
    new auto(std::move(b));
    return;
  }
  EXPECT_EQ(center->post("A") + center->post("B"), 0u);
  EXPECT_EQ(calls.load(), 2);
  delete center;
  delete bothRunning;
}

}  // namespace
}  // namespace platform
