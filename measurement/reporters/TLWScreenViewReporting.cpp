#include "measurement/reporters/TLWScreenViewReporting.h"

#include "measurement/reporters/TLWScreenViewReporter.h"

#include <mutex>

namespace {
std::mutex& reporterMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<TLWScreenViewReporting>& reporterSlot() {
  // Never destroyed: library threads may still use it while the process exits.
  static std::shared_ptr<TLWScreenViewReporting>& slot = *new std::shared_ptr<TLWScreenViewReporting>();
  return slot;
}
}  // namespace

std::shared_ptr<TLWScreenViewReporting> TLWScreenViewReporting::sharedInstance() {
  std::lock_guard<std::mutex> lock(reporterMutex());
  auto& slot = reporterSlot();
  if (!slot) slot = TLWScreenViewReporter::sharedInstance();
  return slot;
}

void TLWScreenViewReporting::setSharedInstance(std::shared_ptr<TLWScreenViewReporting> reporter) {
  std::lock_guard<std::mutex> lock(reporterMutex());
  reporterSlot() = std::move(reporter);
}
