#include "measurement/scheduler/TLWScheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/MonitorTestSupport.h"

namespace {

using tw_test_support::waitFor;
using TLWSchedulerTest = tw_test_support::SharedMonitorLinesTest;

TEST_F(TLWSchedulerTest, RunsBlocksInOrderOnItsBackgroundWorkerQueue) {
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("com.vorlix.twka.worker");
  ASSERT_NE(scheduler, nullptr);
  EXPECT_EQ(scheduler->workerQueue()->label(), "com.vorlix.twka.worker");
  EXPECT_EQ(scheduler->workerQueue()->priority(), platform::QueuePriority::Background);
  std::vector<int> order;  // touched only on the worker queue
  int onWorker = 0;
  for (int i = 0; i < 50; ++i) {
    scheduler->scheduleOnWorkerQueueBlockID("TLWSchedulerTest:1", [&, i] {
      order.push_back(i);
      onWorker += scheduler->workerQueue()->isCurrent();
    });
  }
  std::vector<int> seen;
  EXPECT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("TLWSchedulerTest:2", [&] { seen = order; }));
  std::vector<int> expected(50);
  for (int i = 0; i < 50; ++i) expected[i] = i;
  EXPECT_EQ(seen, expected);  // the sync block ran after every earlier block, before returning
  EXPECT_EQ(onWorker, 50);
  EXPECT_TRUE(find("I-ACS03000", "TLWSchedulerTest:").empty());
}

// ---------------------------------------------------------------------------------------
// The exception barrier

TEST_F(TLWSchedulerTest, ExceptionInAnAsyncBlockIsLoggedAndTheNextBlockRuns) {
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("test.worker.throw");
  std::atomic<bool> nextRan{false};
  scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:880", [] { throw std::runtime_error("disk on fire"); });
  scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:881", [] { throw 7; });
  scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:882", [&] { nextRan = true; });
  ASSERT_TRUE(waitFor([&] { return nextRan.load(); }));
  // The context names what was caught: its type and, for a standard exception, its message.
  EXPECT_EQ(find("I-ACS030000", "TLWMeasurement:"),
            (std::vector<std::string>{
                "I-ACS030000 Exception on worker queue. Block ID=TLWMeasurement:880. Exception: "
                "std::runtime_error: disk on fire",
                "I-ACS030000 Exception on worker queue. Block ID=TLWMeasurement:881. Exception: int: "}));
}

TEST_F(TLWSchedulerTest, ExceptionInASyncBlockIsLoggedAndReportedAsFailed) {
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("test.worker.sync-throw");
  EXPECT_FALSE(scheduler->dispatchSyncOnWorkerQueueBlockID("TLWDatabase:42",
                                                           [] { throw std::out_of_range("row index"); }));
  EXPECT_EQ(find("I-ACS03000", "TLWDatabase:42"),
            (std::vector<std::string>{"I-ACS030003 Exception on worker queue when processing sync block. Block "
                                      "ID=TLWDatabase:42. Exception: std::out_of_range: row index",
                                      "I-ACS030004 Synchronous task failed. Block ID=TLWDatabase:42"}));
  bool ran = false;
  EXPECT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("TLWDatabase:43", [&] { ran = true; }));
  EXPECT_TRUE(ran);  // the worker queue is still usable
}

// ---------------------------------------------------------------------------------------
// Refused dispatches

TEST_F(TLWSchedulerTest, NilBlocksAreLoggedAndIgnored) {
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("test.worker.nil");
  scheduler->scheduleOnWorkerQueueBlockID("TLWNil:1", nullptr);
  EXPECT_FALSE(scheduler->dispatchSyncOnWorkerQueueBlockID("TLWNil:2", nullptr));
  // A nil sync block is refused before any dispatch: no "task failed" line for it.
  EXPECT_EQ(find("I-ACS03000", "TLWNil:"),
            (std::vector<std::string>{
                "I-ACS030005 Nil block dispatched asynchronously on worker queue. Block ID=TLWNil:1.",
                "I-ACS030002 Nil block dispatched synchronously on worker queue. Block ID=TLWNil:2."}));
}

TEST_F(TLWSchedulerTest, SyncFromTheWorkerQueueIsRefusedInsteadOfDeadlocking) {
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("test.worker.reentrant");
  std::atomic<bool> finished{false};
  bool result = true, innerRan = false;
  scheduler->scheduleOnWorkerQueueBlockID("TLWOuter:1", [&] {
    result = scheduler->dispatchSyncOnWorkerQueueBlockID("TLWInner:2", [&] { innerRan = true; });
    finished = true;
  });
  ASSERT_TRUE(waitFor([&] { return finished.load(); }));
  EXPECT_FALSE(result);
  EXPECT_FALSE(innerRan);
  EXPECT_EQ(find("I-ACS030004", "TLWInner:2"),
            (std::vector<std::string>{"I-ACS030004 Synchronous task failed. Block ID=TLWInner:2"}));
}

// ---------------------------------------------------------------------------------------
// checkOnBackgroundThreadWithMethodName

TEST_F(TLWSchedulerTest, BackgroundCheckFailsOnlyOnTheMainThread) {
  EXPECT_TRUE(TLWScheduler::checkOnBackgroundThreadWithMethodName("offMainMethod"));
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("test.worker.check");
  bool onWorker = false;
  EXPECT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID(
      "TLWCheck:1", [&] { onWorker = TLWScheduler::checkOnBackgroundThreadWithMethodName("workerMethod"); }));
  EXPECT_TRUE(onWorker);

  bool named = true, unnamed = true;
  platform::DispatchQueue::main()->async([&] {
    named = TLWScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
    unnamed = TLWScheduler::checkOnBackgroundThreadWithMethodName("");
  });
  EXPECT_EQ(platform::MainRunLoop::drainMain(), 1u);
  EXPECT_FALSE(named);
  EXPECT_FALSE(unnamed);
  EXPECT_EQ(find("I-ACS030001", ""),
            (std::vector<std::string>{"I-ACS030001 Method uploadData should execute on background thread",
                                      "I-ACS030001 Method <empty method name> should execute on background thread"}));
}

}  // namespace
