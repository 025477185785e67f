#include "platform/Clock.h"

#include <time.h>

#include <utility>

#include "platform/DispatchQueue.h"

namespace platform {
namespace {

double readClock(clockid_t id) {
  struct timespec ts {};
  if (::clock_gettime(id, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

double SystemClock::now() { return readClock(CLOCK_REALTIME); }
double SystemClock::monotonic() { return readClock(CLOCK_MONOTONIC); }
double SystemClock::secondsSinceBoot() { return readClock(CLOCK_BOOTTIME); }
double SystemClock::bootTime() { return now() - secondsSinceBoot(); }

std::shared_ptr<DispatchTimer> Clock::makeTimer(std::shared_ptr<DispatchQueue> queue) {
  return DispatchTimer::create(std::move(queue));
}

}  // namespace platform
