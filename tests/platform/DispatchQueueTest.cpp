#include "platform/DispatchQueue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <latch>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/VXLLogger.h"
#include "platform/testing/DispatchQueueHooks.h"
#include "tests/support/Wait.h"

namespace {
// Seconds added to the wall clock this test program reads; the machine's clock stays put.
std::atomic<long> gWallClockShift{0};
}  // namespace

// Every wall-clock read of this program (std::chrono's included) comes here, so a test can
// set the clock back without being allowed to set the machine's.
extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
  long r = ::syscall(SYS_clock_gettime, id, ts);
  if (r == 0 && id == CLOCK_REALTIME) ts->tv_sec += gWallClockShift.load();
  return static_cast<int>(r);
}

using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::DispatchTimer;
using platform::MainRunLoop;
using platform::OperationQueue;

namespace {

using tw_test_support::waitFor;

// Waits until every block queued on `queue` so far has run.
void drain(const std::shared_ptr<DispatchQueue>& queue) {
  std::atomic<bool> reached{false};
  queue->async([&] { reached = true; });
  ASSERT_TRUE(waitFor([&] { return reached.load(); }));
}

// Occupies `queue` until release() so that later blocks must wait their turn.
struct Blocker {
  std::shared_ptr<std::atomic<bool>> released = std::make_shared<std::atomic<bool>>(false);
  explicit Blocker(const std::shared_ptr<DispatchQueue>& queue) {
    queue->async([released = released] {
      while (!released->load()) std::this_thread::sleep_for(1ms);
    });
  }
  ~Blocker() { release(); }
  void release() { *released = true; }
};

class DispatchQueueTest : public ::testing::Test, public platform::LogSink {
 protected:
  void SetUp() override { previous_ = platform::VXLSetLogSink(std::shared_ptr<LogSink>(this, [](LogSink*) {})); }
  void TearDown() override { platform::VXLSetLogSink(previous_); }
  void write(platform::VXLLoggerLevel, std::string_view, std::string_view, std::string_view message) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(message);
  }
  // Logged lines that contain every one of `needles`.
  std::size_t logged(std::initializer_list<std::string_view> needles) {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_) {
      bool all = true;
      for (auto needle : needles) all = all && line.find(needle) != std::string::npos;
      n += all;
    }
    return n;
  }

  std::shared_ptr<platform::LogSink> previous_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// ---------------------------------------------------------------------------------------
// Order and mutual exclusion

TEST_F(DispatchQueueTest, KeepsPerProducerOrderAndRunsOneBlockAtATimeUnderContention) {
  auto queue = DispatchQueue::create("test.fifo", platform::QueuePriority::Background);
  constexpr int kProducers = 8, kPerProducer = 2000;
  std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue
  std::atomic<int> inFlight{0}, overlaps{0}, total{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        auto body = [&, p, i] {
          if (inFlight.fetch_add(1) != 0) overlaps++;
          seen[p].push_back(i);
          inFlight--;
          total++;
        };
        // Syncs and inline runs mixed into the stream must keep their place among the
        // async blocks.
        if (i % 97 == 0) {
          EXPECT_TRUE(queue->sync(body));
        } else if (i % 3 == 0) {
          queue->asyncOrRunIfIdle(body);
        } else {
          queue->async(body);
        }
      }
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(waitFor([&] { return total.load() == kProducers * kPerProducer; }));
  drain(queue);
  EXPECT_EQ(overlaps.load(), 0);
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<std::size_t>(kPerProducer));
    for (int i = 0; i < kPerProducer; ++i) ASSERT_EQ(seen[p][i], i) << "producer " << p;
  }
}

