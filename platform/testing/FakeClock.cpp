#include "platform/testing/FakeClock.h"

namespace platform::testing {

double FakeClock::now() {
  std::lock_guard lock(mutex_);
  return now_;
}

double FakeClock::monotonic() {
  std::lock_guard lock(mutex_);
  return monotonic_;
}

double FakeClock::secondsSinceBoot() {
  std::lock_guard lock(mutex_);
  return sinceBoot_;
}

double FakeClock::bootTime() {
  std::lock_guard lock(mutex_);
  return now_ - sinceBoot_;
}

void FakeClock::advance(double seconds) {
  std::lock_guard lock(mutex_);
  now_ += seconds;
  monotonic_ += seconds;
  sinceBoot_ += seconds;
}

void FakeClock::setNow(double secondsSince1970) {
  std::lock_guard lock(mutex_);
  now_ = secondsSince1970;
}

void FakeClock::sleep(double seconds) {
  std::lock_guard lock(mutex_);
  now_ += seconds;
  sinceBoot_ += seconds;
}

}  // namespace platform::testing
