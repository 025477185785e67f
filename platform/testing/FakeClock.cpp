#include "platform/testing/FakeClock.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/DispatchQueue.h"

namespace platform::testing {

namespace {
class ClockTimer;
}  // namespace

struct FakeClock::State {
  State(double wall, double sinceBoot) : now(wall), monotonic(sinceBoot), sinceBoot(sinceBoot) {}
  // Guards the clocks and every timer's arming.
  std::mutex mutex;
  double now;
  double monotonic;
  double sinceBoot;
  bool drivesTimers = false;
  std::uint64_t armings = 0;
  std::vector<std::weak_ptr<ClockTimer>> timers;
};

namespace {

class ClockTimer final : public DispatchTimer {
 public:
  ClockTimer(std::shared_ptr<FakeClock::State> state, std::shared_ptr<DispatchQueue> queue)
      : state_(std::move(state)), queue_(std::move(queue)) {}

  void schedule(std::chrono::nanoseconds delay, DispatchQueue::Block handler) override {
    std::lock_guard lock(state_->mutex);
    due_ = state_->now + std::chrono::duration<double>(std::max(delay, std::chrono::nanoseconds(0))).count();
    arming_ = ++state_->armings;
    handler_ = std::move(handler);
    posted_ = false;
  }
  void cancel() override {
    std::lock_guard lock(state_->mutex);
    disarm();
  }
  bool isActive() const override {
    std::lock_guard lock(state_->mutex);
    return due_.has_value();
  }

  // Called with the state's mutex held: when due at `now`, marks this arming posted and
  // says when it was due and which arming it is.
  std::optional<std::pair<double, std::uint64_t>> takeIfDue(double now) {
    if (!due_ || posted_ || *due_ > now) return std::nullopt;
    posted_ = true;
    return std::pair{*due_, arming_};
  }
  // On the timer's queue: runs the handler unless re-armed or cancelled since it was posted.
  void fire(std::uint64_t arming) {
    DispatchQueue::Block handler;
    {
      std::lock_guard lock(state_->mutex);
      if (arming != arming_ || !posted_) return;
      handler = std::move(handler_);
      disarm();
    }
    if (handler) handler();
  }
  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

 private:
  void disarm() {
    due_.reset();
    handler_ = nullptr;
    posted_ = false;
    ++arming_;
  }

  const std::shared_ptr<FakeClock::State> state_;
  const std::shared_ptr<DispatchQueue> queue_;
  std::optional<double> due_;
  std::uint64_t arming_ = 0;
  bool posted_ = false;
  DispatchQueue::Block handler_;
};

}  // namespace

FakeClock::FakeClock() : FakeClock(1700000000.0, 1000.0) {}
FakeClock::FakeClock(double now, double secondsSinceBoot)
    : state_(std::make_shared<State>(now, secondsSinceBoot)) {}
FakeClock::~FakeClock() = default;

double FakeClock::now() {
  std::lock_guard lock(state_->mutex);
  return state_->now;
}

double FakeClock::monotonic() {
  std::lock_guard lock(state_->mutex);
  return state_->monotonic;
}

double FakeClock::secondsSinceBoot() {
  std::lock_guard lock(state_->mutex);
  return state_->sinceBoot;
}

double FakeClock::bootTime() {
  std::lock_guard lock(state_->mutex);
  return state_->now - state_->sinceBoot;
}

std::shared_ptr<DispatchTimer> FakeClock::makeTimer(std::shared_ptr<DispatchQueue> queue) {
  bool drives;
  {
    std::lock_guard lock(state_->mutex);
    drives = state_->drivesTimers;
  }
  if (!drives) return Clock::makeTimer(std::move(queue));
  if (!queue) return nullptr;
  auto timer = std::make_shared<ClockTimer>(state_, std::move(queue));
  std::lock_guard lock(state_->mutex);
  std::erase_if(state_->timers, [](const std::weak_ptr<ClockTimer>& t) { return t.expired(); });
  state_->timers.push_back(timer);
  return timer;
}

void FakeClock::setDrivesTimers(bool drives) {
  std::lock_guard lock(state_->mutex);
  state_->drivesTimers = drives;
}

void FakeClock::advance(double seconds) {
  {
    std::lock_guard lock(state_->mutex);
    state_->now += seconds;
    state_->monotonic += seconds;
    state_->sinceBoot += seconds;
  }
  fireDueTimers();
}

void FakeClock::setNow(double secondsSince1970) {
  {
    std::lock_guard lock(state_->mutex);
    state_->now = secondsSince1970;
  }
  fireDueTimers();
}

void FakeClock::sleep(double seconds) {
  {
    std::lock_guard lock(state_->mutex);
    state_->now += seconds;
    state_->sinceBoot += seconds;
  }
  fireDueTimers();
}

void FakeClock::fireDueTimers() {
  std::vector<std::tuple<double, std::uint64_t, std::shared_ptr<ClockTimer>>> due;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& weak : state_->timers) {
      auto timer = weak.lock();
      if (!timer) continue;
      if (auto when = timer->takeIfDue(state_->now)) due.emplace_back(when->first, when->second, std::move(timer));
    }
  }
  std::sort(due.begin(), due.end(),
            [](const auto& a, const auto& b) { return std::tie(std::get<0>(a), std::get<1>(a)) <
                                                      std::tie(std::get<0>(b), std::get<1>(b)); });
  // Posted outside the lock: the handlers read this clock. The firing holds the timer
  // weakly, as a real one does.
  for (auto& [when, arming, timer] : due) {
    timer->queue()->async([weak = std::weak_ptr<ClockTimer>(timer), arming = arming] {
      if (auto t = weak.lock()) t->fire(arming);
    });
  }
}

}  // namespace platform::testing
