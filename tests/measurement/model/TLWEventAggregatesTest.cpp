#include "measurement/model/TLWEventAggregates.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/testing/LogCapture.h"

TEST(TLWEventAggregates, ConstructionChecksNameAndCounts) {
  platform::testing::LogCapture quiet;
  EXPECT_FALSE(TLWEventAggregates::initWithName("bad name", 0, 0, 0, 1));
  EXPECT_FALSE(TLWEventAggregates::initWithName("", 0, 0, 0, 1));
  EXPECT_FALSE(TLWEventAggregates::initWithName("_e", -1, 0, 0, 1));
  EXPECT_FALSE(TLWEventAggregates::initWithName("_e", 0, -1, 0, 1));
  EXPECT_FALSE(TLWEventAggregates::initWithName("_e", 0, 0, -1, 1));
  auto a = TLWEventAggregates::initWithName("_e", 1, 2, 3, 4.5);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->lifetimeCount(), 1);
  EXPECT_EQ(a->currentBundleCount(), 2);
  EXPECT_EQ(a->currentSessionCount(), 3);
  EXPECT_EQ(a->lastFireTimestamp(), 4.5);
  EXPECT_EQ(a->lastBundledTimestamp(), 0);
  EXPECT_FALSE(a->lastSampledComplexEventID());
  EXPECT_EQ(a->lastSamplingRate(), 1);
  EXPECT_FALSE(a->lastExemptFromSampling());
  EXPECT_EQ(a->lastBundledDay(), 0);
}

TEST(TLWEventAggregates, CountersWrapToZeroAtTheInt32Maximum) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  auto a = TLWEventAggregates::initWithName("_e", kMax, kMax - 1, kMax, 0);
  ASSERT_TRUE(a);
  a->incrementLifetimeCount();
  a->incrementCurrentBundleCount();
  a->incrementCurrentSessionCount();
  EXPECT_EQ(a->lifetimeCount(), 0);
  EXPECT_EQ(a->currentBundleCount(), kMax);
  EXPECT_EQ(a->currentSessionCount(), 0);
  a->incrementCurrentBundleCount();
  EXPECT_EQ(a->currentBundleCount(), 0);
  a->incrementLifetimeCount();
  EXPECT_EQ(a->lifetimeCount(), 1);
}