TEST_F(DispatchQueueTest, SyncRunsOnTheCallersThreadAfterEarlierBlocksAndHoldsTheQueue) {
  auto queue = DispatchQueue::create("test.sync");
  std::vector<int> order;
  {
    Blocker busy(queue);
    queue->async([&] { order.push_back(1); });
    std::thread releaser([&] {
      std::this_thread::sleep_for(20ms);
      busy.release();
    });
    std::thread::id ranOn;
    ASSERT_TRUE(queue->sync([&] {
      order.push_back(2);
      ranOn = std::this_thread::get_id();
    }));
    releaser.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));  // ran before sync returned, after block 1
    EXPECT_EQ(ranOn, std::this_thread::get_id());
  }
  // On an idle queue the block runs inline and holds the queue: an async block queued
  // meanwhile waits for it.
  std::atomic<bool> asyncRan{false};
  bool ranDuringSync = true;
  ASSERT_TRUE(queue->sync([&] {
    EXPECT_TRUE(queue->isCurrent());
    EXPECT_EQ(DispatchQueue::currentLabel(), "test.sync");
    queue->async([&] { asyncRan = true; });
    std::this_thread::sleep_for(20ms);
    ranDuringSync = asyncRan.load();
  }));
  EXPECT_FALSE(ranDuringSync);
  EXPECT_TRUE(waitFor([&] { return asyncRan.load(); }));
  EXPECT_FALSE(queue->isCurrent());
  EXPECT_EQ(DispatchQueue::currentLabel(), "");
}

