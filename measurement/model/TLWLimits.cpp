#include "measurement/model/TLWLimits.h"

#include <mutex>
#include <utility>

namespace {

// Never destroyed: process-wide objects (the engine, its remote configuration) reset the
// limits from their destructors during exit, after function-local statics are gone.
std::shared_ptr<const TLWLimits> defaultLimits() {
  static const auto* defaults = new std::shared_ptr<const TLWLimits>(std::make_shared<const TLWLimits>());
  return *defaults;
}

// A plain mutex: an uncontended lock costs a few nanoseconds, and unlike libstdc++ 12's
// lock-bit atomic<shared_ptr> it is understood by ThreadSanitizer.
struct Slot {
  std::mutex mutex;
  std::shared_ptr<const TLWLimits> installed = defaultLimits();
};

Slot& slot() {
  static Slot* s = new Slot;
  return *s;
}

}  // namespace

std::shared_ptr<const TLWLimits> TLWLimits::current() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  return s.installed;
}

void TLWLimits::setCurrent(std::shared_ptr<const TLWLimits> limits) {
  std::shared_ptr<const TLWLimits> replaced;
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  // The old instance is released after the lock, in case its destructor is slow.
  replaced = std::exchange(s.installed, limits ? std::move(limits) : defaultLimits());
}
