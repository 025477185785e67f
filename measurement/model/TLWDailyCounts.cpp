#include "measurement/model/TLWDailyCounts.h"

#include <algorithm>
#include <limits>

namespace {

void add(std::int32_t& counter, std::int32_t n) {
  const std::int64_t sum = std::int64_t{counter} + n;
  counter = static_cast<std::int32_t>(
      std::clamp<std::int64_t>(sum, 0, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

void TLWDailyCounts::incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion,
                                                  std::int32_t effectiveEventCount) {
  const std::int32_t n = std::max(effectiveEventCount, 0);
  if (day == day_) {
    if (isConversion) add(conversionsCount_, 1);
    add(allEventsCount_, n);
    if (isPublicEvent) add(publicEventsCount_, n);
    return;
  }
  day_ = day;
  conversionsCount_ = isConversion ? 1 : 0;
  allEventsCount_ = n;
  publicEventsCount_ = isPublicEvent ? n : 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
}

void TLWDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t day) {
  if (day == day_) {
    add(allEventsCount_, 1);
    add(errorEventsCount_, 1);
    return;
  }
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 1;
  publicEventsCount_ = 0;
  errorEventsCount_ = 1;
  realtimeCount_ = 0;
}

void TLWDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t day) {
  if (day == day_) {
    add(realtimeCount_, 1);
    return;
  }
  resetWithNewDay(day);
  realtimeCount_ = 1;
}

void TLWDailyCounts::decrementAllEventsCount() { add(allEventsCount_, -1); }

void TLWDailyCounts::resetWithNewDay(std::int32_t day) {
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
}
