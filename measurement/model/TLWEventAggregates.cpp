#include "measurement/model/TLWEventAggregates.h"

#include <limits>

#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWModelLog.h"

namespace {

void increment(std::int32_t& counter, std::int64_t code, std::string_view message) {
  if (counter >= std::numeric_limits<std::int32_t>::max()) {
    counter = 0;
    tlw_model::log(5, code, message);
    return;
  }
  ++counter;
}

}  // namespace

std::shared_ptr<TLWEventAggregates> TLWEventAggregates::initWithName(std::string_view name, std::int32_t lifetimeCount,
                                                                     std::int32_t currentBundleCount,
                                                                     std::int32_t currentSessionCount,
                                                                     double lastFireTimestamp) {
  if (!TLWDataTypeValidator::isValidInternalEventName(name)) return nullptr;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    tlw_model::log(5, 17000, "Failed to create event aggregates object. Received negative count.");
    return nullptr;
  }
  return std::make_shared<TLWEventAggregates>(Token{}, std::string(name), lifetimeCount, currentBundleCount,
                                              currentSessionCount, lastFireTimestamp);
}

void TLWEventAggregates::incrementLifetimeCount() {
  increment(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void TLWEventAggregates::incrementCurrentBundleCount() {
  increment(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void TLWEventAggregates::incrementCurrentSessionCount() {
  increment(currentSessionCount_, 17003, "Session count overflow. Session count reset to 0.");
}
