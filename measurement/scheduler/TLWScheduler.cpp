#include "measurement/scheduler/TLWScheduler.h"

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

#include "measurement/monitor/TLWError.h"
#include "measurement/monitor/TLWMonitor.h"

namespace {

std::string demangled(const std::type_info* type) {
  if (!type) return "unknown exception";
  int status = 0;
  char* name = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
  std::string out = (status == 0 && name) ? std::string(name) : std::string(type->name());
  std::free(name);
  return out;
}

// Describes the exception being handled; call only from inside a catch block.
platform::Value caughtException() {
  std::string name = demangled(abi::__cxa_current_exception_type());
  std::string reason;
  try {
    throw;
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
    // Not a standard exception: its type name is all there is to report.
  }
  return platform::Value(std::shared_ptr<platform::ValueObject>(std::make_shared<TLWException>(name, reason)));
}

std::string withBlockID(std::string_view head, std::string_view blockID, std::string_view tail) {
  std::string text;
  text.reserve(head.size() + blockID.size() + tail.size());
  text.append(head).append(blockID).append(tail);
  return text;
}

}  // namespace

bool TLWScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  if (!platform::MainRunLoop::isMainThread()) return true;
  std::string_view name = methodName.empty() ? std::string_view("<empty method name>") : methodName;
  TLWMonitor::sharedInstance()->logWithLevel(1, 30001,
                                             withBlockID("Method ", name, " should execute on background thread"));
  return false;
}

std::shared_ptr<TLWScheduler> TLWScheduler::initWithWorkerQueueLabel(std::string label) {
  return std::make_shared<TLWScheduler>(std::move(label));
}

TLWScheduler::TLWScheduler(std::string workerQueueLabel)
    : workerQueue_(platform::DispatchQueue::create(std::move(workerQueueLabel), platform::QueuePriority::Background)) {}

namespace {

platform::DispatchQueue::Block barrier(std::string id, TLWScheduler::Block block) {
  return [id = std::move(id), block = std::move(block)] {
    try {
      block();
    } catch (...) {
      TLWMonitor::sharedInstance()->logWithLevel(
          1, 30000, withBlockID("Exception on worker queue. Block ID=", id, ". Exception"), caughtException());
    }
  };
}

}  // namespace

namespace {

thread_local std::uint64_t tRunningSequence = 0;

// Marks the numbered block running on this thread for the duration of a scope.
class RunningSequence {
 public:
  explicit RunningSequence(std::uint64_t sequence) : previous_(std::exchange(tRunningSequence, sequence)) {}
  ~RunningSequence() { tRunningSequence = previous_; }
  RunningSequence(const RunningSequence&) = delete;
  RunningSequence& operator=(const RunningSequence&) = delete;

 private:
  std::uint64_t previous_;
};

}  // namespace

std::uint64_t TLWScheduler::currentBlockSequence() { return tRunningSequence; }

std::uint64_t TLWScheduler::takeSequenceNumber() {
  std::lock_guard<std::mutex> lock(order_->mutex);
  return order_->nextSequence++;
}

bool TLWScheduler::hasBlockWaitingBefore(std::uint64_t sequence) {
  std::lock_guard<std::mutex> lock(order_->mutex);
  return !order_->waiting.empty() && order_->waiting.front() < sequence;
}

void TLWScheduler::Order::started(std::uint64_t sequence) {
  std::lock_guard<std::mutex> lock(mutex);
  // Nearly always the front: blocks start in the order they were queued.
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (*it == sequence) {
      waiting.erase(it);
      return;
    }
  }
}

void TLWScheduler::Order::startedOnWorker(std::uint64_t sequence) {
  started(sequence);
  std::function<void(std::uint64_t)> lane;
  {
    std::lock_guard<std::mutex> lock(mutex);
    lane = catchUp;
  }
  if (!lane) return;
  try {
    lane(sequence);
  } catch (...) {
    // The block still runs: it was submitted after the lane's items, not in place of them.
    TLWMonitor::sharedInstance()->logWithLevel(
        1, 30000, "Exception on worker queue. Block ID=TLWScheduler:lane. Exception", caughtException());
  }
}

