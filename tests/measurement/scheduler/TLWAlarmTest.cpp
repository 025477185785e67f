#include "measurement/scheduler/TLWAlarm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/MonitorTestSupport.h"

using namespace std::chrono_literals;

namespace {

using tw_test_support::waitFor;

// A wall clock that stands still, so scheduledTimestamp can be checked exactly.
class FixedClock : public platform::Clock {
 public:
  explicit FixedClock(double now) : now_(now) {}
  double now() override { return now_; }
  double monotonic() override { return 0; }
  double secondsSinceBoot() override { return 0; }
  double bootTime() override { return 0; }

 private:
  double now_;
};

constexpr double kNow = 1'700'000'000.25;

class TLWAlarmTest : public tw_test_support::SharedMonitorLinesTest {
 protected:
  // Every logged line that mentions `name`, in order.
  std::vector<std::string> linesAbout(std::string_view name) { return find("", name); }
  std::shared_ptr<TLWAlarm> makeAlarm(std::string_view name) {
    return TLWAlarm::initWithDispatchQueue(queue_, name, clock_);
  }
  // Keeps the alarm's queue busy until the returned guard goes away, so that a timer armed
  // meanwhile cannot fire before the test has replaced or cancelled it, however slowly the
  // test thread runs.
  std::shared_ptr<void> holdQueue() {
    auto released = std::make_shared<std::atomic<bool>>(false);
    queue_->async([released] {
      while (!released->load()) std::this_thread::sleep_for(1ms);
    });
    return std::shared_ptr<void>(nullptr, [released](void*) { *released = true; });
  }
  // Waits until every block queued on the alarm's queue so far has run.
  void drainQueue() {
    std::atomic<bool> drained{false};
    queue_->async([&] { drained = true; });
    ASSERT_TRUE(waitFor([&] { return drained.load(); }));
  }

  std::shared_ptr<platform::DispatchQueue> queue_ =
      platform::DispatchQueue::create("test.alarm", platform::QueuePriority::Background);
  std::shared_ptr<FixedClock> clock_ = std::make_shared<FixedClock>(kNow);
};

// ---------------------------------------------------------------------------------------
// Arming and firing

TEST_F(TLWAlarmTest, FiresOnceOnItsQueueAndReturnsToIdleBeforeTheBlock) {
  auto alarm = makeAlarm("Measurement timer");
  EXPECT_FALSE(alarm->hasActiveTimer());
  EXPECT_FALSE(alarm->scheduledTimestamp().has_value());

  std::atomic<int> fired{0};
  bool idleInBlock = false, onQueue = false;
  {
    auto hold = holdQueue();
    alarm->runAfterDelay(0.02, [&] {
      idleInBlock = !alarm->hasActiveTimer() && !alarm->scheduledTimestamp().has_value();
      onQueue = queue_->isCurrent();
      fired++;
    });
    EXPECT_TRUE(alarm->hasActiveTimer());
    ASSERT_TRUE(alarm->scheduledTimestamp().has_value());
    EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), kNow + 0.02);
  }

  ASSERT_TRUE(waitFor([&] { return fired.load() == 1; }));
  std::this_thread::sleep_for(40ms);
  drainQueue();
  EXPECT_EQ(fired.load(), 1);
  EXPECT_TRUE(idleInBlock);
  EXPECT_TRUE(onQueue);

  EXPECT_EQ(linesAbout("Measurement timer"),
            (std::vector<std::string>{"I-ACS002002 Measurement timer scheduled to fire in approx. (s): 0.02",
                                      "I-ACS002001 Measurement timer fired",
                                      "I-ACS002003 Measurement timer canceled"}));
}

TEST_F(TLWAlarmTest, RunningTwiceLeavesOnlyTheSecondTimer) {
  auto alarm = makeAlarm("TLWExperimentAlarm");
  std::atomic<int> first{0}, second{0};
  {
    auto hold = holdQueue();
    alarm->runAfterDelay(0.01, [&] { first++; });
    alarm->runAfterDelay(0.05, [&] { second++; });
    EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), kNow + 0.05);
  }
  ASSERT_TRUE(waitFor([&] { return second.load() == 1; }));
  EXPECT_EQ(first.load(), 0);

  auto lines = linesAbout("TLWExperimentAlarm");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "I-ACS002002 TLWExperimentAlarm scheduled to fire in approx. (s): 0.01");
  EXPECT_EQ(lines[1], "I-ACS002003 TLWExperimentAlarm canceled");
  EXPECT_EQ(lines[2], "I-ACS002002 TLWExperimentAlarm scheduled to fire in approx. (s): 0.05");
  EXPECT_EQ(lines[3], "I-ACS002001 TLWExperimentAlarm fired");
}

