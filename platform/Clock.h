#pragma once
// The system clocks behind platform::Clock.
//
// Thread-safety: stateless; any thread.

#include "platform/Environment.h"

namespace platform {

class SystemClock : public Clock {
 public:
  double now() override;               // CLOCK_REALTIME
  double monotonic() override;         // CLOCK_MONOTONIC
  double secondsSinceBoot() override;  // CLOCK_BOOTTIME, counts suspend
  // now() - secondsSinceBoot(): sub-second precision, unlike /proc/stat's btime.
  double bootTime() override;
};

}  // namespace platform
