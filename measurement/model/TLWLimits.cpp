#include "measurement/model/TLWLimits.h"

#include <atomic>

namespace {

std::shared_ptr<const TLWLimits> defaultLimits() {
  static const std::shared_ptr<const TLWLimits> defaults = std::make_shared<const TLWLimits>();
  return defaults;
}

std::atomic<std::shared_ptr<const TLWLimits>>& slot() {
  static std::atomic<std::shared_ptr<const TLWLimits>> installed{defaultLimits()};
  return installed;
}

}  // namespace

std::shared_ptr<const TLWLimits> TLWLimits::current() { return slot().load(std::memory_order_acquire); }

void TLWLimits::setCurrent(std::shared_ptr<const TLWLimits> limits) {
  slot().store(limits ? std::move(limits) : defaultLimits(), std::memory_order_release);
}
