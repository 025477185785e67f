#pragma once
// A clock that moves only when told.
//
// Thread-safety: any thread.

#include <mutex>

#include "platform/Environment.h"

namespace platform::testing {

class FakeClock : public Clock {
 public:
  // Wall clock 2023-11-14T22:13:20Z, 1000 s since boot and on the monotonic clock.
  FakeClock() = default;
  FakeClock(double now, double secondsSinceBoot) : now_(now), monotonic_(secondsSinceBoot), sinceBoot_(secondsSinceBoot) {}

  double now() override;
  double monotonic() override;
  double secondsSinceBoot() override;
  double bootTime() override;

  // Time passing: moves all three clocks.
  void advance(double seconds);
  // The user or the network changing the wall clock: moves only now().
  void setNow(double secondsSince1970);
  // A suspended machine: wall clock and boot clock move, the monotonic clock does not.
  void sleep(double seconds);

 private:
  mutable std::mutex mutex_;
  double now_ = 1700000000.0;
  double monotonic_ = 1000.0;
  double sinceBoot_ = 1000.0;
};

}  // namespace platform::testing