void TLWScheduler::setLaneCatchUp(std::function<void(std::uint64_t before)> catchUp) {
  std::lock_guard<std::mutex> lock(order_->mutex);
  order_->catchUp = std::move(catchUp);
}

void TLWScheduler::Order::finished(std::uint64_t sequence) {
  Block drain;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!parked || parkedBehind != sequence) return;
    drain = std::move(parked);
    parked = nullptr;
  }
  drain();
}

bool TLWScheduler::parkDrainBehindWaitingBlockBefore(std::uint64_t sequence, Block drain) {
  if (!drain) return false;
  std::lock_guard<std::mutex> lock(order_->mutex);
  if (order_->waiting.empty() || order_->waiting.front() >= sequence) return false;
  order_->parkedBehind = order_->waiting.front();
  order_->parked = barrier("TLWScheduler:drain", std::move(drain));
  return true;
}

void TLWScheduler::scheduleOnWorkerQueueBlockID(std::string_view blockID, Block block) {
  if (!block) {
    TLWMonitor::sharedInstance()->logWithLevel(
        1, 30005, withBlockID("Nil block dispatched asynchronously on worker queue. Block ID=", blockID, "."));
    return;
  }
  auto wrapped = barrier(std::string(blockID), std::move(block));
  // Numbered and queued in one step, so queue order and number order agree.
  std::lock_guard<std::mutex> lock(order_->mutex);
  const std::uint64_t sequence = order_->nextSequence++;
  order_->waiting.push_back(sequence);
  workerQueue_->async([order = order_, sequence, wrapped = std::move(wrapped)] {
    order->startedOnWorker(sequence);
    {
      RunningSequence running(sequence);
      wrapped();
    }
    order->finished(sequence);
  });
}

void TLWScheduler::scheduleDrainOnWorkerQueueBlockID(std::string_view blockID, Block block) {
  if (!block) return;
  workerQueue_->async(barrier(std::string(blockID), std::move(block)));
}

void TLWScheduler::scheduleDrainOnWorkerQueueAfter(double delaySeconds, std::string_view blockID, Block block) {
  if (!block) return;
  const auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(std::max(0.0, delaySeconds)));
  (void)workerQueue_->after(delay, barrier(std::string(blockID), std::move(block)));
}

bool TLWScheduler::dispatchSyncOnWorkerQueueBlockID(std::string_view blockID, const Block& block) {
  if (!block) {
    TLWMonitor::sharedInstance()->logWithLevel(
        1, 30002, withBlockID("Nil block dispatched synchronously on worker queue. Block ID=", blockID, "."));
    return false;
  }
  std::uint64_t sequence = 0;
  {
    std::lock_guard<std::mutex> lock(order_->mutex);
    sequence = order_->nextSequence++;
    order_->waiting.push_back(sequence);
  }
  bool completed = false;
  // A refused dispatch (a call from the worker queue itself) leaves `completed` unset, so
  // it is reported below like any other failed synchronous task.
  const bool ran = workerQueue_->sync([&] {
    order_->startedOnWorker(sequence);
    try {
      RunningSequence running(sequence);
      block();
      completed = true;
    } catch (...) {
      TLWMonitor::sharedInstance()->logWithLevel(
          1, 30003, withBlockID("Exception on worker queue when processing sync block. Block ID=", blockID, ". Exception"),
          caughtException());
    }
    order_->finished(sequence);
  });
  if (!ran) {
    order_->started(sequence);
    // Nothing will run after the refused block; a drain parked behind it goes back to
    // the queue.
    Block orphan;
    {
      std::lock_guard<std::mutex> lock(order_->mutex);
      if (order_->parked && order_->parkedBehind == sequence) {
        orphan = std::move(order_->parked);
        order_->parked = nullptr;
      }
    }
    if (orphan) workerQueue_->async(std::move(orphan));
  }
  if (!completed) {
    TLWMonitor::sharedInstance()->logWithLevel(4, 30004, withBlockID("Synchronous task failed. Block ID=", blockID, ""));
  }
  return completed;
}
