#include "measurement/engine/TLWEventBacklog.h"

#include <utility>

#include "measurement/scheduler/TLWScheduler.h"

const platform::Dictionary& TLWEventCall::parameterDictionary() const {
  // Never destroyed: the worker may read it while the process exits.
  static const platform::Dictionary& kEmpty = *new platform::Dictionary();
  const platform::Dictionary* d = parameters.dictionary();
  return d ? *d : kEmpty;
}

TLWEventBacklog::TLWEventBacklog(std::shared_ptr<TLWScheduler> scheduler, std::size_t capacity)
    : scheduler_(std::move(scheduler)), capacity_(capacity == 0 ? 1 : capacity) {}

TLWEventBacklog::PushResult TLWEventBacklog::push(TLWEventCall call) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (records_.size() + taken_ >= capacity_) {
    (void)countRefusal();
    return PushResult::kRefused;
  }
  // Numbered under the lock, so numbers rise in list order.
  call.sequence = scheduler_->takeSequenceNumber();
  newest_ = call.sequence;
  records_.push_back(std::move(call));
  occupied_.store(records_.size() + taken_, std::memory_order_relaxed);
  if (drainScheduled_) return PushResult::kQueued;
  drainScheduled_ = true;
  return PushResult::kQueuedFirst;
}

std::optional<TLWEventCall> TLWEventBacklog::take(std::uint64_t upTo) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (records_.empty() || records_.front().sequence > upTo) return std::nullopt;
  const std::uint64_t sequence = records_.front().sequence;
  lock.unlock();
  if (scheduler_->hasBlockWaitingBefore(sequence)) return std::nullopt;
  lock.lock();
  // Only the worker takes, so the front is still the same record.
  std::optional<TLWEventCall> call(std::move(records_.front()));
  records_.pop_front();
  ++taken_;
  return call;
}

bool TLWEventBacklog::hasRecordThrough(std::uint64_t upTo) {
  std::lock_guard<std::mutex> lock(mutex_);
  return !records_.empty() && records_.front().sequence <= upTo;
}

std::uint64_t TLWEventBacklog::countRefusal() {
  refusedSinceReport_.fetch_add(1, std::memory_order_relaxed);
  return refusedTotal_.fetch_add(1, std::memory_order_relaxed) + 1;
}

void TLWEventBacklog::settleTaken() {
  std::lock_guard<std::mutex> lock(mutex_);
  taken_ = 0;
  occupied_.store(records_.size(), std::memory_order_relaxed);
}

void TLWEventBacklog::putBack(std::vector<TLWEventCall> calls, double retryDelaySeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) records_.push_front(std::move(*it));
  taken_ = 0;
  occupied_.store(records_.size(), std::memory_order_relaxed);
  retryDelay_ = retryDelaySeconds;
}

std::size_t TLWEventBacklog::discardBefore(std::uint64_t sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t dropped = 0;
  while (!records_.empty() && records_.front().sequence < sequence) {
    records_.pop_front();
    ++dropped;
  }
  occupied_.store(records_.size() + taken_, std::memory_order_relaxed);
  return dropped;
}

std::uint64_t TLWEventBacklog::newestSequence() {
  std::lock_guard<std::mutex> lock(mutex_);
  return newest_;
}

bool TLWEventBacklog::finishDrain() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!records_.empty()) return true;
  drainScheduled_ = false;
  return false;
}

void TLWEventBacklog::continueDrain(std::function<void()> drain) {
  std::uint64_t oldest = 0;
  double retryDelay = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    retryDelay = std::exchange(retryDelay_, 0.0);
    if (records_.empty()) {
      drainScheduled_ = false;
      return;
    }
    oldest = records_.front().sequence;
  }
  if (retryDelay > 0) {
    scheduler_->scheduleDrainOnWorkerQueueAfter(retryDelay, "TLWMeasurement:2135", std::move(drain));
    return;
  }
  if (scheduler_->parkDrainBehindWaitingBlockBefore(oldest, drain)) return;
  scheduler_->scheduleDrainOnWorkerQueueBlockID("TLWMeasurement:2135", std::move(drain));
}

std::size_t TLWEventBacklog::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size() + taken_;
}

std::uint64_t TLWEventBacklog::takeRefusedCount() {
  return refusedSinceReport_.exchange(0, std::memory_order_relaxed);
}

std::uint64_t TLWEventBacklog::refusedTotal() { return refusedTotal_.load(std::memory_order_relaxed); }
