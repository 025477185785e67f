#include "measurement/scheduler/TLWAlarm.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <utility>

#include "measurement/monitor/TLWMonitor.h"

namespace {

constexpr double kMaximumDelaySeconds = 100.0 * 365.25 * 86400.0;

// The delay as whole nanoseconds (truncated). Callers may pass anything: NaN and negative
// delays become zero, huge ones a century, so the conversion can never overflow.
std::chrono::nanoseconds delayNanoseconds(double seconds) {
  if (std::isnan(seconds) || seconds <= 0) return std::chrono::nanoseconds(0);
  if (seconds > kMaximumDelaySeconds) seconds = kMaximumDelaySeconds;
  return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
}

}  // namespace

std::shared_ptr<TLWAlarm> TLWAlarm::initWithDispatchQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                                          std::string_view name,
                                                          std::shared_ptr<platform::Clock> clock) {
  return std::make_shared<TLWAlarm>(Private{}, std::move(queue), name, std::move(clock));
}

TLWAlarm::TLWAlarm(Private, std::shared_ptr<platform::DispatchQueue> queue, std::string_view name,
                   std::shared_ptr<platform::Clock> clock)
    : queue_(queue ? std::move(queue) : platform::DispatchQueue::global(platform::QueuePriority::Default)),
      name_(name.empty() ? std::string("Timer") : std::string(name)),
      clock_(clock ? std::move(clock) : platform::Environment::current()->clock()) {}

TLWAlarm::~TLWAlarm() { cancel(); }

void TLWAlarm::runAfterDelay(double delaySeconds, Block block) {
  auto monitor = TLWMonitor::sharedInstance();
  if (!block) {
    monitor->logWithLevel(1, 2000, name_ + " tried to schedule an empty block");
    return;
  }
  const double now = clock_->now();
  Disarmed disarmed;
  {
    // Disarming and re-arming in one step: concurrent calls each replace a whole arming.
    std::lock_guard lock(mutex_);
    disarmed = disarmLocked();
    const std::uint64_t armID = ++armID_;
    scheduledTimestamp_ = now + (std::isnan(delaySeconds) ? 0.0 : delaySeconds);
    timer_ = clock_->makeTimer(queue_);
    timerCancelled_ = false;
    std::weak_ptr<TLWAlarm> weak = weak_from_this();
    timer_->schedule(delayNanoseconds(delaySeconds), [weak, armID, block = std::move(block)] {
      if (auto self = weak.lock()) self->fired(armID, block);
    });
  }
  logDisarmed(disarmed);
  monitor->logWithLevel(7, 2002, name_ + " scheduled to fire in approx. (s)", platform::Value(delaySeconds));
}

void TLWAlarm::fired(std::uint64_t armID, const Block& block) {
  Disarmed disarmed;
  {
    // Checked and disarmed in one step, so a re-arm from another thread is never undone.
    std::lock_guard lock(mutex_);
    if (armID != armID_) return;  // re-armed or cancelled while this firing was on its way
    disarmed = disarmLocked();
  }
  TLWMonitor::sharedInstance()->logWithLevel(7, 2001, name_ + " fired");
  logDisarmed(disarmed);
  block();
}

TLWAlarm::Disarmed TLWAlarm::disarmLocked() {
  if (!scheduledTimestamp_) return Disarmed::Idle;
  const bool active = timer_ && !timerCancelled_;
  if (active) {
    timer_->cancel();
    timerCancelled_ = true;
  }
  scheduledTimestamp_.reset();
  ++armID_;
  return active ? Disarmed::Active : Disarmed::Inactive;
}

void TLWAlarm::logDisarmed(Disarmed disarmed) const {
  if (disarmed == Disarmed::Idle) return;
  auto monitor = TLWMonitor::sharedInstance();
  monitor->logWithLevel(7, 2003, name_ + " canceled");
  if (disarmed == Disarmed::Inactive) monitor->logWithLevel(4, 2004, name_ + " is not active");
}

void TLWAlarm::cancel() {
  Disarmed disarmed;
  {
    std::lock_guard lock(mutex_);
    disarmed = disarmLocked();
  }
  logDisarmed(disarmed);
}

bool TLWAlarm::hasActiveTimer() const {
  std::lock_guard lock(mutex_);
  return timer_ && !timerCancelled_;
}

std::optional<double> TLWAlarm::scheduledTimestamp() const {
  std::lock_guard lock(mutex_);
  return scheduledTimestamp_;
}