TEST_F(TLWAlarmTest, BlockMayRearmTheSameAlarm) {
  auto alarm = makeAlarm("Engagement timer");
  std::atomic<int> fired{0};
  std::function<void()> block = [&] {
    if (++fired < 3) alarm->runAfterDelay(0.002, block);
  };
  alarm->runAfterDelay(0.002, block);
  ASSERT_TRUE(waitFor([&] { return fired.load() == 3; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(fired.load(), 3);
  EXPECT_FALSE(alarm->hasActiveTimer());
  EXPECT_FALSE(alarm->scheduledTimestamp().has_value());
  auto lines = linesAbout("Engagement timer");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "I-ACS002001 Engagement timer fired"), 3);
}

TEST_F(TLWAlarmTest, FiresOnTheMainQueueOnlyWhenItIsDrained) {
  auto alarm = TLWAlarm::initWithDispatchQueue(platform::DispatchQueue::main(), "Engagement timer", clock_);
  bool onMain = false;
  std::atomic<bool> fired{false};
  alarm->runAfterDelay(0.01, [&] {
    onMain = platform::MainRunLoop::isMainThread();
    fired = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(fired.load());  // due, but nobody drains the main queue yet
  EXPECT_TRUE(platform::MainRunLoop::runUntil([&] { return fired.load(); }, 30000ms));
  EXPECT_TRUE(onMain);
}

// ---------------------------------------------------------------------------------------
// Cancelling

TEST_F(TLWAlarmTest, CancelOrDestructionStopsTheTimerAndAnIdleAlarmLogsNothing) {
  auto idle = makeAlarm("Idle alarm");
  idle->cancel();
  idle->cancel();
  EXPECT_TRUE(linesAbout("Idle alarm").empty());

  std::atomic<bool> ran{false};
  auto alarm = makeAlarm("Search Ad campaign report alarm");
  {
    auto hold = holdQueue();
    alarm->runAfterDelay(0.01, [&] { ran = true; });
    alarm->cancel();
    EXPECT_FALSE(alarm->hasActiveTimer());
    EXPECT_FALSE(alarm->scheduledTimestamp().has_value());
    alarm->cancel();  // idle again: nothing more is logged
    auto doomed = makeAlarm("Doomed alarm");
    doomed->runAfterDelay(0.01, [&] { ran = true; });
  }
  // Both were due before the probe on the same queue: had they run, they would have by now.
  auto probe = makeAlarm("Probe alarm");
  std::atomic<bool> probed{false};
  probe->runAfterDelay(0.05, [&] { probed = true; });
  ASSERT_TRUE(waitFor([&] { return probed.load(); }));
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(linesAbout("Search Ad campaign report alarm"),
            (std::vector<std::string>{
                "I-ACS002002 Search Ad campaign report alarm scheduled to fire in approx. (s): 0.01",
                "I-ACS002003 Search Ad campaign report alarm canceled"}));
  EXPECT_EQ(linesAbout("Doomed alarm"),
            (std::vector<std::string>{"I-ACS002002 Doomed alarm scheduled to fire in approx. (s): 0.01",
                                      "I-ACS002003 Doomed alarm canceled"}));
}

// ---------------------------------------------------------------------------------------
// Odd input

TEST_F(TLWAlarmTest, EmptyBlockIsLoggedAndChangesNothing) {
  auto alarm = makeAlarm("Measurement timer");
  std::atomic<bool> ran{false};
  {
    auto hold = holdQueue();
    alarm->runAfterDelay(0.03, [&] { ran = true; });
    alarm->runAfterDelay(10, nullptr);
    EXPECT_TRUE(alarm->hasActiveTimer());
    EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), kNow + 0.03);
  }
  ASSERT_TRUE(waitFor([&] { return ran.load(); }));
  auto lines = linesAbout("Measurement timer");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "I-ACS002000 Measurement timer tried to schedule an empty block");

  auto unnamed = makeAlarm("");  // an empty name becomes "Timer"
  EXPECT_EQ(unnamed->name(), "Timer");
  unnamed->runAfterDelay(5, nullptr);
  EXPECT_EQ(linesAbout("Timer tried"), (std::vector<std::string>{"I-ACS002000 Timer tried to schedule an empty block"}));
}

TEST_F(TLWAlarmTest, UnreasonableDelaysNeitherCrashNorOverflow) {
  auto alarm = makeAlarm("Odd delay alarm");
  std::atomic<int> fired{0};
  alarm->runAfterDelay(std::nan(""), [&] { fired++; });
  ASSERT_TRUE(waitFor([&] { return fired.load() == 1; }));
  alarm->runAfterDelay(-3, [&] { fired++; });
  ASSERT_TRUE(waitFor([&] { return fired.load() == 2; }));

  alarm->runAfterDelay(std::numeric_limits<double>::infinity(), [&] { fired++; });
  EXPECT_TRUE(alarm->hasActiveTimer());
  alarm->runAfterDelay(1e300, [&] { fired++; });
  EXPECT_TRUE(alarm->hasActiveTimer());
  EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), kNow + 1e300);
  alarm->cancel();
  EXPECT_FALSE(alarm->hasActiveTimer());
  EXPECT_EQ(fired.load(), 2);
}

TEST_F(TLWAlarmTest, NullQueueFallsBackToAGlobalQueue) {
  auto alarm = TLWAlarm::initWithDispatchQueue(nullptr, "Queueless alarm", clock_);
  std::atomic<bool> fired{false};
  std::string label;
  alarm->runAfterDelay(0.001, [&] {
    label = platform::DispatchQueue::currentLabel();
    fired = true;
  });
  ASSERT_TRUE(waitFor([&] { return fired.load(); }));
  EXPECT_EQ(label, platform::DispatchQueue::global(platform::QueuePriority::Default)->label());
}

}  // namespace
