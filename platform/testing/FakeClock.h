#pragma once
// A clock that moves only when told.
//
// Thread-safety: any thread.
//
// Timers: by default makeTimer gives the system's wall-clock timer, as the real clock
// does. After setDrivesTimers(true), timers made from then on are due on this clock: a
// call that moves now() to or past a deadline hands the handler to the timer's queue
// (asynchronously, in deadline order), and the test runs or drains that queue. A timer
// outlives the clock safely.

#include <memory>

#include "platform/Environment.h"

namespace platform::testing {

class FakeClock : public Clock {
 public:
  // Wall clock 2023-11-14T22:13:20Z, 1000 s since boot and on the monotonic clock.
  FakeClock();
  FakeClock(double now, double secondsSinceBoot);
  ~FakeClock() override;

  double now() override;
  double monotonic() override;
  double secondsSinceBoot() override;
  double bootTime() override;
  std::shared_ptr<DispatchTimer> makeTimer(std::shared_ptr<DispatchQueue> queue) override;

  // Time passing: moves all three clocks.
  void advance(double seconds);
  // The user or the network changing the wall clock: moves only now().
  void setNow(double secondsSince1970);
  // A suspended machine: wall clock and boot clock move, the monotonic clock does not.
  void sleep(double seconds);

  void setDrivesTimers(bool drives);

  // The clocks and the timers made from them; the timers share it.
  struct State;

 private:
  // Posts the handlers of the timers due at the current now().
  void fireDueTimers();

  const std::shared_ptr<State> state_;
};

}  // namespace platform::testing
