#pragma once
// TLWDailyCounts: the counters of the current day that gate logging. The day number is
// computed by the caller with dayNumber().
//
// Thread-safety: none; used on the measurement worker queue only.
// Counters saturate at the int32 maximum instead of overflowing.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

class TLWDailyCounts {
 public:
  // floor((now - midnight offset) / 86400), clamped to int32; 0 when that is not a number.
  static std::int32_t dayNumber(double now, double midnightOffset) {
    const double day = std::floor((now - midnightOffset) / 86400.0);
    if (!(day == day)) return 0;
    return static_cast<std::int32_t>(std::clamp<double>(day, std::numeric_limits<std::int32_t>::min(),
                                                        std::numeric_limits<std::int32_t>::max()));
  }

  TLWDailyCounts(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
                 std::int32_t publicEventsCount, std::int32_t errorEventsCount, std::int32_t realtimeCount)
      : day_(day),
        conversionsCount_(conversionsCount),
        allEventsCount_(allEventsCount),
        publicEventsCount_(publicEventsCount),
        errorEventsCount_(errorEventsCount),
        realtimeCount_(realtimeCount) {}

  std::int32_t day() const { return day_; }
  std::int32_t conversionsCount() const { return conversionsCount_; }
  std::int32_t allEventsCount() const { return allEventsCount_; }
  std::int32_t publicEventsCount() const { return publicEventsCount_; }
  std::int32_t errorEventsCount() const { return errorEventsCount_; }
  std::int32_t realtimeCount() const { return realtimeCount_; }

  void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion) {
    incrementCountsForCurrentDay(day, isPublicEvent, isConversion, 1);
  }
  // Same day: conversions + 1 when a conversion, all + n, public + n when public. New day:
  // the counters start over from this event. A negative n counts as 0.
  void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion,
                                    std::int32_t effectiveEventCount);
  void incrementErrorEventsCountForCurrentDay(std::int32_t day);
  void incrementRealtimeCountsForCurrentDay(std::int32_t day);
  // All events - 1, not below 0.
  void decrementAllEventsCount();
  void resetWithNewDay(std::int32_t day);

 private:
  std::int32_t day_;
  std::int32_t conversionsCount_;
  std::int32_t allEventsCount_;
  std::int32_t publicEventsCount_;
  std::int32_t errorEventsCount_;
  std::int32_t realtimeCount_;
};