TEST_F(DispatchQueueTest, AsyncOrRunIfIdleRunsInlineOnlyOnAnIdleQueue) {
  struct Case {
    const char* name;
    bool mainQueue, busy, fromOwnBlock, inline_;
  } const cases[] = {
      {"idle", false, false, false, true},
      {"busy", false, true, false, false},
      {"from its own block", false, false, true, false},
      {"main queue", true, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto queue = c.mainQueue ? DispatchQueue::main() : DispatchQueue::create("test.inline");
    std::optional<Blocker> blocker;
    if (c.busy) blocker.emplace(queue);
    std::atomic<bool> ran{false}, held{false}, ranBeforeReturn{false};
    std::thread::id ranOn;
    auto block = [&] {
      held = queue->isCurrent();
      ranOn = std::this_thread::get_id();
      ran = true;
    };
    auto call = [&] {
      queue->asyncOrRunIfIdle(block);
      ranBeforeReturn = ran.load();
    };
    if (c.fromOwnBlock) {
      ASSERT_TRUE(queue->sync(call));
    } else {
      call();
    }
    if (blocker) blocker->release();
    if (c.mainQueue) MainRunLoop::drainMain();
    ASSERT_TRUE(waitFor([&] { return ran.load(); }));
    EXPECT_TRUE(held.load());
    EXPECT_EQ(ranBeforeReturn.load(), c.inline_);
    if (!c.mainQueue) {
      EXPECT_EQ(ranOn == std::this_thread::get_id(), c.inline_);
    }
  }
}

TEST_F(DispatchQueueTest, ChainedSyncsAcrossThreeQueuesWork) {
  auto a = DispatchQueue::create("test.a"), b = DispatchQueue::create("test.b"), c = DispatchQueue::create("test.c");
  Blocker busyB(b);  // the hop onto b has to wait for its turn rather than run at once
  std::vector<std::string> labels;
  bool allCurrent = false;
  a->async([&] {
    labels.push_back(DispatchQueue::currentLabel());
    EXPECT_TRUE(b->sync([&] {
      labels.push_back(DispatchQueue::currentLabel());
      EXPECT_TRUE(c->sync([&] {
        labels.push_back(DispatchQueue::currentLabel());
        allCurrent = a->isCurrent() && b->isCurrent() && c->isCurrent();
      }));
    }));
  });
  std::this_thread::sleep_for(10ms);
  busyB.release();
  drain(a);
  EXPECT_TRUE(allCurrent);
  EXPECT_EQ(labels, (std::vector<std::string>{"test.a", "test.b", "test.c"}));
}

TEST_F(DispatchQueueTest, SyncFromAThreadHoldingTheQueueIsRefusedAndLogged) {
  auto queue = DispatchQueue::create("test.self-sync"), other = DispatchQueue::create("test.other");
  bool fromThread = true, nestedInline = true, throughOther = true, innerRan = false;
  queue->async([&] { fromThread = queue->sync([&] { innerRan = true; }); });
  drain(queue);
  ASSERT_TRUE(queue->sync([&] { nestedInline = queue->sync([&] { innerRan = true; }); }));
  ASSERT_TRUE(queue->sync([&] {
    EXPECT_TRUE(other->sync([&] { throughOther = queue->sync([&] { innerRan = true; }); }));
  }));
  EXPECT_FALSE(fromThread);
  EXPECT_FALSE(nestedInline);
  EXPECT_FALSE(throughOther);
  EXPECT_FALSE(innerRan);
  EXPECT_EQ(logged({"test.self-sync", "refused"}), 3u);
  bool ran = false;
  EXPECT_TRUE(queue->sync([&] { ran = true; }));  // the queue still works
  EXPECT_TRUE(ran);
}

// ---------------------------------------------------------------------------------------
// Lifetime and failures

TEST_F(DispatchQueueTest, QueueLifetime) {
  // A destroyed queue still runs what was queued.
  std::atomic<int> ran{0};
  {
    auto queue = DispatchQueue::create("test.drain-on-destroy");
    Blocker busy(queue);
    for (int i = 0; i < 100; ++i) queue->async([&] { ran++; });
    busy.release();
  }
  EXPECT_TRUE(waitFor([&] { return ran.load() == 100; }));

  // Releasing the last reference from the queue's own thread, or from an inline sync.
  std::shared_ptr<DispatchQueue> holder = DispatchQueue::create("test.self-release");
  std::atomic<bool> released{false};
  holder->async([&] {
    holder.reset();
    released = true;
  });
  EXPECT_TRUE(waitFor([&] { return released.load(); }));
  auto inlineQueue = DispatchQueue::create("test.self-release-inline");
  DispatchQueue* raw = inlineQueue.get();
  EXPECT_TRUE(raw->sync([&] { inlineQueue.reset(); }));
  EXPECT_EQ(inlineQueue, nullptr);
}

TEST_F(DispatchQueueTest, WeakOwnerGoneMakesTheBlockANoOp) {
  struct Owner {
    int calls = 0;
  };
  auto queue = DispatchQueue::create("test.weak");
  auto owner = std::make_shared<Owner>();
  std::atomic<int> calls{0};
  {
    Blocker busy(queue);
    queue->asyncWeak(owner, [&](Owner&) { calls++; });
    owner.reset();  // gone before its block runs
    busy.release();
  }
  drain(queue);
  EXPECT_EQ(calls.load(), 0);

  auto alive = std::make_shared<Owner>();
  EXPECT_TRUE(queue->syncWeak(alive, [](Owner& o) { o.calls++; }));
  queue->asyncWeak(alive, [](Owner& o) { o.calls++; });
  drain(queue);
  EXPECT_EQ(alive->calls, 2);
}

TEST_F(DispatchQueueTest, ThrowingBlocksDoNotStopTheQueue) {
  auto queue = DispatchQueue::create("test.throw");
  std::atomic<bool> next{false};
  queue->async([] { throw std::runtime_error("boom"); });
  queue->async([] { throw 42; });
  queue->async([&] { next = true; });
  EXPECT_TRUE(waitFor([&] { return next.load(); }));
  EXPECT_THROW((void)queue->sync([] { throw std::logic_error("sync boom"); }), std::logic_error);
  bool ran = false;
  EXPECT_TRUE(queue->sync([&] { ran = true; }));  // the throwing sync released the queue
  EXPECT_TRUE(ran);
  EXPECT_EQ(logged({"test.throw", "exception"}), 2u);
}

TEST_F(DispatchQueueTest, AfterRunsOnTheQueueUnlessCancelledOrTheQueueIsGone) {
  auto queue = DispatchQueue::create("test.after");
  std::atomic<bool> cancelledRan{false}, goneRan{false}, ran{false};
  std::string label;
  {
    auto gone = DispatchQueue::create("test.after-gone");
    // Long enough that the queue is surely gone first, even on a loaded machine.
    (void)gone->after(40ms, [&] { goneRan = true; });
  }
  auto start = std::chrono::steady_clock::now();
  {
    Blocker busy(queue);  // however late this thread gets to cancel(), the block cannot run first
    auto cancelled = queue->after(30ms, [&] { cancelledRan = true; });
    // The handle is dropped at once: that must not cancel the block.
    (void)queue->after(60ms, [&] {
      label = DispatchQueue::currentLabel();
      ran = true;
    });
    cancelled->cancel();
    EXPECT_TRUE(cancelled->isCancelled());
  }
  ASSERT_TRUE(waitFor([&] { return ran.load(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 55ms);
  // Both others were due earlier: had they run, they would have by now.
  EXPECT_FALSE(cancelledRan.load());
  EXPECT_FALSE(goneRan.load());
  EXPECT_EQ(label, "test.after");

  // Cancelled after it came due but while the queue was busy: still does not run.
  std::atomic<bool> lateRan{false};
  {
    Blocker busy(queue);
    auto late = queue->after(1ms, [&] { lateRan = true; });
    std::this_thread::sleep_for(20ms);
    late->cancel();
    busy.release();
  }
  drain(queue);
  EXPECT_FALSE(lateRan.load());
}

// A delay is not a deadline: the wall clock set back an hour must not hold the block back
// (the preference writes, retries and debounces all wait this way).
TEST_F(DispatchQueueTest, AfterDelaysIgnoreTheWallClockBeingSetBack) {
  auto queue = DispatchQueue::create("test.after-monotonic");
  std::atomic<bool> ran{false};
  (void)queue->after(300ms, [&] { ran = true; });
  gWallClockShift = -3600;
  const bool inTime = waitFor([&] { return ran.load(); }, 5s);
  gWallClockShift = 0;
  EXPECT_TRUE(inTime);
}

// ---------------------------------------------------------------------------------------
// Main and global queues

TEST_F(DispatchQueueTest, DrainMainRunsMainBlocksOnTheCallingThread) {
  auto main = DispatchQueue::main();
  EXPECT_EQ(main, DispatchQueue::main());
  EXPECT_EQ(DispatchQueue::global(platform::QueuePriority::Utility),
            DispatchQueue::global(platform::QueuePriority::Utility));
  EXPECT_FALSE(MainRunLoop::isMainThread());
  std::vector<int> order;
  bool wasMain = false, wasCurrent = false;
  main->async([&] {
    order.push_back(1);
    wasMain = MainRunLoop::isMainThread();
    wasCurrent = main->isCurrent();
    main->async([&] { order.push_back(3); });  // queued by a block: drained too
  });
  main->async([&] { order.push_back(2); });
  EXPECT_EQ(MainRunLoop::drainMain(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(wasMain);
  EXPECT_TRUE(wasCurrent);
  EXPECT_FALSE(MainRunLoop::isMainThread());
}

TEST_F(DispatchQueueTest, MainRunLoopServesSyncsAndStops) {
  auto main = DispatchQueue::main();
  std::atomic<bool> done{false};
  std::thread::id ranOn;
  std::thread worker([&] {
    EXPECT_TRUE(main->sync([&] { ranOn = std::this_thread::get_id(); }));
    for (int i = 0; i < 10; ++i) main->async([] {});
    main->async([] { MainRunLoop::stop(); });
    done = true;
  });
  MainRunLoop::run();  // returns only through the stop() queued above
  worker.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  bool refused = false;
  main->async([&] { refused = !main->sync([] {}); });
  MainRunLoop::drainMain();
  EXPECT_TRUE(refused);
  EXPECT_EQ(logged({"main", "refused"}), 1u);

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(MainRunLoop::runUntil([] { return false; }, 30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

// ---------------------------------------------------------------------------------------
// DispatchTimer

TEST_F(DispatchQueueTest, TimerFiresOnceAndMayRearmItselfFromItsHandler) {
  auto queue = DispatchQueue::create("test.timer");
  auto timer = DispatchTimer::create(queue);
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(DispatchTimer::create(nullptr), nullptr);
  std::atomic<int> fired{0};
  bool activeInHandler = true;
  std::string label;
  std::function<void()> handler = [&] {
    activeInHandler = activeInHandler && timer->isActive();
    label = DispatchQueue::currentLabel();
    if (++fired < 3) timer->schedule(2ms, handler);
  };
  timer->schedule(5ms, handler);
  EXPECT_TRUE(timer->isActive());
  ASSERT_TRUE(waitFor([&] { return fired.load() == 3; }));
  std::this_thread::sleep_for(30ms);
  drain(queue);
  EXPECT_EQ(fired.load(), 3);
  EXPECT_FALSE(activeInHandler);
  EXPECT_FALSE(timer->isActive());
  EXPECT_EQ(label, "test.timer");
}

TEST_F(DispatchQueueTest, TimerRearmReplacesAndCancelOrDestructionStops) {
  auto queue = DispatchQueue::create("test.timer-cancel");
  auto timer = DispatchTimer::create(queue);
  std::atomic<int> first{0}, second{0}, stopped{0};
  {
    Blocker busy(queue);  // however slowly this thread runs, nothing replaced may fire first
    timer->schedule(20ms, [&] { first++; });
    timer->schedule(40ms, [&] { second++; });
    timer->schedule(10ms, [&] { stopped++; });
    timer->cancel();
    EXPECT_FALSE(timer->isActive());
    timer->schedule(40ms, [&] { second++; });
    auto doomed = DispatchTimer::create(queue);
    doomed->schedule(10ms, [&] { stopped++; });
  }
  ASSERT_TRUE(waitFor([&] { return second.load() == 1; }));
  EXPECT_EQ(first.load(), 0);
  EXPECT_EQ(stopped.load(), 0);

  // Cancelled after it came due but before its handler got the queue.
  {
    Blocker busy(queue);
    timer->schedule(1ms, [&] { stopped++; });
    std::this_thread::sleep_for(20ms);
    timer->cancel();
    busy.release();
  }
  drain(queue);
  EXPECT_EQ(stopped.load(), 0);
}

// ---------------------------------------------------------------------------------------
// OperationQueue (the start gate)

TEST_F(DispatchQueueTest, SuspendedOperationQueueReleasesHeldOperationsFirstAndInOrder) {
  auto gate = OperationQueue::create("test.gate", true);
  EXPECT_TRUE(gate->isSuspended());
  std::mutex mutex;
  std::vector<int> order;
  auto record = [&](int i) {
    return [&, i] {
      std::lock_guard lock(mutex);
      order.push_back(i);
    };
  };
  // The inline hand-over never overtakes: held while suspended, queued while others wait.
  for (int i = 0; i < 100; ++i) {
    if (i % 2) gate->addOperation(record(i));
    else gate->addOperationOrRunIfIdle(record(i));
  }
  std::this_thread::sleep_for(20ms);
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(order.empty());
  }
  // Operations added from another thread right as the gate opens queue behind the held ones.
  std::atomic<bool> go{false};
  std::thread late([&] {
    while (!go.load()) std::this_thread::yield();
    for (int i = 200; i < 300; ++i) gate->addOperation(record(i));
  });
  gate->setSuspended(false);
  go = true;
  for (int i = 100; i < 200; ++i) gate->addOperationOrRunIfIdle(record(i));
  late.join();
  gate->waitUntilAllOperationsAreFinished();
  std::thread::id ranOn;
  gate->addOperationOrRunIfIdle([&] { ranOn = std::this_thread::get_id(); });
  EXPECT_EQ(ranOn, std::this_thread::get_id()) << "an open, idle gate runs it on the caller's thread";

  std::lock_guard lock(mutex);
  ASSERT_EQ(order.size(), 300u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(order[i], i);
  int lastMine = 99, lastLate = 199;
  for (std::size_t k = 100; k < order.size(); ++k) {
    int& last = order[k] < 200 ? lastMine : lastLate;
    ASSERT_EQ(order[k], last + 1);
    last = order[k];
  }
}

TEST_F(DispatchQueueTest, OperationQueueResuspendsAndSurvivesFaultyOperations) {
  auto gate = OperationQueue::create("test.gate-faults", false);
  std::atomic<int> ran{0};
  std::atomic<bool> release{false}, started{false};
  gate->addOperation([&] {
    started = true;
    while (!release.load()) std::this_thread::sleep_for(1ms);
    ran++;
  });
  gate->addOperation([&] { ran++; });
  ASSERT_TRUE(waitFor([&] { return started.load(); }));
  gate->setSuspended(true);
  release = true;
  ASSERT_TRUE(waitFor([&] { return ran.load() == 1; }));  // the running one finishes
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ran.load(), 1);  // the next one is held

  gate->addOperation([] { throw std::runtime_error("operation failed"); });
  gate->addOperation([&] {
    gate->waitUntilAllOperationsAreFinished();  // would wait for itself
    ran++;
  });
  gate->setSuspended(false);
  gate->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran.load(), 3);
  EXPECT_EQ(logged({"test.gate-faults", "operation failed"}), 1u);
  EXPECT_EQ(logged({"test.gate-faults", "waited for its own queue"}), 1u);
}

}  // namespace

namespace {

// Closing is for good, so it runs in a child process of its own.
TEST(DispatchQueueExitTest, ClosedForExitNoAsyncBlockStartsSyncsStillRunAndRunningBlocksAreWaitedFor) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto queue = DispatchQueue::create("test.exit");
        std::atomic<int> ran{0};
        std::atomic<bool> started{false};
        queue->async([&] {
          started = true;
          std::this_thread::sleep_for(300ms);
          ran += 1;
        });
        while (!started) std::this_thread::yield();
        const bool quietTooSoon = DispatchQueue::closeForProcessExit(10ms);
        const bool quiet = DispatchQueue::closeForProcessExit(10s);
        queue->async([&] { ran += 10; });
        const bool synced = queue->sync([&] { ran += 100; });
        std::this_thread::sleep_for(50ms);
        std::_Exit(!quietTooSoon && quiet && synced && ran == 101 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Holds the worker of "test.exit-gate" once, between counting its block and reading the gate.
struct GateWindow {
  std::atomic<bool> taken{false};
  std::latch entered{1};
  std::latch release{1};
};
GateWindow* gGateWindow = nullptr;
void holdGateWindow() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  if (std::string(name) != "test.exit-gate" || gGateWindow->taken.exchange(true)) return;
  gGateWindow->entered.count_down();
  gGateWindow->release.wait();
}

// A block that is starting while the queues close is either waited for or never runs.
TEST(DispatchQueueExitTest, ABlockStartingWhileClosingIsWaitedForAndThenNotRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        gGateWindow = new GateWindow();
        platform::testing::setExitGateWindowHook(holdGateWindow);
        auto queue = DispatchQueue::create("test.exit-gate");
        std::atomic<bool> ran{false};
        queue->async([&] { ran = true; });
        gGateWindow->entered.wait();
        const bool quietWhileStarting = DispatchQueue::closeForProcessExit(50ms);
        gGateWindow->release.count_down();
        const bool quiet = DispatchQueue::closeForProcessExit(10s);
        // A sync gets the queue only once the worker has settled the block's fate.
        const bool synced = queue->sync([] {});
        std::fprintf(stderr, "quiet while starting %d, quiet %d, synced %d, ran %d\n", quietWhileStarting, quiet,
                     synced, ran.load());
        std::_Exit(!quietWhileStarting && quiet && synced && !ran ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
