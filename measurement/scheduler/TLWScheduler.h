#pragma once
// TLWScheduler: owns the engine's worker queue, the one serial background queue on which
// all engine work runs, and wraps every block it runs in an exception barrier.
//
// Thread-safety: every operation may be called from any thread, with one exception:
// dispatchSyncOnWorkerQueueBlockID must not be called from a block running on the worker
// queue. Such a call is refused, not deadlocked: the block does not run, the refusal is
// logged (30004) and the call returns false.
//
// Ownership: the scheduler holds its worker queue strongly; blocks already queued still run
// after the scheduler is gone. Every log line goes through TLWMonitor::sharedInstance().

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/DispatchQueue.h"

class TLWScheduler {
 public:
  using Block = std::function<void()>;

  // False, after logging 30001, when called on the main thread; true otherwise.
  static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);

  // A scheduler whose worker queue is a new serial queue of background priority with the
  // given label (the engine uses "com.vorlix.twka.worker").
  static std::shared_ptr<TLWScheduler> initWithWorkerQueueLabel(std::string label);
  explicit TLWScheduler(std::string workerQueueLabel);

  // Runs the block later on the worker queue. An empty block is logged (30005) and dropped;
  // an exception escaping the block is logged (30000) and the queue goes on. `blockID`
  // names the call site ("TLWMeasurement:880") and appears only in log lines.
  void scheduleOnWorkerQueueBlockID(std::string_view blockID, Block block);

  // Runs the block on the worker queue and returns once it has. True when the block ran to
  // completion; false when it was empty (30002), raised (30003, then 30004) or could not be
  // dispatched (30004). Every failure is already logged, so callers may ignore the result.
  bool dispatchSyncOnWorkerQueueBlockID(std::string_view blockID, const Block& block);

  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }

  // Ordering for a lane of compact items (TLWEventBacklog) that is drained by one block
  // instead of one block per item. Every block scheduled or dispatched through this
  // scheduler takes a number from the same counter as the lane's items; a drain runs an
  // item only while no such block with a smaller number is still waiting, so items and
  // blocks run in the order they were submitted. Any thread.
  std::uint64_t takeSequenceNumber();
  // True when a block numbered below `sequence` has not started yet.
  bool hasBlockWaitingBefore(std::uint64_t sequence);
  // Like scheduleOnWorkerQueueBlockID, but the block takes no number: a lane's drain must
  // not hold back the items it is about to run.
  void scheduleDrainOnWorkerQueueBlockID(std::string_view blockID, Block block);
  // The same after `delaySeconds` (monotonic); dropped if the worker queue is gone by then.
  void scheduleDrainOnWorkerQueueAfter(double delaySeconds, std::string_view blockID, Block block);
  // Worker queue: the number of the numbered block running now (0 inside a drain or outside
  // the worker queue). Lane items numbered below it were submitted before this block.
  static std::uint64_t currentBlockSequence();
  // When a block numbered below `sequence` is waiting, the drain is parked and runs on the
  // worker queue right after the first waiting block returns (blocks queued later wait
  // for it, as they would behind the lane's items); true then. False when nothing holds
  // the item back. One drain may be parked at a time.
  bool parkDrainBehindWaitingBlockBefore(std::uint64_t sequence, Block drain);
  // Called on the worker queue as each numbered block starts, with its number, before the
  // block runs: the lane stores its items numbered below it, so a block never overtakes
  // an item submitted before it (an item pushed while a drain ran would otherwise wait
  // for the next drain, behind blocks queued after it). Any thread; set once.
  void setLaneCatchUp(std::function<void(std::uint64_t before)> catchUp);

 private:
  // Shared with queued blocks, which may outlive the scheduler.
  struct Order {
    std::mutex mutex;
    std::uint64_t nextSequence = 1;
    // Numbers of the blocks not yet started, in queue order.
    std::deque<std::uint64_t> waiting;
    std::uint64_t parkedBehind = 0;
    Block parked;
    std::function<void(std::uint64_t)> catchUp;
    void started(std::uint64_t sequence);
    // On the worker queue: started(), then the lane's catch-up.
    void startedOnWorker(std::uint64_t sequence);
    // Runs the drain parked behind `sequence`, if any.
    void finished(std::uint64_t sequence);
  };

  std::shared_ptr<platform::DispatchQueue> workerQueue_;
  std::shared_ptr<Order> order_ = std::make_shared<Order>();
};
