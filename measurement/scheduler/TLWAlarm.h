#pragma once
// TLWAlarm: a named one-shot timer bound to a dispatch queue ("Measurement timer" on the
// worker queue, "Engagement timer" on the main queue, ...).
//
// Thread-safety: every operation may be called from any thread; the state is guarded by a
// mutex. The block runs on the alarm's queue.
//
// Ownership and lifetime: the alarm holds its queue strongly; a pending timer holds the
// alarm weakly, so destroying the alarm cancels it (and logs the cancel when armed).
//
// States: idle (no scheduledTimestamp) or armed. runAfterDelay re-arms, replacing any armed
// timer; firing or cancel returns to idle. Firing returns to idle before the block runs, so
// the block may re-arm the same alarm. Every log line goes through
// TLWMonitor::sharedInstance(), prefixed with the alarm's name.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DispatchQueue.h"
#include "platform/Environment.h"

class TLWAlarm : public std::enable_shared_from_this<TLWAlarm> {
  struct Private {};

 public:
  using Block = std::function<void()>;

  // `name` is "Timer" when empty. A null queue means the global queue of default priority.
  // `clock` stamps scheduledTimestamp and makes the timer (Clock::makeTimer: the system's
  // wall-clock timer unless a test clock drives it); null means the current environment's
  // clock.
  static std::shared_ptr<TLWAlarm> initWithDispatchQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                                         std::string_view name,
                                                         std::shared_ptr<platform::Clock> clock = nullptr);
  // Only through initWithDispatchQueue: a pending timer reaches the alarm through a weak
  // reference, which needs the alarm to be owned by a shared_ptr.
  TLWAlarm(Private, std::shared_ptr<platform::DispatchQueue> queue, std::string_view name,
           std::shared_ptr<platform::Clock> clock);
  ~TLWAlarm();
  TLWAlarm(const TLWAlarm&) = delete;
  TLWAlarm& operator=(const TLWAlarm&) = delete;

  // Arms the alarm to run `block` once after `delaySeconds` (on the alarm's clock). An empty
  // block is logged (2000) and changes nothing. A negative or NaN delay fires as soon as
  // possible; a delay beyond a century is held at a century.
  void runAfterDelay(double delaySeconds, Block block);
  // Disarms the alarm; does nothing (and logs nothing) when it is idle.
  void cancel();
  // A timer exists and has not been cancelled.
  bool hasActiveTimer() const;
  // When the armed timer is due, seconds since 1970; nullopt when idle.
  std::optional<double> scheduledTimestamp() const;
  const std::string& name() const { return name_; }

 private:
  enum class Disarmed { Idle, Active, Inactive };
  void fired(std::uint64_t armID, const Block& block);
  // Returns the alarm to idle; says what it was, for the log. Called with `mutex_` held.
  Disarmed disarmLocked();
  void logDisarmed(Disarmed disarmed) const;

  const std::shared_ptr<platform::DispatchQueue> queue_;
  const std::string name_;
  const std::shared_ptr<platform::Clock> clock_;

  mutable std::mutex mutex_;
  std::shared_ptr<platform::DispatchTimer> timer_;
  bool timerCancelled_ = false;
  std::optional<double> scheduledTimestamp_;
  std::uint64_t armID_ = 0;  // tells a firing of the current arming from a stale one
};
