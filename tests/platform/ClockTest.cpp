#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>

#include "platform/testing/FakeClock.h"

namespace platform {
namespace {

TEST(ClockTest, SystemClocksAgreeWithTheKernel) {
  SystemClock clock;
  double before = static_cast<double>(std::time(nullptr));
  double now = clock.now();
  EXPECT_GE(now, before);
  EXPECT_LT(now, before + 5);
  double m1 = clock.monotonic(), m2 = clock.monotonic();
  EXPECT_LE(m1, m2);
  // /proc/uptime is CLOCK_BOOTTIME in hundredths.
  FILE* f = std::fopen("/proc/uptime", "r");
  ASSERT_TRUE(f);
  double uptime = 0;
  ASSERT_EQ(std::fscanf(f, "%lf", &uptime), 1);
  std::fclose(f);
  EXPECT_NEAR(clock.secondsSinceBoot(), uptime, 1.0);
  EXPECT_NEAR(clock.bootTime(), clock.now() - uptime, 1.0);
}

TEST(ClockTest, FakeClockMovesOnlyWhenToldAndKeepsItsClocksConsistent) {
  testing::FakeClock clock(1000000.0, 50.0);
  EXPECT_DOUBLE_EQ(clock.bootTime(), 1000000.0 - 50.0);
  clock.advance(10);
  EXPECT_DOUBLE_EQ(clock.now(), 1000010.0);
  EXPECT_DOUBLE_EQ(clock.monotonic(), 60.0);
  EXPECT_DOUBLE_EQ(clock.secondsSinceBoot(), 60.0);
  EXPECT_DOUBLE_EQ(clock.bootTime(), 1000000.0 - 50.0);
  clock.sleep(100);
  EXPECT_DOUBLE_EQ(clock.monotonic(), 60.0);
  EXPECT_DOUBLE_EQ(clock.secondsSinceBoot(), 160.0);
  clock.setNow(5.0);
  EXPECT_DOUBLE_EQ(clock.now(), 5.0);
  EXPECT_DOUBLE_EQ(clock.secondsSinceBoot(), 160.0);
}

}  // namespace
}  // namespace platform
