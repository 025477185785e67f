#include "measurement/model/TLWDailyCounts.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>

namespace {

// day, conversions, all, public, errors, realtime
std::array<std::int32_t, 6> counts(const TLWDailyCounts& c) {
  return {c.day(), c.conversionsCount(), c.allEventsCount(), c.publicEventsCount(), c.errorEventsCount(),
          c.realtimeCount()};
}

using A = std::array<std::int32_t, 6>;

}  // namespace

TEST(TLWDailyCounts, SameDayAndNewDay) {
  TLWDailyCounts c(10, 2, 20, 5, 3, 1);
  c.incrementCountsForCurrentDay(10, true, true, 3);
  EXPECT_EQ(counts(c), (A{10, 3, 23, 8, 3, 1}));  // conversions by 1, not by 3
  c.incrementCountsForCurrentDay(10, false, false);
  EXPECT_EQ(counts(c), (A{10, 3, 24, 8, 3, 1}));
  c.incrementCountsForCurrentDay(11, true, true, 3);
  EXPECT_EQ(counts(c), (A{11, 1, 3, 3, 0, 0}));
  c.incrementCountsForCurrentDay(12, false, false);
  EXPECT_EQ(counts(c), (A{12, 0, 1, 0, 0, 0}));

  c.incrementErrorEventsCountForCurrentDay(12);
  EXPECT_EQ(counts(c), (A{12, 0, 2, 0, 1, 0}));
  c.incrementErrorEventsCountForCurrentDay(13);
  EXPECT_EQ(counts(c), (A{13, 0, 1, 0, 1, 0}));

  c.incrementRealtimeCountsForCurrentDay(13);
  EXPECT_EQ(counts(c), (A{13, 0, 1, 0, 1, 1}));
  c.incrementRealtimeCountsForCurrentDay(14);
  EXPECT_EQ(counts(c), (A{14, 0, 0, 0, 0, 1}));

  c.decrementAllEventsCount();
  EXPECT_EQ(c.allEventsCount(), 0);
  c.incrementCountsForCurrentDay(14, false, false, 2);
  c.decrementAllEventsCount();
  EXPECT_EQ(c.allEventsCount(), 1);
  c.resetWithNewDay(20);
  EXPECT_EQ(counts(c), (A{20, 0, 0, 0, 0, 0}));
}

TEST(TLWDailyCounts, CountersNeitherOverflowNorGoNegative) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  TLWDailyCounts c(1, kMax, kMax - 1, kMax, kMax, kMax);
  c.incrementCountsForCurrentDay(1, true, true, 5);
  c.incrementErrorEventsCountForCurrentDay(1);
  c.incrementRealtimeCountsForCurrentDay(1);
  EXPECT_EQ(counts(c), (A{1, kMax, kMax, kMax, kMax, kMax}));
  c.incrementCountsForCurrentDay(2, true, false, -4);
  EXPECT_EQ(counts(c), (A{2, 0, 0, 0, 0, 0}));
}
