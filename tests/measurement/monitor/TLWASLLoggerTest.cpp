#include "measurement/monitor/TLWASLLogger.h"

#include <gtest/gtest.h>

#include "platform/testing/LogCapture.h"
#include "tests/support/Logging.h"

namespace {

using platform::VXLLoggerLevel;

class TLWASLLoggerTest : public ::testing::Test {
 protected:
  tw_test_support::ScopedLoggerLevel level_{platform::VXLGetLoggerLevel()};
  platform::testing::LogCapture capture_;
  TLWASLLogger logger_;
};

TEST_F(TLWASLLoggerTest, LinesArriveUnchangedWithTagMappedLevelAndCode) {
  platform::VXLSetLoggerLevel(VXLLoggerLevel::Notice);
  logger_.logMessage("Upload 50% done, %s %n %%", "<Tallywise>", 23001, 4);
  logger_.logMessage("Tiny code", "<Tallywise>", 7, 1);
  logger_.logMessage("Huge code", "<Tallywise>", 1234567, 5);
  logger_.logMessage("Odd level", "<Tallywise>", 1, 42);
  auto lines = capture_.lines();
  ASSERT_EQ(lines.size(), 4u);
  // The message survives the logger's printf-style escapes untouched.
  EXPECT_EQ(lines[0].message, "Upload 50% done, %s %n %%");
  EXPECT_EQ(lines[0].service, "<Tallywise>");
  EXPECT_EQ(lines[0].messageCode, "I-ACS023001");
  EXPECT_EQ(lines[0].level, VXLLoggerLevel::Warning);
  EXPECT_EQ(lines[1].messageCode, "I-ACS000007");
  EXPECT_EQ(lines[1].level, VXLLoggerLevel::Error);
  EXPECT_EQ(lines[2].messageCode, "I-ACS1234567");
  EXPECT_EQ(lines[3].level, VXLLoggerLevel::Warning);
}

TEST_F(TLWASLLoggerTest, OnlyLevelSevenIsForcedPastTheLoggerLevel) {
  platform::VXLSetLoggerLevel(VXLLoggerLevel::Error);
  logger_.logMessage("debug line", "tag", 1, 7);    // forced
  logger_.logMessage("verbose line", "tag", 2, 8);  // the same utilities level, not forced
  logger_.logMessage("notice line", "tag", 3, 6);
  logger_.logMessage("warning line", "tag", 4, 3);
  logger_.logMessage("error line", "tag", 5, 2);
  auto lines = capture_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "debug line");
  EXPECT_EQ(lines[0].level, VXLLoggerLevel::Debug);
  EXPECT_EQ(lines[1].message, "error line");
  EXPECT_EQ(TLWASLLogger::VXLLoggerLevelFromLogLevel(6), VXLLoggerLevel::Notice);
  EXPECT_EQ(TLWASLLogger::VXLLoggerLevelFromLogLevel(8), VXLLoggerLevel::Debug);
}

}  // namespace
