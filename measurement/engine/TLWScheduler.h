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

#include <functional>
#include <memory>
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

 private:
  std::shared_ptr<platform::DispatchQueue> workerQueue_;
};
